#include "pipewirestream.h"

#include <QMetaObject>
#include <QTimer>

#include <pipewire/pipewire.h>
#include <spa/debug/types.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace {

// How long a stream may stay paused after streaming before it counts as ended.
constexpr int pauseGraceMs = 1000;

void initPipeWire()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// Copies one frame of 32-bit pixels into a new Format_RGB32 image (0xffRRGGBB): red and blue
// swap for the R-first layouts, and the padding byte becomes opaque alpha, so that equal
// pictures are equal bytes whatever the producer leaves there.
QImage copyFrame(const uint8_t *source, int width, int height, int stride, spa_video_format format)
{
    QImage image(width, height, QImage::Format_RGB32);
    if (image.isNull())
        return image;
    const bool swapRedBlue = format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
    uchar *bits = image.bits();
    const qsizetype lineBytes = image.bytesPerLine();
    for (int y = 0; y < height; ++y) {
        const auto *in = reinterpret_cast<const uint32_t *>(source + qsizetype(y) * stride);
        auto *out = reinterpret_cast<uint32_t *>(bits + y * lineBytes);
        if (swapRedBlue) {
            for (int x = 0; x < width; ++x) {
                const uint32_t p = in[x]; // bytes R G B x: 0xxxBBGGRR
                out[x] = 0xff000000u | ((p & 0xffu) << 16) | (p & 0xff00u) | ((p >> 16) & 0xffu);
            }
        } else {
            for (int x = 0; x < width; ++x)
                out[x] = in[x] | 0xff000000u; // bytes B G R x: 0xxxRRGGBB
        }
    }
    return image;
}

} // namespace

struct PipeWireStream::Private
{
    PipeWireStream *owner = nullptr;
    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    pw_stream *stream = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};
    spa_video_info_raw format{};
    bool streaming = false;  // reached the streaming state once
    std::atomic<pw_stream_state> state{PW_STREAM_STATE_UNCONNECTED};
    std::atomic<bool> endReported{false};
    bool firstReported = false;

    mutable std::mutex mutex; // guards the two below
    QImage newest;
    quint64 received = 0;

    // On either thread.
    void reportEnd(const QString &why)
    {
        if (endReported.exchange(true))
            return;
        QMetaObject::invokeMethod(owner, [o = owner, why] { Q_EMIT o->ended(why); }, Qt::QueuedConnection);
    }

    static void onCoreError(void *data, uint32_t id, int, int res, const char *message)
    {
        auto *self = static_cast<Private *>(data);
        if (id == PW_ID_CORE)
            self->reportEnd(QStringLiteral("PipeWire failed: %1 (%2)")
                                .arg(QString::fromLocal8Bit(message), QString::fromLocal8Bit(strerror(-res))));
    }

    static void onStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *error)
    {
        auto *self = static_cast<Private *>(data);
        self->state = state;
        switch (state) {
        case PW_STREAM_STATE_STREAMING:
            self->streaming = true;
            break;
        case PW_STREAM_STATE_ERROR:
            self->reportEnd(QStringLiteral("the stream failed: %1").arg(QString::fromLocal8Bit(error ? error : "unknown error")));
            break;
        case PW_STREAM_STATE_UNCONNECTED:
            if (self->streaming)
                self->reportEnd(QStringLiteral("the stream was disconnected"));
            break;
        case PW_STREAM_STATE_PAUSED:
            // After streaming: the producer went away (monitor unplugged, session closed, the
            // desktop ended), or it renegotiates the format (a new resolution) and streams on.
            // Still paused a second later, the stream has ended.
            if (self->streaming) {
                PipeWireStream *owner = self->owner;
                QMetaObject::invokeMethod(owner, [owner, self] {
                    QTimer::singleShot(pauseGraceMs, owner, [owner, self] {
                        // Unless the stream was closed (or another opened) meanwhile.
                        if (owner->d.get() == self && self->state == PW_STREAM_STATE_PAUSED)
                            self->reportEnd(QStringLiteral("its producer went away"));
                    });
                }, Qt::QueuedConnection);
            }
            break;
        case PW_STREAM_STATE_CONNECTING:
            break;
        }
    }

    static void onParamChanged(void *data, uint32_t id, const spa_pod *param)
    {
        auto *self = static_cast<Private *>(data);
        if (!param || id != SPA_PARAM_Format)
            return;
        uint32_t mediaType = 0;
        uint32_t mediaSubtype = 0;
        if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video
            || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
            return;
        spa_format_video_raw_parse(param, &self->format);

        // Shared memory only: the frames are copied out on the CPU anyway.
        uint8_t buffer[256];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        const spa_pod *params[1];
        params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
            SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
        pw_stream_update_params(self->stream, params, 1);
    }

    static void onProcess(void *data)
    {
        auto *self = static_cast<Private *>(data);
        // Only the newest queued buffer matters; older ones go straight back.
        pw_buffer *latest = nullptr;
        while (pw_buffer *b = pw_stream_dequeue_buffer(self->stream)) {
            if (latest)
                pw_stream_queue_buffer(self->stream, latest);
            latest = b;
        }
        if (!latest)
            return;
        const spa_buffer *buffer = latest->buffer;
        const spa_data &plane = buffer->datas[0];
        const int width = int(self->format.size.width);
        const int height = int(self->format.size.height);
        const int stride = plane.chunk->stride > 0 ? plane.chunk->stride : width * 4;
        const bool usable = plane.data && plane.chunk->size > 0 && !(plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)
                            && width > 0 && height > 0
                            && qint64(stride) * (height - 1) + qint64(width) * 4 <= qint64(plane.maxsize) - plane.chunk->offset;
        if (usable) {
            QImage frame = copyFrame(static_cast<const uint8_t *>(plane.data) + plane.chunk->offset, width, height,
                                     stride, self->format.format);
            bool first = false;
            {
                std::lock_guard<std::mutex> lock(self->mutex);
                self->newest = std::move(frame);
                first = self->received++ == 0;
            }
            if (first && !self->firstReported) {
                self->firstReported = true;
                QMetaObject::invokeMethod(self->owner, [o = self->owner] { Q_EMIT o->firstFrame(); }, Qt::QueuedConnection);
            }
        }
        pw_stream_queue_buffer(self->stream, latest);
    }

    static const pw_core_events *coreEvents()
    {
        static const pw_core_events events = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.error = &onCoreError;
            return e;
        }();
        return &events;
    }

    static const pw_stream_events *streamEvents()
    {
        static const pw_stream_events events = [] {
            pw_stream_events e{};
            e.version = PW_VERSION_STREAM_EVENTS;
            e.state_changed = &onStateChanged;
            e.param_changed = &onParamChanged;
            e.process = &onProcess;
            return e;
        }();
        return &events;
    }
};

