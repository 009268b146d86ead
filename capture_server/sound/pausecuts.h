#pragma once

#include "soundtrack.h"

#include <QtGlobal>

#include <vector>

// The pauses of recordings on the monotonic clock, taken out of sound: sound from a pause's
// start to its end is dropped, and sound after it is moved earlier by the pause's length, so a
// track recorded across pauses runs on without a hole, in step with frames whose times are moved
// the same way (their grab time less the pauses before it). Pauses are kept for the object's
// life, so times of later recordings map the same way as the session maps its frames.
class PauseCuts
{
public:
    // A pause begins at `atMs`; until end() every later time maps to its start.
    void begin(qint64 atMs);
    // The open pause ends at `atMs` (not before its start); returns its length in ms.
    qint64 end(qint64 atMs);
    // Forgets the open pause (a recording stopped while paused: nothing after it is recorded).
    void cancel();
    [[nodiscard]] bool isPaused() const { return m_open; }
    // Length of every pause ended so far.
    [[nodiscard]] qint64 totalMs() const { return m_totalNs / 1000000; }

    // A time with the pauses before it taken out; a time inside a pause maps to its start.
    [[nodiscard]] qint64 mapMs(qint64 ms) const { return mapNs(ms * 1000000) / 1000000; }
    // The parts of `buffer` outside every pause, each at its mapped time.
    [[nodiscard]] std::vector<SoundBuffer> apply(const SoundBuffer &buffer) const;

private:
    struct Cut
    {
        qint64 fromNs = 0;
        qint64 toNs = 0;
    };
    [[nodiscard]] qint64 mapNs(qint64 ns) const;

    std::vector<Cut> m_cuts; // ended pauses, in time order
    bool m_open = false;
    qint64 m_openFromNs = 0;
    qint64 m_totalNs = 0;
};
