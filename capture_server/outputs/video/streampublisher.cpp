#include "streampublisher.h"

#include "videomuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <limits>

namespace {

// Packets waiting for the relay, about four seconds at 30 fps: past that the relay is not
// keeping up, and the queue starts again at the next keyframe (the sending side skips to it).
constexpr size_t maxQueued = 120;
constexpr int firstRetryMs = 250;

// A silent mono AAC track beside the picture. Players that read a stream from an RTMP relay are
// told to expect audio and video, and without audio they wait for it for seconds (FFmpeg's
// probing, five by default) before they show the picture; silence costs a few bytes a second.
class SilentAudio
{
public:
    static constexpr int SampleRate = 44100;
    static constexpr int FrameSamples = 1024;

    SilentAudio()
    {
        quietVideoLibraries();
        const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        AVCodecContext *context = codec ? avcodec_alloc_context3(codec) : nullptr;
        AVFrame *frame = av_frame_alloc();
        AVPacket *packet = av_packet_alloc();
        if (context && frame && packet) {
            context->sample_rate = SampleRate;
            context->sample_fmt = AV_SAMPLE_FMT_FLTP;
            av_channel_layout_default(&context->ch_layout, 1);
            context->bit_rate = 24000;
            context->time_base = AVRational{1, SampleRate};
            context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            if (avcodec_open2(context, codec, nullptr) >= 0) {
                frame->nb_samples = context->frame_size;
                frame->format = context->sample_fmt;
                frame->sample_rate = SampleRate;
                av_channel_layout_copy(&frame->ch_layout, &context->ch_layout);
                if (av_frame_get_buffer(frame, 0) >= 0) {
                    av_samples_set_silence(frame->extended_data, 0, frame->nb_samples, 1, context->sample_fmt);
                    // A few frames in, the coder is past its start-up: every frame of silence
                    // codes the same, so one packet stands for all.
                    for (int i = 0; i < 6; ++i) {
                        frame->pts = qint64(i) * FrameSamples;
                        if (avcodec_send_frame(context, frame) < 0)
                            break;
                        while (avcodec_receive_packet(context, packet) >= 0) {
                            if (!m_frame)
                                m_frame = av_packet_alloc();
                            av_packet_unref(m_frame);
                            av_packet_move_ref(m_frame, packet);
                        }
                    }
                    avcodec_send_frame(context, nullptr); // drained, so nothing is left behind
                    while (avcodec_receive_packet(context, packet) >= 0)
                        av_packet_unref(packet);
                    m_parameters = avcodec_parameters_alloc();
                    avcodec_parameters_from_context(m_parameters, context);
                }
            }
        }
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
        if (!m_frame)
            avcodec_parameters_free(&m_parameters);
    }
    ~SilentAudio()
    {
        av_packet_free(&m_frame);
        avcodec_parameters_free(&m_parameters);
    }
    SilentAudio(const SilentAudio &) = delete;
    SilentAudio &operator=(const SilentAudio &) = delete;

    // Null when no AAC encoder is at hand: the picture then goes alone.
    [[nodiscard]] const AVCodecParameters *parameters() const { return m_parameters; }
    // Frame `index` of silence starting at `startMs`.
    [[nodiscard]] VideoPacket packet(qint64 startMs, qint64 index) const
    {
        AVPacket *packet = av_packet_clone(m_frame);
        if (!packet)
            return {};
        packet->pts = packet->dts = startMs + index * FrameSamples * 1000 / SampleRate;
        packet->duration = FrameSamples * 1000 / SampleRate;
        return VideoPacket(packet, [](const AVPacket *p) {
            AVPacket *owned = const_cast<AVPacket *>(p);
            av_packet_free(&owned);
        });
    }
    // Time of frame `index` after the start.
    [[nodiscard]] static qint64 offsetMs(qint64 index) { return index * FrameSamples * 1000 / SampleRate; }

private:
    AVCodecParameters *m_parameters = nullptr;
    AVPacket *m_frame = nullptr;
};

} // namespace

StreamPublisher::StreamPublisher(QString url, std::function<void(std::string)> report, int maxRetryMs)
    : m_url(std::move(url))
    , m_report(std::move(report))
    , m_maxRetryMs(std::max(firstRetryMs, maxRetryMs))
    , m_thread([this] { run(); })
{
}

StreamPublisher::~StreamPublisher()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cancel = true;
    m_wake.notify_all();
    m_thread.join();
    avcodec_parameters_free(&m_parameters);
    avcodec_parameters_free(&m_sound);
}

void StreamPublisher::begin(const AVCodecParameters *parameters, const AVCodecParameters *sound)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_parameters)
            m_parameters = avcodec_parameters_alloc();
        avcodec_parameters_copy(m_parameters, parameters);
        avcodec_parameters_free(&m_sound);
        if (sound) {
            m_sound = avcodec_parameters_alloc();
            avcodec_parameters_copy(m_sound, sound);
        }
        m_queue.clear();
        m_running = true;
        m_ending = false;
    }
    m_wake.notify_all();
}

