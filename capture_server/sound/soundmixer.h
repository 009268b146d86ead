#pragma once

#include <QtGlobal>

#include <array>
#include <vector>

// Mixes two tracks of interleaved stereo frames on the same clock (frame k of each is the same
// instant) into one: the sum, clipped to [-1, 1]. The tracks may arrive in steps of different
// length; a frame is mixed once both have it. Not thread-safe.
class SoundMixer
{
public:
    static constexpr int Channels = 2;

    // Adds the next `frames` of input `input` (0 or 1).
    void add(int input, const float *samples, qsizetype frames);
    // Appends the frames that both inputs have, mixed.
    void mix(std::vector<float> &out);
    // Frames of one input waiting for the other.
    [[nodiscard]] qsizetype waiting(int input) const { return qsizetype(m_pending[size_t(input)].size()) / Channels; }

private:
    std::array<std::vector<float>, 2> m_pending;
};
