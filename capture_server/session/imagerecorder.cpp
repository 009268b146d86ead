#include "imagerecorder.h"

#include "capturearea.h"
#include "clickwatcher.h"
#include "configstructure.h"
#include "frameconsole.h"
#include "framesink.h"
#include "grabber.h"
#include "monotonicclock.h"

#include <QTimerEvent>

#include <sstream>

ImageRecorder::ImageRecorder(QObject *parent)
    : QObject(parent)
{
}

void ImageRecorder::SLOT_startCapture(const ConfigStructure *configuration)
{
    if (!configuration)
        return;
    if (running)
        SLOT_stopCapture(); // a second start while running begins a fresh run

    frameTime.start();
    m_skipReported = false;
    m_paused = false;
    config = configuration;
    running = true;
    timerId = startTimer(captureIntervalMs(config->fps), Qt::PreciseTimer);

    const QRect selection = config->selection ? *config->selection : QRect();
    const QRect area = config->grabber ? captureArea(selection, config->grabber->screens()) : QRect();
    captureX = area.x();
    captureY = area.y();
    captureWidth = area.width();
    captureHeight = area.height();
    if (area.isEmpty())
        FrameConsole::instance().report(StageEvent::failed(outsideTheScreenLine(selection, "nothing will be captured")));

    if (config->sink)
        config->sink->startRun(config);
}

void ImageRecorder::SLOT_stopCapture()
{
    if (!running)
        return;
    if (config && config->sink)
        config->sink->endRun();
    running = false;
    m_paused = false;
    if (timerId != 0)
        killTimer(timerId);
    timerId = 0;
}

void ImageRecorder::setPaused(bool paused)
{
    if (!running || paused == m_paused)
        return;
    m_paused = paused;
    if (paused) {
        killTimer(timerId);
        timerId = 0;
        return;
    }
    // The rate line after a pause measures from the resume, not across the pause.
    frameTime.restart();
    timerId = startTimer(captureIntervalMs(config->fps), Qt::PreciseTimer);
}

void ImageRecorder::timerEvent(QTimerEvent *)
{
    if (!running || m_paused || captureWidth <= 0 || captureHeight <= 0 || !config->grabber)
        return;

    if (config->sink && !config->sink->hasRoom()) {
        if (!m_skipReported) {
            m_skipReported = true;
            FrameConsole::instance().report(StageEvent::notice(
                "Capture slower than the target rate: frames are still being stored or written, "
                "so grabs are skipped until there is room (no grabbed frame is lost)"));
        }
        return;
    }

    CapturedFrame frame;
    frame.grabTimeMs = monotonicMs();
    frame.image = config->grabber->grab(QRect(captureX, captureY, captureWidth, captureHeight), config->recordCursor);
    if (frame.image.isNull())
        return; // nothing to grab yet (a portal's stream before its first frame)
    if (config->clicks) {
        const qreal ratio = frame.image.devicePixelRatio();
        config->clicks->drawInto(frame.image, QPoint(qRound(captureX * ratio), qRound(captureY * ratio)), frame.grabTimeMs);
    }
    frame.changes = BandMap::compare(frame.image, m_previous);
    frame.number = ++m_frameNumber;
    m_previous = frame.image;
    if (config->sink)
        config->sink->takeFrame(frame);

    const float rate = 1000.0f / float(frameTime.elapsed());
    std::ostringstream line;
    line << "Captures/s " << rate;
    FrameConsole::instance().print(line.str());
    ++frameCount;
    frameTime.restart();
    Q_EMIT SIG_frameCaptured(frameCount);
}
