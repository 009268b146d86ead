#include "imagerecorder.h"

#include "capturearea.h"
#include "clickwatcher.h"
#include "configstructure.h"
#include "frameconsole.h"
#include "framesink.h"
#include "grabber.h"
#include "monotonicclock.h"
#include "windowtracker.h"

#include <QGuiApplication>
#include <QScreen>
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
    m_runSize = QSize();
    m_fitter = FrameFitter();
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
    if (area.isEmpty() && !config->window)
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
    if (!running || m_paused || !config->grabber || (!config->window && (captureWidth <= 0 || captureHeight <= 0)))
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
    QPoint origin; // the frame's top left on the screen, in its pixels
    frame.image = config->window
        ? grabFollowedWindow(origin)
        : config->grabber->grab(QRect(captureX, captureY, captureWidth, captureHeight), config->recordCursor);
    if (frame.image.isNull())
        return; // nothing to grab yet (a portal's stream before its first frame), or the window is gone
    if (config->clicks) {
        const qreal ratio = frame.image.devicePixelRatio();
        if (!config->window)
            origin = QPoint(qRound(captureX * ratio), qRound(captureY * ratio));
        // Before a resized window is fitted: the rings scale with it.
        config->clicks->drawInto(frame.image, origin, frame.grabTimeMs);
    }
    if (m_runSize.isEmpty())
        m_runSize = frame.image.size();
    else if (frame.image.size() != m_runSize)
        frame.image = m_fitter.fit(frame.image, m_runSize);
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

QImage ImageRecorder::grabFollowedWindow(QPoint &origin)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const qreal ratio = screen ? screen->devicePixelRatio() : 1.0;
    // Grabbed where it was seen last, then asked where it is now (one round trip): a window that
    // moved or changed size in between is grabbed again at its new place. One that keeps moving
    // (dragged) keeps the last try.
    QRect area = config->window->window().area;
    QImage image;
    for (int attempt = 0; attempt < 3; ++attempt) {
        image = grabWithBlackOutside(*config->grabber, QRect(area.topLeft() / ratio, area.size() / ratio),
                                     config->recordCursor);
        origin = area.topLeft();
        const std::optional<QRect> now = config->window->area();
        if (!now)
            return {}; // gone: the tracker has said so, and the run is stopped
        if (*now == area)
            break;
        area = *now;
    }
    return image;
}
