#include "soundsource.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaObject>
#include <QPointer>

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>

namespace {

// A level older than this is no level: the source has gone quiet (a suspended sink sends
// nothing at all).
constexpr qint64 levelHoldNs = 300000000;

qint64 monotonicNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void initPipeWire()
{
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

QString fromPw(const char *text)
{
    return QString::fromUtf8(text ? text : "");
}

// The name in a default-device value of the "default" metadata: {"name":"speakers"}.
QString defaultName(const char *value)
{
    if (!value)
        return {};
    return QJsonDocument::fromJson(QByteArray(value)).object().value(QLatin1String("name")).toString();
}

bool isSink(const QString &mediaClass)
{
    return mediaClass.startsWith(QLatin1String("Audio/Sink"));
}

bool isSource(const QString &mediaClass)
{
    return mediaClass.startsWith(QLatin1String("Audio/Source")) || mediaClass == QLatin1String("Audio/Duplex");
}

} // namespace

struct SoundSource::Private
{
    struct Node
    {
        QString name;
        QString mediaClass;
    };
    struct Link
    {
        uint32_t output = SPA_ID_INVALID;
        uint32_t input = SPA_ID_INVALID;
    };

    SoundSource *owner = nullptr;
    quint64 generation = 0;
    Kind kind = Kind::System;
    QString what; // "system sound", "microphone"

    pw_thread_loop *loop = nullptr;
    pw_context *context = nullptr;
    pw_core *core = nullptr;
    pw_registry *registry = nullptr;
    pw_metadata *metadata = nullptr;
    pw_stream *stream = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    spa_hook metadataListener{};
    spa_hook streamListener{};

    // On PipeWire's thread (or under its lock).
    int syncSeq = -1;
    bool synced = false;
    bool opened = false;          // open() returned true: losses are reported from now on
    QString failure;              // why open() fails, once known
    std::map<uint32_t, Node> nodes;
    std::map<uint32_t, Link> links;
    QString defaultSink;
    QString defaultSource;
    uint32_t streamNode = SPA_ID_INVALID;
    uint32_t linkedNode = SPA_ID_INVALID; // the device node the stream takes its sound from
    int rate = 48000;
    int channels = 2;

    void setState(State state, const QString &line)
    {
        owner->m_state = state;
        QPointer<SoundSource> target(owner);
        const quint64 g = generation;
        QMetaObject::invokeMethod(owner, [target, g, state, line] {
            if (target && target->m_generation == g)
                Q_EMIT target->stateChanged(state, line);
        }, Qt::QueuedConnection);
    }

    void lose(const QString &reason)
    {
        if (!opened || owner->m_state != State::Open)
            return;
        setState(State::DeviceMissing, QStringLiteral("Sound: %1 (%2) is gone: %3; recording silence")
                                           .arg(what, owner->deviceName(), reason));
    }

    QString deviceNameOf(uint32_t node) const
    {
        const auto it = nodes.find(node);
        if (it == nodes.end())
            return {};
        // The system sound is a sink's monitor, named as the sound server's clients know it.
        return kind == Kind::System && isSink(it->second.mediaClass) ? it->second.name + QLatin1String(".monitor")
                                                                      : it->second.name;
    }

    void setDeviceName(const QString &name)
    {
        const std::lock_guard<std::mutex> lock(owner->m_mutex);
        owner->m_deviceName = name;
    }

    // Follows the links into the stream: the device it is linked to, and back after a loss.
    void updateLink()
    {
        if (streamNode == SPA_ID_INVALID)
            return;
        uint32_t from = SPA_ID_INVALID;
        for (const auto &[id, link] : links) {
            if (link.input == streamNode && nodes.count(link.output)) {
                from = link.output;
                break;
            }
        }
        if (from == SPA_ID_INVALID || from == linkedNode)
            return;
        linkedNode = from;
        setDeviceName(deviceNameOf(from));
        if (opened && owner->m_state == State::DeviceMissing)
            setState(State::Open, QStringLiteral("Sound: %1 now from %2").arg(what, owner->deviceName()));
        pw_thread_loop_signal(loop, false);
    }

