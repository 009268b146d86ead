#include "videomuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int writeToFd(void *opaque, uint8_t *data, int size)
{
    const int fd = *static_cast<int *>(opaque);
    int left = size;
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return AVERROR(errno);
        }
        data += written;
        left -= int(written);
    }
    return size;
}

int64_t seekFd(void *opaque, int64_t offset, int whence)
{
    const int fd = *static_cast<int *>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat info {};
        return ::fstat(fd, &info) == 0 ? int64_t(info.st_size) : AVERROR(errno);
    }
    const off_t position = ::lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : int64_t(position);
}

int interrupted(void *opaque)
{
    return static_cast<const std::atomic<bool> *>(opaque)->load() ? 1 : 0;
}

} // namespace

VideoMuxer::~VideoMuxer()
{
    release();
}

bool VideoMuxer::openFile(int fd, const AVCodecParameters *codec, std::string &error,
                          const std::vector<const AVCodecParameters *> &sound)
{
    release();
    m_fd = fd;
    m_kept = {};
    m_handed = {};
    // Room for a whole cluster (see the size limit below) and the header: each goes to the file
    // in one write.
    constexpr int bufferSize = 1 << 22;
    auto *buffer = static_cast<unsigned char *>(av_malloc(bufferSize));
    m_fileIo = buffer ? avio_alloc_context(buffer, bufferSize, 1, &m_fd, nullptr, writeToFd, seekFd) : nullptr;
    if (!m_fileIo) {
        av_free(buffer);
        error = "out of memory";
        return false;
    }
    int result = avformat_alloc_output_context2(&m_format, nullptr, "matroska", nullptr);
    if (result < 0) {
        error = "no Matroska muxer: " + videoErrorText(result);
        return false;
    }
    m_format->pb = m_fileIo;
    m_format->flags |= AVFMT_FLAG_CUSTOM_IO;
    m_format->flush_packets = 0; // the header would go out alone: the clusters are flushed here
    // Clusters are ended here (write()), about every second; the container's own limits are
    // only a backstop.
    std::vector<const AVCodecParameters *> streams{codec};
    streams.insert(streams.end(), sound.begin(), sound.end());
    if (!start("cluster_time_limit=2000:cluster_size_limit=4000000", error, streams))
        return false;
    m_interleave = !sound.empty();
    return true;
}

bool VideoMuxer::openUrl(const QString &url, const AVCodecParameters *codec, const std::atomic<bool> *cancel,
                         std::string &error, const AVCodecParameters *audio)
{
    release();
    const QByteArray address = url.toUtf8();
    const char *container = url.startsWith(QLatin1String("rtmp"), Qt::CaseInsensitive) ? "flv" : "mpegts";
    int result = avformat_alloc_output_context2(&m_format, nullptr, container, address.constData());
    if (result < 0) {
        error = videoErrorText(result);
        return false;
    }
    m_format->interrupt_callback = AVIOInterruptCB{interrupted, const_cast<std::atomic<bool> *>(cancel)};
    AVDictionary *options = nullptr;
    av_dict_set(&options, "rw_timeout", "5000000", 0); // a relay that takes nothing for 5 s is down
    // A relay's protocols and what they run on, nothing else: never a file, a pipe or plain TCP.
    av_dict_set(&options, "protocol_whitelist", "rtmp,rtmps,srt,tcp,tls", 0);
    result = avio_open2(&m_format->pb, address.constData(), AVIO_FLAG_WRITE, &m_format->interrupt_callback, &options);
    av_dict_free(&options);
    if (result < 0) {
        error = videoErrorText(result);
        release();
        return false;
    }
    return start(nullptr, error, {codec, audio});
}

bool VideoMuxer::start(const char *optionText, std::string &error, const std::vector<const AVCodecParameters *> &streams)
{
    m_interleave = false;
    for (const AVCodecParameters *parameters : streams) {
        if (!parameters)
            continue;
        AVStream *stream = avformat_new_stream(m_format, nullptr);
        if (!stream) {
            error = "out of memory";
            release();
            return false;
        }
        avcodec_parameters_copy(stream->codecpar, parameters);
        stream->time_base = AVRational{1, 1000};
    }
    AVDictionary *options = nullptr;
    if (optionText)
        av_dict_parse_string(&options, optionText, "=", ":", 0);
    const int result = avformat_write_header(m_format, &options);
    av_dict_free(&options);
    if (result < 0 || (m_format->pb && m_format->pb->error < 0)) {
        error = videoErrorText(result < 0 ? result : m_format->pb->error);
        release();
        return false;
    }
    if (!m_fileIo) // a file's header waits for its first frame: a file never holds a header alone
        avio_flush(m_format->pb);
    m_failed = false;
    return true;
}

