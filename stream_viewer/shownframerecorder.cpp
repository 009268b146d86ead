#include "shownframerecorder.h"

#include "glstreamrenderer.h"
#include "vieweroptions.h"

#include <QDir>

#include <ctime>
#include "frameconsole.h"

namespace {

qint64 monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

ShownFrameRecorder::ShownFrameRecorder(const ViewerOptions &options, QObject *parent)
    : QObject(parent)
    , m_saveDir(options.saveDir)
    , m_frames(options.frames)
    , m_timingPath(options.timingLog)
{
    // After the last frame, wait for it to be painted, but not for ever (a hidden window).
    m_finishTimer.setSingleShot(true);
    m_finishTimer.setInterval(2000);
    connect(&m_finishTimer, &QTimer::timeout, this, &ShownFrameRecorder::finish);
}

bool ShownFrameRecorder::open(QString &error)
{
    if (m_timingPath.isEmpty())
        return true;
    m_timingFile.setFileName(m_timingPath);
    if (!m_timingFile.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        error = QStringLiteral("Cannot write the timing log %1: %2").arg(m_timingPath, m_timingFile.errorString());
        return false;
    }
    m_timing.setDevice(&m_timingFile);
    return true;
}

void ShownFrameRecorder::attach(GLStreamRenderer *renderer)
{
    connect(renderer, &GLStreamRenderer::SIG_imageShown, this, &ShownFrameRecorder::onImageShown);
    connect(renderer, &GLStreamRenderer::SIG_framePainted, this, &ShownFrameRecorder::onFrameSwapped);
}

void ShownFrameRecorder::onImageShown(const QImage &image)
{
    if (m_state != State::Recording)
        return; // --frames frames were shown: the rest are neither saved nor counted
    const int number = m_shown++;
    if (!m_saveDir.isEmpty()) {
        const QString path = QDir(m_saveDir).filePath(QStringLiteral("frame%1.png").arg(number));
        // Quality 80 is zlib level 1: fast, still lossless.
        if (!image.save(path, "PNG", 80))
            FrameConsole::instance().report(StageEvent{StageEvent::Kind::WriteFailed, path, {}, number});
    }
    if (m_timing.device())
        m_pendingCounter = readCounterStrip(image);
    if (m_frames > 0 && m_shown >= m_frames) {
        m_state = State::Finishing;
        m_finishTimer.start();
    }
}

void ShownFrameRecorder::onFrameSwapped()
{
    if (m_pendingCounter) {
        m_timing << *m_pendingCounter << ' ' << monotonicMs() << '\n';
        m_timing.flush();
        m_pendingCounter.reset();
    }
    if (m_state == State::Finishing)
        finish();
}

void ShownFrameRecorder::finish()
{
    if (m_state != State::Finishing)
        return;
    m_state = State::Done;
    m_finishTimer.stop();
    Q_EMIT finished();
}