    static void onCoreDone(void *data, uint32_t id, int seq)
    {
        auto *self = static_cast<Private *>(data);
        if (id == PW_ID_CORE && seq == self->syncSeq) {
            self->synced = true;
            pw_thread_loop_signal(self->loop, false);
        }
    }

    static void onCoreError(void *data, uint32_t id, int, int res, const char *message)
    {
        auto *self = static_cast<Private *>(data);
        if (id != PW_ID_CORE)
            return;
        if (!self->opened) {
            if (self->failure.isEmpty())
                self->failure = QStringLiteral("the sound server failed: %1").arg(fromPw(message));
            pw_thread_loop_signal(self->loop, false);
            return;
        }
        if (res == -EPIPE && self->owner->m_state != State::ServerGone) {
            self->setState(State::ServerGone, QStringLiteral("Sound: %1 (%2) is gone: the sound server went away; recording silence")
                                                  .arg(self->what, self->owner->deviceName()));
        }
    }

    static void onGlobal(void *data, uint32_t id, uint32_t, const char *type, uint32_t, const spa_dict *props)
    {
        auto *self = static_cast<Private *>(data);
        if (!props)
            return;
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
            self->nodes[id] = Node{fromPw(spa_dict_lookup(props, PW_KEY_NODE_NAME)),
                                   fromPw(spa_dict_lookup(props, PW_KEY_MEDIA_CLASS))};
            self->updateLink();
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
            const char *output = spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE);
            const char *input = spa_dict_lookup(props, PW_KEY_LINK_INPUT_NODE);
            if (output && input) {
                self->links[id] = Link{uint32_t(std::strtoul(output, nullptr, 10)), uint32_t(std::strtoul(input, nullptr, 10))};
                self->updateLink();
            }
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && !self->metadata) {
            const char *name = spa_dict_lookup(props, PW_KEY_METADATA_NAME);
            if (name && std::strcmp(name, "default") == 0) {
                self->metadata = static_cast<pw_metadata *>(
                    pw_registry_bind(self->registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
                if (self->metadata)
                    pw_metadata_add_listener(self->metadata, &self->metadataListener, metadataEvents(), self);
            }
        }
    }

    static void onGlobalRemove(void *data, uint32_t id)
    {
        auto *self = static_cast<Private *>(data);
        self->links.erase(id);
        if (self->nodes.erase(id) == 0)
            return;
        if (id == self->linkedNode) {
            self->linkedNode = SPA_ID_INVALID;
            self->lose(QStringLiteral("the device was removed"));
        } else if (id == self->streamNode) {
            self->lose(QStringLiteral("the sound server ended the capture"));
        }
    }

    static int onMetadataProperty(void *data, uint32_t subject, const char *key, const char *, const char *value)
    {
        auto *self = static_cast<Private *>(data);
        if (subject != PW_ID_CORE)
            return 0;
        if (!key) { // everything cleared
            self->defaultSink.clear();
            self->defaultSource.clear();
        } else if (std::strcmp(key, "default.audio.sink") == 0) {
            self->defaultSink = defaultName(value);
        } else if (std::strcmp(key, "default.audio.source") == 0) {
            self->defaultSource = defaultName(value);
        }
        return 0;
    }

    static void onStateChanged(void *data, pw_stream_state, pw_stream_state state, const char *error)
    {
        auto *self = static_cast<Private *>(data);
        if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
            self->streamNode = pw_stream_get_node_id(self->stream);
            self->updateLink();
        } else if (state == PW_STREAM_STATE_ERROR && !self->opened && self->failure.isEmpty()) {
            self->failure = QStringLiteral("the sound server refused the capture: %1").arg(fromPw(error ? error : "unknown error"));
        }
        // Losses after open() are told by the registry (device or stream node removed) and the
        // core (server gone), each once.
        pw_thread_loop_signal(self->loop, false);
    }

