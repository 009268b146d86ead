#include "soundtrack.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Drift is taken out over about this long: a steady drift d leaves an error of d times this.
constexpr double correctionSeconds = 1.0;
// Buffer times jitter by a few milliseconds; the error steering the speed is averaged over this.
constexpr double smoothingSeconds = 0.5;
// The speed set for the resampler holds over this many frames (fine steps: 1/480000).
constexpr int compensationFrames = SoundTrack::Rate * 10;
// A buffer whose time puts it further ahead than this has no sensible time: it is dropped
// rather than answered with that much silence.
constexpr double furthestAheadSeconds = 30.0;

constexpr qint64 nsPerSecond = 1000000000;

} // namespace

SoundTrack::SoundTrack(qint64 startMs)
    : m_startNs(startMs * 1000000)
{
}

SoundTrack::~SoundTrack()
{
    swr_free(&m_resampler);
}

bool SoundTrack::configure(int rate, int channels)
{
    swr_free(&m_resampler);
    m_inRate = rate;
    m_inChannels = channels;
    AVChannelLayout in{};
    AVChannelLayout out{};
    av_channel_layout_default(&in, channels);
    av_channel_layout_default(&out, Channels);
    int result = swr_alloc_set_opts2(&m_resampler, &out, AV_SAMPLE_FMT_FLT, Rate, &in, AV_SAMPLE_FMT_FLT, rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    // Always through the resampler, also at 48 kHz in: the speed correction needs it.
    if (result >= 0)
        result = av_opt_set_int(m_resampler, "flags", SWR_FLAG_RESAMPLE, 0);
    if (result >= 0)
        result = swr_init(m_resampler);
    if (result < 0) {
        swr_free(&m_resampler);
        m_error = "the sound converter could not be made for " + std::to_string(rate) + " Hz, "
                  + std::to_string(channels) + " channels";
        return false;
    }
    return true;
}

void SoundTrack::flushResampler()
{
    if (!m_resampler)
        return;
    const int room = swr_get_out_samples(m_resampler, 0) + 64;
    if (room > 0) {
        const size_t at = m_pending.size();
        m_pending.resize(at + size_t(room) * Channels);
        auto *out = reinterpret_cast<uint8_t *>(m_pending.data() + at);
        const int frames = std::max(0, swr_convert(m_resampler, &out, room, nullptr, 0));
        m_pending.resize(at + size_t(frames) * Channels);
        m_written += frames;
    }
    // A fresh start: no filter history, no speed correction.
    if (swr_init(m_resampler) < 0)
        swr_free(&m_resampler);
    m_inRate = m_resampler ? m_inRate : 0;
    m_lateFrames = 0;
}

void SoundTrack::convert(const float *samples, int frames)
{
    const int room = swr_get_out_samples(m_resampler, frames) + 256;
    const size_t at = m_pending.size();
    m_pending.resize(at + size_t(room) * Channels);
    auto *out = reinterpret_cast<uint8_t *>(m_pending.data() + at);
    const auto *in = reinterpret_cast<const uint8_t *>(samples);
    // What does not fit stays in the resampler and comes out with the next buffer.
    const int converted = std::max(0, swr_convert(m_resampler, &out, room, &in, frames));
    m_pending.resize(at + size_t(converted) * Channels);
    m_written += converted;
}

void SoundTrack::appendSilence(qint64 frames)
{
    if (frames <= 0)
        return;
    m_pending.resize(m_pending.size() + size_t(frames) * Channels, 0.0f);
    m_written += frames;
}

void SoundTrack::push(const SoundBuffer &buffer)
{
    const qint64 frames = buffer.frames();
    if (frames <= 0 || frames > std::numeric_limits<int>::max() / 4 || buffer.rate < 1000 || buffer.rate > 768000
        || buffer.channels < 1 || buffer.channels > 64)
        return;
    if (buffer.rate != m_inRate || buffer.channels != m_inChannels || !m_resampler) {
        flushResampler();
        m_continuous = false;
        if (!configure(buffer.rate, buffer.channels))
            return;
    }

    // Where the buffer's first frame belongs, and where it would come out as things stand.
    const double intended = double(buffer.timeNs - m_startNs) * Rate / double(nsPerSecond);
    if (intended - double(m_output) > furthestAheadSeconds * Rate)
        return;
    const double delay = double(swr_get_delay(m_resampler, qint64(Rate) * 1000)) / 1000.0;
    double late = intended - (double(m_written) + delay);
    const bool newRun = !m_continuous || std::abs(buffer.timeNs - m_nextInputNs) > qint64(GapMs) * 1000000
                        || std::abs(late) > double(ResyncMs) * Rate / 1000.0;
    qint64 skip = 0;
    if (newRun) {
        // Placed exactly: silence up to the buffer's time, or its part that is too old dropped.
        flushResampler();
        late = intended - double(m_written);
        if (late >= 0.5)
            appendSilence(std::llround(late));
        else if (late < 0)
            skip = std::min(frames, qint64(std::llround(-late * buffer.rate / Rate)));
    } else {
        // Within a run: steer the resampler's speed so that the error goes to zero.
        const double weight = std::min(1.0, double(frames) / buffer.rate / smoothingSeconds);
        m_lateFrames += (late - m_lateFrames) * weight;
        const double speed = std::clamp(m_lateFrames / (Rate * correctionSeconds), -MaxCorrection, MaxCorrection);
        swr_set_compensation(m_resampler, int(std::lround(speed * compensationFrames)), compensationFrames);
    }
    m_nextInputNs = buffer.timeNs + frames * nsPerSecond / buffer.rate;
    // A buffer wholly too old leaves the next one to be placed exactly too.
    m_continuous = skip < frames;
    if (m_continuous)
        convert(buffer.samples.data() + skip * buffer.channels, int(frames - skip));
}

void SoundTrack::produce(qint64 untilMs, qint64 overdueMs, std::vector<float> &out)
{
    const qint64 startMs = m_startNs / 1000000;
    const qint64 until = std::max<qint64>(0, (untilMs - startMs) * Rate / 1000);
    const qint64 fillTo = std::min(until, (overdueMs - startMs) * Rate / 1000);
    if (m_written < fillTo) {
        // Sound is overdue: what is still in the resampler goes out, silence takes the rest.
        flushResampler();
        if (m_written < fillTo) {
            appendSilence(fillTo - m_written);
            m_continuous = false;
        }
    }
    const qint64 frames = std::min(m_written, until) - m_output;
    if (frames <= 0)
        return;
    const auto end = m_pending.begin() + frames * Channels;
    out.insert(out.end(), m_pending.begin(), end);
    m_pending.erase(m_pending.begin(), end);
    m_output += frames;
}
