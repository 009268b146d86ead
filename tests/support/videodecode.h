#pragma once

#include <QImage>
#include <QString>

#include <vector>

// A video file read back through FFmpeg's libraries, for the tests: every frame that decodes,
// as RGB32, with its time in milliseconds.
struct DecodedVideo
{
    bool opened = false;
    QString error;     // why the file could not be opened, or the first reading or decoding error
                       // (a cut-off cluster included)
    QString codec;     // "h264"
    QString container; // "matroska,webm"
    bool bFrames = false; // any frame coded as a B-frame
    std::vector<qint64> timesMs;
    std::vector<QImage> frames;
};

[[nodiscard]] DecodedVideo decodeVideo(const QString &fileName);
