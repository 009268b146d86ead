#pragma once

#include <QtGlobal>

#include <chrono>

// Milliseconds of the one clock every stream of a capture is timed on (steady_clock, which is
// CLOCK_MONOTONIC here): grab times, frame times in files, the relay's pacing.
[[nodiscard]] inline qint64 monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
