#include "videorecording.h"

#include "videodecode.h"

#include <QTest>

VideoRecording::VideoRecording(const QImage &picture)
    : m_picture(picture)
    , m_window(picture, QPoint(0, 0))
{
}

bool VideoRecording::start(const QString &program)
{
    m_window.show();
    if (!QTest::qWaitForWindowExposed(&m_window) || !m_dir.isValid())
        return false;
    const QString area = QStringLiteral("0,0,%1,%2").arg(m_picture.width()).arg(m_picture.height());
    m_server.setWorkingDirectory(m_dir.path());
    m_server.start(program, {QStringLiteral("-geometry"), QStringLiteral("400x500+1400+0"), QStringLiteral("--port"),
                             QStringLiteral("0"), QStringLiteral("--handler"), QStringLiteral("video"),
                             QStringLiteral("--area"), area, QStringLiteral("--fps"), QStringLiteral("30"),
                             QStringLiteral("--start")});
    return m_server.waitForStarted();
}

QString VideoRecording::problemWith(const QString &file, const QRect &compared, double minimumPsnr,
                                    size_t *frames) const
{
    const DecodedVideo video = decodeVideo(file);
    if (frames)
        *frames = video.frames.size();
    if (!video.opened || !video.error.isEmpty())
        return QStringLiteral("does not play: ") + video.error;
    if (video.frames.empty())
        return QStringLiteral("holds no frame");
    for (size_t i = 0; i < video.frames.size(); ++i) {
        if (video.frames[i].size() != m_picture.size())
            return QStringLiteral("frame %1 is %2x%3").arg(i).arg(video.frames[i].width()).arg(video.frames[i].height());
        if (i > 0 && video.timesMs[i] <= video.timesMs[i - 1])
            return QStringLiteral("frame %1 is not later than the one before").arg(i);
        const double value = psnr(video.frames[i].copy(compared), m_picture.copy(compared));
        if (value < minimumPsnr)
            return QStringLiteral("frame %1: PSNR %2 dB").arg(i).arg(value);
    }
    return {};
}