    static void onParamChanged(void *data, uint32_t id, const spa_pod *param)
    {
        auto *self = static_cast<Private *>(data);
        if (!param || id != SPA_PARAM_Format)
            return;
        spa_audio_info_raw info{};
        if (spa_format_audio_raw_parse(param, &info) < 0 || info.format != SPA_AUDIO_FORMAT_F32 || info.rate == 0
            || info.channels == 0)
            return;
        self->rate = int(info.rate);
        self->channels = int(info.channels);
    }

    static void onProcess(void *data)
    {
        auto *self = static_cast<Private *>(data);
        std::vector<SoundBuffer> received;
        while (pw_buffer *b = pw_stream_dequeue_buffer(self->stream)) {
            const spa_data &plane = b->buffer->datas[0];
            const int frameBytes = int(sizeof(float)) * self->channels;
            if (plane.data && plane.chunk && !(plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) {
                const uint32_t offset = std::min(plane.chunk->offset, plane.maxsize);
                const uint32_t size = std::min(plane.chunk->size, plane.maxsize - offset);
                const qsizetype frames = qsizetype(size) / frameBytes;
                if (frames > 0) {
                    SoundBuffer buffer;
                    buffer.rate = self->rate;
                    buffer.channels = self->channels;
                    const auto *samples = reinterpret_cast<const float *>(static_cast<const uint8_t *>(plane.data) + offset);
                    buffer.samples.assign(samples, samples + frames * self->channels);
                    received.push_back(std::move(buffer));
                }
            }
            pw_stream_queue_buffer(self->stream, b);
        }
        if (received.empty())
            return;

        // The newest frame came through the device `delay` before the graph cycle began; the
        // buffers before it follow back from there.
        pw_time time{};
        qint64 endNs = monotonicNs();
        if (pw_stream_get_time_n(self->stream, &time, sizeof time) == 0 && time.now > 0 && time.rate.denom > 0) {
            const qint64 delayNs = time.delay * 1000000000LL * time.rate.num / time.rate.denom
                                   + qint64(time.buffered) * 1000000000LL / self->rate;
            endNs = time.now - delayNs + received.back().frames() * 1000000000LL / self->rate;
        }
        float peak = 0.0f;
        for (auto it = received.rbegin(); it != received.rend(); ++it) {
            it->timeNs = endNs - it->frames() * 1000000000LL / it->rate;
            endNs = it->timeNs;
            for (const float s : it->samples)
                peak = std::max(peak, std::fabs(s));
        }
        self->owner->m_level = std::min(peak, 1.0f);
        self->owner->m_levelTimeNs = monotonicNs();

        const std::lock_guard<std::mutex> lock(self->owner->m_mutex);
        std::deque<SoundBuffer> &queue = self->owner->m_queue;
        for (SoundBuffer &buffer : received)
            queue.push_back(std::move(buffer));
        // Nobody takes them: keep the newest few seconds.
        while (queue.size() > 1 && queue.back().timeNs - queue.front().timeNs > qint64(MaxQueuedMs) * 1000000)
            queue.pop_front();
    }

    static const pw_core_events *coreEvents()
    {
        static const pw_core_events events = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.done = &onCoreDone;
            e.error = &onCoreError;
            return e;
        }();
        return &events;
    }

