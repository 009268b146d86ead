#include "pausecuts.h"

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 nsPerSecond = 1000000000;

} // namespace

void PauseCuts::begin(qint64 atMs)
{
    if (m_open)
        return;
    m_open = true;
    m_openFromNs = std::max(atMs * 1000000, m_cuts.empty() ? std::numeric_limits<qint64>::min() : m_cuts.back().toNs);
}

qint64 PauseCuts::end(qint64 atMs)
{
    if (!m_open)
        return 0;
    m_open = false;
    const Cut cut{m_openFromNs, std::max(m_openFromNs, atMs * 1000000)};
    m_cuts.push_back(cut);
    m_totalNs += cut.toNs - cut.fromNs;
    return (cut.toNs - cut.fromNs) / 1000000;
}

void PauseCuts::cancel()
{
    m_open = false;
}

qint64 PauseCuts::mapNs(qint64 ns) const
{
    qint64 removed = 0;
    for (const Cut &cut : m_cuts) {
        if (ns < cut.fromNs)
            break;
        removed += std::min(ns, cut.toNs) - cut.fromNs;
    }
    if (m_open && ns > m_openFromNs)
        removed += ns - m_openFromNs;
    return ns - removed;
}

std::vector<SoundBuffer> PauseCuts::apply(const SoundBuffer &buffer) const
{
    if ((m_cuts.empty() && !m_open) || buffer.rate <= 0 || buffer.channels <= 0)
        return {buffer};
    // The buffer's frames in pieces between the pauses: frame k lies at timeNs + k / rate.
    const qint64 frames = buffer.frames();
    const qint64 endNs = buffer.timeNs + frames * nsPerSecond / buffer.rate;
    const auto frameAt = [&](qint64 ns) {
        if (ns <= buffer.timeNs)
            return qint64(0);
        if (ns >= endNs) // past the buffer (an open pause ends far away): no product to overflow
            return frames;
        // Rounded up: a frame that starts inside a pause belongs to it.
        return std::min(frames, ((ns - buffer.timeNs) * buffer.rate + nsPerSecond - 1) / nsPerSecond);
    };
    std::vector<Cut> pauses = m_cuts;
    if (m_open)
        pauses.push_back({m_openFromNs, std::numeric_limits<qint64>::max() / 2});
    std::vector<SoundBuffer> pieces;
    qint64 from = 0;
    const auto keep = [&](qint64 to) {
        if (to <= from)
            return;
        SoundBuffer piece;
        piece.rate = buffer.rate;
        piece.channels = buffer.channels;
        piece.timeNs = mapNs(buffer.timeNs + from * nsPerSecond / buffer.rate);
        piece.samples.assign(buffer.samples.begin() + from * buffer.channels, buffer.samples.begin() + to * buffer.channels);
        pieces.push_back(std::move(piece));
    };
    for (const Cut &pause : pauses) {
        const qint64 pauseFrom = frameAt(pause.fromNs);
        const qint64 pauseTo = frameAt(pause.toNs);
        if (pauseTo <= from)
            continue;
        keep(pauseFrom);
        from = std::max(from, pauseTo);
        if (from >= frames)
            break;
    }
    keep(frames);
    return pieces;
}
