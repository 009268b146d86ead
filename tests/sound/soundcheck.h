#pragma once

#include "videoencoder.h"

#include <QString>

#include <vector>

struct AVCodecParameters;

// Coded sound read back through FFmpeg's decoders, for the tests: 48 kHz stereo float frames,
// interleaved, the first at `startMs` (the first packet's time) of the monotonic clock.
struct DecodedSound
{
    QString error; // empty when every packet decoded
    qint64 startMs = 0;
    std::vector<float> samples;

    [[nodiscard]] qsizetype frames() const { return qsizetype(samples.size()) / 2; }
    // The monotonic time of frame `frame`, in milliseconds.
    [[nodiscard]] double timeMs(qsizetype frame) const { return double(startMs) + double(frame) / 48.0; }
};

[[nodiscard]] DecodedSound decodeSound(const AVCodecParameters *parameters, const std::vector<VideoPacket> &packets);

// The amplitude of the sine at `hz` in frames [from, to) of the left channel (Goertzel).
[[nodiscard]] double toneAmplitude(const std::vector<float> &samples, qsizetype from, qsizetype to, double hz);
// The largest magnitude in frames [from, to), both channels.
[[nodiscard]] float peakIn(const std::vector<float> &samples, qsizetype from, qsizetype to);
// The first and last frame louder than `threshold`; {-1, -1} when none is.
[[nodiscard]] std::pair<qsizetype, qsizetype> loudSpan(const std::vector<float> &samples, float threshold);