PipeWireStream::PipeWireStream(QObject *parent)
    : QObject(parent)
{
}

PipeWireStream::~PipeWireStream()
{
    close();
}

bool PipeWireStream::open(int fd, quint32 nodeId)
{
    close();
    initPipeWire();
    d = std::make_unique<Private>();
    d->owner = this;
    d->loop = pw_thread_loop_new("deskcast-pw", nullptr);
    if (!d->loop) {
        ::close(fd);
        m_error = QStringLiteral("could not make PipeWire's thread");
        d.reset();
        return false;
    }
    pw_thread_loop_lock(d->loop);
    d->context = pw_context_new(pw_thread_loop_get_loop(d->loop), nullptr, 0);
    if (d->context)
        d->core = pw_context_connect_fd(d->context, fd, nullptr, 0);
    else
        ::close(fd);
    if (!d->core) {
        m_error = QStringLiteral("could not connect to PipeWire: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        pw_thread_loop_unlock(d->loop);
        close();
        return false;
    }
    pw_core_add_listener(d->core, &d->coreListener, Private::coreEvents(), d.get());
    d->stream = pw_stream_new(d->core, "deskcast",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    pw_stream_add_listener(d->stream, &d->streamListener, Private::streamEvents(), d.get());

    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_rectangle minSize = SPA_RECTANGLE(1, 1);
    const spa_rectangle defSize = SPA_RECTANGLE(1920, 1080);
    const spa_rectangle maxSize = SPA_RECTANGLE(16384, 16384);
    const spa_fraction minRate = SPA_FRACTION(0, 1);
    const spa_fraction defRate = SPA_FRACTION(60, 1);
    const spa_fraction maxRate = SPA_FRACTION(1000, 1);
    const spa_pod *params[1];
    params[0] = static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
        SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format, SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                                                        SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&defRate, &minRate, &maxRate)));
    const int result = pw_stream_connect(d->stream, PW_DIRECTION_INPUT, nodeId,
                                         pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS
                                                         | PW_STREAM_FLAG_DONT_RECONNECT),
                                         params, 1);
    pw_thread_loop_unlock(d->loop);
    if (result < 0) {
        m_error = QStringLiteral("could not connect to the screen's stream: %1").arg(QString::fromLocal8Bit(strerror(-result)));
        close();
        return false;
    }
    if (pw_thread_loop_start(d->loop) < 0) {
        m_error = QStringLiteral("could not start PipeWire's thread");
        close();
        return false;
    }
    return true;
}

void PipeWireStream::close()
{
    if (!d)
        return;
    if (d->loop)
        pw_thread_loop_stop(d->loop); // joins the thread: no callback runs after this
    if (d->stream)
        pw_stream_destroy(d->stream);
    if (d->core)
        pw_core_disconnect(d->core);
    if (d->context)
        pw_context_destroy(d->context);
    if (d->loop)
        pw_thread_loop_destroy(d->loop);
    d.reset();
}

QImage PipeWireStream::newestFrame() const
{
    if (!d)
        return {};
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->newest;
}

quint64 PipeWireStream::framesReceived() const
{
    if (!d)
        return 0;
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->received;
}