    static const pw_registry_events *registryEvents()
    {
        static const pw_registry_events events = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = &onGlobal;
            e.global_remove = &onGlobalRemove;
            return e;
        }();
        return &events;
    }

    static const pw_metadata_events *metadataEvents()
    {
        static const pw_metadata_events events = [] {
            pw_metadata_events e{};
            e.version = PW_VERSION_METADATA_EVENTS;
            e.property = &onMetadataProperty;
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

    // Under the loop's lock: waits until `done` holds, a failure is known or the deadline passed.
    template<typename Done>
    bool waitFor(Done done, timespec &deadline)
    {
        while (!done() && failure.isEmpty()) {
            if (pw_thread_loop_timed_wait_full(loop, &deadline) != 0)
                return done();
        }
        return done();
    }

    // Under the loop's lock: one round trip, so that everything the server had to say by now
    // has been heard.
    bool roundTrip(timespec &deadline)
    {
        synced = false;
        syncSeq = pw_core_sync(core, PW_ID_CORE, syncSeq);
        return waitFor([this] { return synced; }, deadline);
    }
};

SoundSource::SoundSource(QObject *parent)
    : QObject(parent)
{
}

SoundSource::~SoundSource()
{
    close();
}

bool SoundSource::open(Kind kind, const QString &device, QString &error, int timeoutMs)
{
    close();
    initPipeWire();
    m_kind = kind;
    ++m_generation;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.clear();
        m_deviceName = device;
    }
    d = std::make_unique<Private>();
    d->owner = this;
    d->generation = m_generation;
    d->kind = kind;
    d->what = kind == Kind::System ? QStringLiteral("system sound") : QStringLiteral("microphone");
    const auto fail = [&](const QString &reason) {
        error = device.isEmpty() ? QStringLiteral("%1: %2").arg(d->what, reason)
                                 : QStringLiteral("%1 (%2): %3").arg(d->what, device, reason);
        if (d->loop)
            pw_thread_loop_unlock(d->loop);
        close();
        return false;
    };

    d->loop = pw_thread_loop_new("deskcast-sound", nullptr);
    if (!d->loop)
        return fail(QStringLiteral("could not make the sound thread"));
    d->context = pw_context_new(pw_thread_loop_get_loop(d->loop), nullptr, 0);
    if (!d->context || pw_thread_loop_start(d->loop) < 0) {
        pw_thread_loop_lock(d->loop); // fail() unlocks
        return fail(QStringLiteral("could not start PipeWire's client"));
    }
    pw_thread_loop_lock(d->loop);
    timespec deadline{};
    pw_thread_loop_get_time(d->loop, &deadline, qint64(std::max(1, timeoutMs)) * SPA_NSEC_PER_MSEC);

    d->core = pw_context_connect(d->context, nullptr, 0);
    if (!d->core)
        return fail(QStringLiteral("no sound server: PipeWire is not running here (%1)").arg(fromPw(strerror(errno))));
    pw_core_add_listener(d->core, &d->coreListener, Private::coreEvents(), d.get());
    d->registry = pw_core_get_registry(d->core, PW_VERSION_REGISTRY, 0);
    if (!d->registry)
        return fail(QStringLiteral("could not ask the sound server for its devices"));
    pw_registry_add_listener(d->registry, &d->registryListener, Private::registryEvents(), d.get());
    // The devices, then the defaults of the metadata bound meanwhile.
    if (!d->roundTrip(deadline) || !d->roundTrip(deadline)) {
        return fail(d->failure.isEmpty()
                        ? QStringLiteral("the sound server did not answer within %1 ms").arg(timeoutMs)
                        : d->failure);
    }

    // Which device, and whether it is there.
    const auto find = [&](const QString &name) {
        for (const auto &[id, node] : d->nodes) {
            if (node.name == name && (isSink(node.mediaClass) || isSource(node.mediaClass)))
                return id;
        }
        return uint32_t(SPA_ID_INVALID);
    };
    QString target;
    bool captureSink = kind == Kind::System;
    uint32_t node = SPA_ID_INVALID;
    if (kind == Kind::System) {
        node = find(d->defaultSink);
        if (node == SPA_ID_INVALID || !isSink(d->nodes[node].mediaClass))
            return fail(QStringLiteral("there is no output device"));
    } else if (device.isEmpty()) {
        node = find(d->defaultSource);
        if (node == SPA_ID_INVALID)
            return fail(QStringLiteral("there is no input device"));
        target = d->nodes[node].name;
        captureSink = isSink(d->nodes[node].mediaClass);
    } else {
        node = find(device);
        if (node == SPA_ID_INVALID && device.endsWith(QLatin1String(".monitor")))
            node = find(device.chopped(8));
        if (node == SPA_ID_INVALID)
            return fail(QStringLiteral("no such device"));
        target = d->nodes[node].name;
        captureSink = isSink(d->nodes[node].mediaClass);
    }
    d->setDeviceName(d->deviceNameOf(node));

    pw_properties *properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Production",
        PW_KEY_NODE_NAME, kind == Kind::System ? "deskcast-system-sound" : "deskcast-microphone",
        PW_KEY_NODE_DESCRIPTION, kind == Kind::System ? "deskcast system sound" : "deskcast microphone",
        PW_KEY_APP_NAME, "deskcast", "state.restore-target", "false", nullptr);
    if (captureSink)
        pw_properties_set(properties, PW_KEY_STREAM_CAPTURE_SINK, "true");
    if (!target.isEmpty()) {
        // A microphone stays with the device it opened, the default input of the time
        // included: when it goes, the session manager would move the capture to whatever input
        // is left, a monitor of the speakers even, and the recording would take that sound as
        // the microphone's.
        pw_properties_set(properties, PW_KEY_TARGET_OBJECT, target.toUtf8().constData());
        pw_properties_set(properties, PW_KEY_NODE_DONT_RECONNECT, "true");
    }
    // Without a target (the system sound) the session manager links the default output's
    // monitor and moves the capture along when the user picks another output.
    d->stream = pw_stream_new(d->core, "deskcast sound", properties);
    if (!d->stream)
        return fail(QStringLiteral("could not make a capture stream (%1)").arg(fromPw(strerror(errno))));
    pw_stream_add_listener(d->stream, &d->streamListener, Private::streamEvents(), d.get());

    uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = SoundTrack::Rate;
    info.channels = 2;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod *params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const int result = pw_stream_connect(d->stream, PW_DIRECTION_INPUT, PW_ID_ANY,
                                         pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                         params, 1);
    if (result < 0)
        return fail(QStringLiteral("could not start the capture (%1)").arg(fromPw(spa_strerror(result))));
    // Linked to the device by the session manager; a suspended device is linked too.
    if (!d->waitFor([this] { return d->linkedNode != SPA_ID_INVALID; }, deadline)) {
        return fail(d->failure.isEmpty()
                        ? QStringLiteral("the sound server did not connect the capture to the device within %1 ms").arg(timeoutMs)
                        : d->failure);
    }
    d->opened = true;
    m_state = State::Open;
    pw_thread_loop_unlock(d->loop);
    return true;
}

