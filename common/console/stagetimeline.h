#pragma once

#include <QtGlobal>

#include <optional>

class QImage;

// Per-frame stage times, to find where frames are lost or delayed between the grab and the
// screen. Off unless the environment variable DESKCAST_TIMELINE names a file when the program
// starts; then every stamp() appends one line to it:
//
//     <monotonic microseconds> <stage> <key> <value>
//
// `key` names the frame as the stage knows it (a grab's number, a frame's length on the wire, a
// renderer's sequence number, the scene's counter); `value` is what the stage adds (a length, a
// counter, a reason), -1 for nothing. Each line is one write() to a file opened for appending,
// so stamps from several threads do not mix. Off, a stamp costs one test of a flag.
namespace StageTimeline {

[[nodiscard]] bool enabled();
void stampAt(qint64 microseconds, const char *stage, qint64 key, qint64 value = -1);
void stamp(const char *stage, qint64 key, qint64 value = -1);
// CLOCK_MONOTONIC in microseconds: the clock of monotonicMs(), finer.
[[nodiscard]] qint64 nowUs();

} // namespace StageTimeline

// Reads the frame counter that the benchmark scene paints at its top-left: 32 cells of 16x16
// pixels, white for 1 and black for 0, most significant bit first. Empty when the image is too
// small or a cell is neither clearly black nor clearly white.
[[nodiscard]] std::optional<quint32> readCounterStrip(const QImage &image);
