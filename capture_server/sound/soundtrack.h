#pragma once

#include <QtGlobal>

#include <string>
#include <vector>

struct SwrContext;

// Sound as a device delivered it: interleaved float frames and the monotonic time
// (std::chrono::steady_clock, in nanoseconds) of the first frame.
struct SoundBuffer
{
    qint64 timeNs = 0;
    int rate = 48000;
    int channels = 2;
    std::vector<float> samples; // frames × channels

    [[nodiscard]] qsizetype frames() const { return channels > 0 ? qsizetype(samples.size()) / channels : 0; }
};

// One source's sound on the monotonic clock: 48 kHz stereo float frames, frame k at
// startMs + k / 48000 s, without gaps. Buffers are placed at their times: where nothing came
// (a suspended sink delivers no buffers, a device went away) silence fills in; the difference
// between the device's clock and the monotonic clock is taken out smoothly by resampling a
// little faster or slower (at most MaxCorrection), never by jumps, unless the error grows past
// ResyncMs (a clock that jumped): then silence is inserted or sound dropped once. Any input
// rate and channel count is converted. Not thread-safe: one thread pushes and produces.
class SoundTrack
{
public:
    static constexpr int Rate = 48000;
    static constexpr int Channels = 2;
    // An error beyond this is put right at once instead of by resampling.
    static constexpr int ResyncMs = 200;
    // A buffer that starts this much off the end of the one before begins a new run, placed at
    // its time exactly: the device stopped and started again, or the server's timing stepped
    // (it does when a client asks for another quantum). Smaller steps, and drift, are taken
    // out by resampling.
    static constexpr int GapMs = 10;
    // The largest speed change used to take out drift (0.3 %, a twentieth of a semitone).
    static constexpr double MaxCorrection = 0.003;

    explicit SoundTrack(qint64 startMs);
    ~SoundTrack();
    SoundTrack(const SoundTrack &) = delete;
    SoundTrack &operator=(const SoundTrack &) = delete;

    [[nodiscard]] qint64 startMs() const { return m_startNs / 1000000; }
    // Frames handed out by produce() so far.
    [[nodiscard]] qint64 produced() const { return m_output; }
    // Empty, or what failed (the converter could not be made: the track then gives silence).
    [[nodiscard]] const std::string &error() const { return m_error; }

    // Adds a buffer. Sound before the start, or for times already handed out, is dropped.
    void push(const SoundBuffer &buffer);
    // Appends to `out` the frames (interleaved stereo) up to `untilMs`, as far as sound has
    // come; times before `overdueMs` that no sound came for are filled with silence (so with
    // `overdueMs` >= `untilMs` the track reaches `untilMs` whatever came).
    void produce(qint64 untilMs, qint64 overdueMs, std::vector<float> &out);

private:
    bool configure(int rate, int channels);
    void flushResampler();
    void convert(const float *samples, int frames);
    void appendSilence(qint64 frames);

    qint64 m_startNs = 0;
    SwrContext *m_resampler = nullptr;
    int m_inRate = 0;
    int m_inChannels = 0;
    std::vector<float> m_pending; // frames placed but not yet produced, from m_output on
    qint64 m_written = 0;         // frames placed: m_output + m_pending's frames
    qint64 m_output = 0;
    bool m_continuous = false;    // the next buffer is expected right after the last one
    qint64 m_nextInputNs = 0;     // where the next buffer would start if the device went on
    double m_lateFrames = 0;      // smoothed placement error, in frames (positive: sound comes late)
    std::string m_error;
};
