#pragma once

#include "videoencoder.h"

#include <QtGlobal>

#include <memory>
#include <vector>

// The coded sound of every recording since start-up (Opus packets, about 16 kB a second), so
// that an export from the history carries the sound of its range. Packet times are on the
// monotonic clock of the frames' grab times. For the GUI thread.
class SoundHistory
{
public:
    // A recording's sound begins, in these streams (parameters copied).
    void beginRun(const std::vector<const AVCodecParameters *> &streams);
    // The run's packets, per stream as beginRun() gave them.
    void append(const std::vector<std::vector<VideoPacket>> &packets);

    // The sound of [fromMs, toMs): the streams of the run that was recording at `fromMs` (or the
    // first to begin after it), and per stream its packets that start in the range.
    struct Range
    {
        std::vector<std::shared_ptr<AVCodecParameters>> streams;
        std::vector<std::vector<VideoPacket>> packets;
    };
    [[nodiscard]] Range range(qint64 fromMs, qint64 toMs) const;

private:
    struct Run
    {
        std::vector<std::shared_ptr<AVCodecParameters>> streams;
        std::vector<std::vector<VideoPacket>> packets;
        qint64 endMs = -1; // end of its last packet
    };
    std::vector<Run> m_runs;
};
