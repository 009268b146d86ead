#pragma once

#include "videoencoder.h"

#include <QString>

#include <string>

class FrameHistory;
class SoundHistory;

// Writes the history's frames first..last (inclusive) as an H.264 video in Matroska to `fileName`
// (replaced when it exists), each frame at its own grab time: history.timeMs(i) -
// history.timeMs(first) milliseconds. A frame that cannot be read (a null image) is left out.
// With `sound`, the file carries the sound of the same time range, in its tracks. Returns the
// number of frames written, or -1 with `error` set.
[[nodiscard]] qint64 exportVideo(const FrameHistory &history, int first, int last, const QString &fileName,
                                 const VideoSettings &settings, std::string &error,
                                 const SoundHistory *sound = nullptr);
