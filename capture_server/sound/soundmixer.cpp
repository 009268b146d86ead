#include "soundmixer.h"

#include <algorithm>

void SoundMixer::add(int input, const float *samples, qsizetype frames)
{
    if (input < 0 || input > 1 || frames <= 0)
        return;
    std::vector<float> &pending = m_pending[size_t(input)];
    pending.insert(pending.end(), samples, samples + frames * Channels);
}

void SoundMixer::mix(std::vector<float> &out)
{
    const size_t samples = std::min(m_pending[0].size(), m_pending[1].size());
    if (samples == 0)
        return;
    const size_t at = out.size();
    out.resize(at + samples);
    for (size_t i = 0; i < samples; ++i)
        out[at + i] = std::clamp(m_pending[0][i] + m_pending[1][i], -1.0f, 1.0f);
    for (std::vector<float> &pending : m_pending)
        pending.erase(pending.begin(), pending.begin() + qsizetype(samples));
}
