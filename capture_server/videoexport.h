#pragma once

#include "videoencoder.h"

#include <QImage>
#include <QString>

#include <functional>
#include <string>

// Writes frames first..last (inclusive) as an H.264 video in Matroska to `fileName` (replaced
// when it exists), each frame at its own time: frameTimeMs(i) - frameTimeMs(first)
// milliseconds. A frame that cannot be read (a null image) is left out. Returns the number of
// frames written, or -1 with `error` set.
[[nodiscard]] qint64 exportVideo(const std::function<QImage(int)> &frameAt,
                                 const std::function<qint64(int)> &frameTimeMs, int first, int last,
                                 const QString &fileName, const VideoSettings &settings, std::string &error);