bool VideoMuxer::endCluster()
{
    if (m_interleave && av_interleaved_write_frame(m_format, nullptr) < 0)
        return false;
    if (av_write_frame(m_format, nullptr) < 0)
        return false;
    avio_flush(m_format->pb);
    if (m_format->pb->error < 0)
        return false;
    m_kept = m_handed;
    m_kept.bytes = avio_tell(m_format->pb);
    return true;
}

bool VideoMuxer::write(const VideoPacket &packet, std::string &error, int streamIndex, qint64 shiftMs)
{
    if (!m_format || m_failed || streamIndex < 0 || streamIndex >= int(m_format->nb_streams)) {
        error = "not open";
        return false;
    }
    AVPacket *copy = av_packet_clone(packet.get());
    if (!copy) {
        error = "out of memory";
        return false;
    }
    AVStream *stream = m_format->streams[streamIndex];
    copy->stream_index = streamIndex;
    if (copy->pts != AV_NOPTS_VALUE)
        copy->pts -= shiftMs;
    if (copy->dts != AV_NOPTS_VALUE)
        copy->dts -= shiftMs;
    const qint64 timeMs = copy->pts;
    av_packet_rescale_ts(copy, AVRational{1, 1000}, stream->time_base);
    const Extent before = m_handed;
    int result = m_interleave ? av_interleaved_write_frame(m_format, copy) : av_write_frame(m_format, copy);
    av_packet_free(&copy);
    const bool frame = streamIndex == 0 && result >= 0;
    if (frame) {
        ++m_handed.frames;
        m_handed.lastMs = std::max(m_handed.lastMs, timeMs);
    }
    if (frame && m_fileIo && (m_handed.frames == 1 || timeMs - m_clusterStartMs >= 1000)) {
        // The first frame alone, then a second's worth: the cluster goes to the file now.
        m_clusterStartMs = timeMs;
        if (!endCluster())
            result = m_format->pb->error < 0 ? m_format->pb->error : AVERROR(EIO);
    } else if (result >= 0) {
        avio_flush(m_format->pb); // a cluster the container ended reaches the file (or the relay) now
        // The container ends a cluster before the packet that begins the next one.
        if (m_fileIo && !m_interleave && m_format->pb->error >= 0 && avio_tell(m_format->pb) > m_kept.bytes) {
            m_kept = before;
            m_kept.bytes = avio_tell(m_format->pb);
            m_clusterStartMs = timeMs;
        }
    }
    if (result >= 0 && m_format->pb->error < 0)
        result = m_format->pb->error;
    if (result < 0) {
        m_failed = true;
        error = videoErrorText(result);
        return false;
    }
    return true;
}

bool VideoMuxer::close(std::string &error)
{
    if (!m_format)
        return true;
    bool ok = !m_failed;
    if (ok) {
        const int result = av_write_trailer(m_format);
        if (result < 0 || m_format->pb->error < 0) {
            error = videoErrorText(result < 0 ? result : m_format->pb->error);
            ok = false;
        } else {
            m_kept = m_handed;
            m_kept.bytes = avio_tell(m_format->pb);
        }
    }
    release(!ok && m_fileIo);
    return ok;
}

qint64 VideoMuxer::bytesWritten() const
{
    return m_format && m_format->pb ? avio_tell(m_format->pb) : 0;
}

void VideoMuxer::release(bool cutBack)
{
    if (m_format) {
        if (m_fileIo) {
            if (!cutBack)
                avio_flush(m_fileIo);
        } else if (m_format->pb) {
            avio_closep(&m_format->pb);
        }
        avformat_free_context(m_format);
        m_format = nullptr;
    }
    if (m_fileIo) {
        av_freep(&m_fileIo->buffer);
        avio_context_free(&m_fileIo);
    }
    if (m_fd >= 0) {
        // What came after the last whole cluster cannot be read: a partial cluster, or a
        // trailer cut short.
        if (cutBack && ::ftruncate(m_fd, off_t(m_kept.bytes)) != 0)
            m_kept = {};
        ::close(m_fd);
        m_fd = -1;
    }
}
