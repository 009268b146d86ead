#include "soundencoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cstring>

namespace {

constexpr int defaultBitRate = 128000;
// PCM has no frame size of its own: 20 ms per packet, as Opus.
constexpr int pcmFrameSize = SoundEncoder::Rate / 50;

// Floor of a / b for b > 0, negative a included (the first packets start before zero).
qint64 floorDiv(qint64 a, qint64 b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

VideoPacket share(AVPacket *packet)
{
    return VideoPacket(packet, [](const AVPacket *p) {
        AVPacket *owned = const_cast<AVPacket *>(p);
        av_packet_free(&owned);
    });
}

} // namespace

QString soundCodecName(SoundCodec codec)
{
    switch (codec) {
    case SoundCodec::Opus:
        return QStringLiteral("Opus");
    case SoundCodec::Aac:
        return QStringLiteral("AAC");
    case SoundCodec::Pcm:
        return QStringLiteral("PCM");
    }
    return {};
}

SoundEncoder::SoundEncoder(SoundCodec codec, int bitRate)
    : m_codec(codec)
    , m_bitRate(bitRate > 0 ? bitRate : defaultBitRate)
{
    quietVideoLibraries();
}

SoundEncoder::~SoundEncoder()
{
    av_frame_free(&m_frame);
    avcodec_parameters_free(&m_parameters);
    avcodec_free_context(&m_context);
}

bool SoundEncoder::open(qint64 startMs, std::string &error)
{
    if (m_context) {
        error = "already open";
        return false;
    }
    const char *name = m_codec == SoundCodec::Opus ? "libopus" : m_codec == SoundCodec::Aac ? "aac" : "pcm_f32le";
    const AVCodec *coder = avcodec_find_encoder_by_name(name);
    if (!coder) {
        error = std::string("this FFmpeg has no ") + name + " encoder";
        return false;
    }
    // Interleaved float as it comes, or planar float (the AAC coder's only format).
    AVSampleFormat format = AV_SAMPLE_FMT_NONE;
    for (const AVSampleFormat *f = coder->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f) {
        if (*f == AV_SAMPLE_FMT_FLT || (*f == AV_SAMPLE_FMT_FLTP && format == AV_SAMPLE_FMT_NONE))
            format = *f;
    }
    if (format == AV_SAMPLE_FMT_NONE) {
        error = std::string("the ") + name + " encoder takes no float samples";
        return false;
    }
    m_context = avcodec_alloc_context3(coder);
    m_frame = av_frame_alloc();
    if (!m_context || !m_frame) {
        error = "out of memory";
        return false;
    }
    m_context->sample_rate = Rate;
    m_context->sample_fmt = format;
    av_channel_layout_default(&m_context->ch_layout, Channels);
    m_context->time_base = AVRational{1, Rate};
    if (m_codec != SoundCodec::Pcm)
        m_context->bit_rate = m_bitRate;
    // The coder's effort: its default (10) costs about 1.2 % of a core beside a capture on a
    // small machine, 5 two thirds of that, with no difference heard at this bit rate.
    if (m_codec == SoundCodec::Opus)
        m_context->compression_level = 5;
    // Matroska and FLV carry the stream headers once, in the track header.
    m_context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int result = avcodec_open2(m_context, coder, nullptr);
    if (result >= 0) {
        m_parameters = avcodec_parameters_alloc();
        result = m_parameters ? avcodec_parameters_from_context(m_parameters, m_context) : AVERROR(ENOMEM);
    }
    if (result >= 0) {
        m_frameSize = m_context->frame_size > 0 ? m_context->frame_size : pcmFrameSize;
        m_frame->nb_samples = m_frameSize;
        m_frame->format = format;
        m_frame->sample_rate = Rate;
        result = av_channel_layout_copy(&m_frame->ch_layout, &m_context->ch_layout);
        if (result >= 0)
            result = av_frame_get_buffer(m_frame, 0);
    }
    if (result < 0) {
        error = std::string("the ") + name + " encoder did not open: " + videoErrorText(result);
        av_frame_free(&m_frame);
        avcodec_parameters_free(&m_parameters);
        avcodec_free_context(&m_context);
        return false;
    }
    m_planar = format == AV_SAMPLE_FMT_FLTP;
    m_startMs = startMs;
    m_nextPts = 0;
    m_queue.clear();
    return true;
}

bool SoundEncoder::encode(const float *samples, qsizetype frames, std::vector<VideoPacket> &out, std::string &error)
{
    if (!m_context) {
        error = "not open";
        return false;
    }
    if (frames > 0)
        m_queue.insert(m_queue.end(), samples, samples + frames * Channels);
    while (m_queue.size() >= size_t(m_frameSize) * Channels) {
        if (!send(m_frameSize, out, error))
            return false;
    }
    return true;
}

bool SoundEncoder::finish(std::vector<VideoPacket> &out, std::string &error)
{
    if (!m_context) {
        error = "not open";
        return false;
    }
    if (!m_queue.empty()) {
        const int left = int(m_queue.size() / Channels);
        const bool shortFrameOk = m_context->codec->capabilities
                                  & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
        if (!shortFrameOk)
            m_queue.resize(size_t(m_frameSize) * Channels, 0.0f);
        if (!send(shortFrameOk ? left : m_frameSize, out, error))
            return false;
    }
    const int result = avcodec_send_frame(m_context, nullptr);
    if (result < 0 && result != AVERROR_EOF) {
        error = "the sound encoder failed: " + videoErrorText(result);
        return false;
    }
    return receive(out, error);
}

bool SoundEncoder::send(int frames, std::vector<VideoPacket> &out, std::string &error)
{
    int result = av_frame_make_writable(m_frame);
    if (result >= 0) {
        m_frame->nb_samples = frames;
        if (m_planar) {
            auto *left = reinterpret_cast<float *>(m_frame->data[0]);
            auto *right = reinterpret_cast<float *>(m_frame->data[1]);
            for (int i = 0; i < frames; ++i) {
                left[i] = m_queue[size_t(i) * 2];
                right[i] = m_queue[size_t(i) * 2 + 1];
            }
        } else {
            std::memcpy(m_frame->data[0], m_queue.data(), size_t(frames) * Channels * sizeof(float));
        }
        m_queue.erase(m_queue.begin(), m_queue.begin() + qsizetype(frames) * Channels);
        m_frame->pts = m_nextPts;
        m_nextPts += frames;
        result = avcodec_send_frame(m_context, m_frame);
    }
    if (result < 0) {
        error = "the sound encoder failed: " + videoErrorText(result);
        return false;
    }
    return receive(out, error);
}

bool SoundEncoder::receive(std::vector<VideoPacket> &out, std::string &error)
{
    for (;;) {
        AVPacket *packet = av_packet_alloc();
        if (!packet) {
            error = "out of memory";
            return false;
        }
        const int result = avcodec_receive_packet(m_context, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
            av_packet_free(&packet);
            return true;
        }
        if (result < 0) {
            av_packet_free(&packet);
            error = "the sound encoder failed: " + videoErrorText(result);
            return false;
        }
        // Frames from the start become milliseconds of the monotonic clock; the end of one
        // packet is the start of the next, so the rounded times never overlap.
        const qint64 begin = m_startMs + floorDiv(packet->pts * 1000, Rate);
        const qint64 end = m_startMs + floorDiv((packet->pts + std::max<qint64>(0, packet->duration)) * 1000, Rate);
        packet->pts = packet->dts = begin;
        packet->duration = std::max<qint64>(0, end - begin);
        packet->time_base = AVRational{1, 1000};
        out.push_back(share(packet));
    }
}