void StreamPublisher::push(VideoPacket packet, int stream, qint64 shiftMs)
{
    // While the relay is away nothing is kept: once it is back, the publisher asks for a
    // keyframe and starts there (keeping packets meanwhile would only force keyframes into the
    // file each time the queue overflowed).
    if (!m_connected)
        return;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running || m_ending)
            return;
        if (m_queue.size() >= maxQueued) { // the relay does not keep up: start again at a keyframe
            m_queue.clear();
            m_resync = true;
            m_keyframeRequest = true;
        }
        m_queue.push_back(Queued{std::move(packet), stream, shiftMs});
    }
    m_wake.notify_all();
}

void StreamPublisher::end()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running)
            return;
        m_ending = true;
    }
    m_wake.notify_all();
}

void StreamPublisher::run()
{
    using Clock = std::chrono::steady_clock;
    VideoMuxer muxer;
    const SilentAudio silence;
    qint64 audioStartMs = -1; // time of the first silent frame on this connection
    qint64 audioFrames = 0;
    bool realSound = false; // the run's own sound goes out instead of silence
    qint64 lastSoundPts = std::numeric_limits<qint64>::min(); // of the sound sent last on this connection
    qint64 connectionStartMs = 0; // time of the first picture sent on this connection
    bool downReported = false;
    bool needKeyframe = true;
    int retryMs = firstRetryMs;
    Clock::time_point nextAttempt = Clock::now();
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto disconnect = [&] {
        std::string ignored;
        lock.unlock();
        muxer.close(ignored);
        lock.lock();
        m_connected = false;
    };
    while (!m_stop) {
        if (!m_running) {
            m_wake.wait(lock);
            continue;
        }
        if (!muxer.isOpen()) {
            if (m_ending) { // the run ended while the relay was away
                m_running = false;
                m_ending = false;
                m_queue.clear();
                continue;
            }
            if (Clock::now() < nextAttempt) {
                m_wake.wait_until(lock, nextAttempt);
                continue;
            }
            AVCodecParameters *parameters = avcodec_parameters_alloc();
            avcodec_parameters_copy(parameters, m_parameters);
            AVCodecParameters *sound = nullptr;
            if (m_sound) {
                sound = avcodec_parameters_alloc();
                avcodec_parameters_copy(sound, m_sound);
            }
            realSound = sound != nullptr;
            std::string error;
            lock.unlock();
            const bool opened = muxer.openUrl(m_url, parameters, &m_cancel, error, sound ? sound : silence.parameters());
            avcodec_parameters_free(&parameters);
            avcodec_parameters_free(&sound);
            lock.lock();
            if (m_stop)
                break;
            if (opened) {
                m_connected = true;
                m_report("Publishing to " + m_url.toStdString());
                downReported = false;
                retryMs = firstRetryMs;
                needKeyframe = true;
                m_keyframeRequest = true;
                audioStartMs = -1;
                audioFrames = 0;
                lastSoundPts = std::numeric_limits<qint64>::min();
            } else {
                if (!downReported)
                    m_report("Relay " + m_url.toStdString() + " not reachable (" + error
                             + "): trying again until it is");
                downReported = true;
                nextAttempt = Clock::now() + std::chrono::milliseconds(retryMs);
                retryMs = std::min(retryMs * 2, m_maxRetryMs);
            }
            continue;
        }
        if (m_queue.empty()) {
            if (m_ending) {
                disconnect();
                m_running = false;
                m_ending = false;
                continue;
            }
            m_wake.wait(lock);
            continue;
        }
        if (m_resync) { // packets were dropped: what follows needs a keyframe first
            m_resync = false;
            needKeyframe = true;
        }
        const Queued queued = std::move(m_queue.front());
        m_queue.pop_front();
        const VideoPacket &packet = queued.packet;
        // Sound waits for the picture's keyframe too; only a picture's keyframe ends the wait.
        // FLV takes nothing from before the first packet sent on a connection, nor a sound
        // packet out of order.
        if (queued.stream != 0
            && (!realSound || needKeyframe || packet->pts - queued.shiftMs < connectionStartMs
                || packet->pts <= lastSoundPts))
            continue;
        if (queued.stream != 0)
            lastSoundPts = packet->pts;
        else if (needKeyframe)
            connectionStartMs = packet->dts;
        if (queued.stream == 0 && needKeyframe && !(packet->flags & AV_PKT_FLAG_KEY))
            continue;
        needKeyframe = false;
        std::string error;
        lock.unlock();
        bool sent = true;
        if (queued.stream != 0) {
            sent = muxer.write(packet, error, 1, queued.shiftMs);
        } else if (!realSound && silence.parameters()) {
            // Silence up to this picture's time, so the two tracks go side by side.
            if (audioStartMs < 0)
                audioStartMs = packet->pts;
            while (sent && audioStartMs + SilentAudio::offsetMs(audioFrames) <= packet->pts)
                sent = muxer.write(silence.packet(audioStartMs, audioFrames++), error, 1);
        }
        if (queued.stream == 0)
            sent = sent && muxer.write(packet, error);
        lock.lock();
        if (sent) {
            continue;
        }
        disconnect();
        if (m_stop)
            break;
        m_report("Lost the relay " + m_url.toStdString() + " (" + error + "): reconnecting");
        downReported = true;
        nextAttempt = Clock::now() + std::chrono::milliseconds(retryMs);
        retryMs = std::min(retryMs * 2, m_maxRetryMs);
    }
    lock.unlock();
    std::string ignored;
    muxer.close(ignored);
    m_connected = false;
}