void SoundSource::close()
{
    if (!d) {
        m_state = State::Closed;
        return;
    }
    if (d->loop)
        pw_thread_loop_stop(d->loop); // joins the thread: no callback runs after this
    if (d->stream)
        pw_stream_destroy(d->stream);
    if (d->metadata)
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(d->metadata));
    if (d->registry)
        pw_proxy_destroy(reinterpret_cast<pw_proxy *>(d->registry));
    if (d->core)
        pw_core_disconnect(d->core);
    if (d->context)
        pw_context_destroy(d->context);
    if (d->loop)
        pw_thread_loop_destroy(d->loop);
    d.reset();
    // Only now: until the thread ended, it could still have reported a loss.
    m_state = State::Closed;
    m_level = 0.0f;
}

QString SoundSource::deviceName() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_deviceName;
}

QString SoundSource::label() const
{
    const QString what = m_kind == Kind::System ? QStringLiteral("system") : QStringLiteral("microphone");
    return QStringLiteral("%1 (%2)").arg(what, deviceName());
}

float SoundSource::level() const
{
    return monotonicNs() - m_levelTimeNs.load() > levelHoldNs ? 0.0f : m_level.load();
}

std::vector<SoundBuffer> SoundSource::take()
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<SoundBuffer> buffers(std::make_move_iterator(m_queue.begin()), std::make_move_iterator(m_queue.end()));
    m_queue.clear();
    return buffers;
}
