#pragma once

#include "testsupport.h"

#include <QImage>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QTemporaryDir>

// The set-up of the tests that kill capture_server while it records a video: a picture shown at
// the screen's top-left, capture_server recording exactly its area to ./capture/captureN.mkv at
// 30 fps in a folder of its own (its window out of the way at x = 1400), and the check of the
// file it leaves.
class VideoRecording
{
public:
    explicit VideoRecording(const QImage &picture);

    // Shows the picture and starts `program`; false when either did not happen.
    [[nodiscard]] bool start(const QString &program);
    [[nodiscard]] QProcess &server() { return m_server; }
    [[nodiscard]] QString captureFolder() const { return m_dir.filePath(QStringLiteral("capture")); }
    [[nodiscard]] QString firstFile() const { return m_dir.filePath(QStringLiteral("capture/capture0.mkv")); }

    // What is wrong with `file` as a recording of the picture: it must open, decode without an
    // error from its first frame on, hold at least one frame, each of the picture's size, later
    // than the one before and, within `compared`, at least `minimumPsnr` dB from the picture.
    // Empty when nothing is wrong; `frames` (when given) is set to the frames decoded.
    [[nodiscard]] QString problemWith(const QString &file, const QRect &compared, double minimumPsnr,
                                      size_t *frames = nullptr) const;

private:
    QImage m_picture;
    PatternWindow m_window;
    QTemporaryDir m_dir;
    QProcess m_server;
};
