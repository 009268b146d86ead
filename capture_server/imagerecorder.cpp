#include "imagerecorder.h"

#include "capturearea.h"
#include "configstructure.h"
#include "frameconsole.h"
#include "glstreamrenderer.h"
#include "imagehandler.h"
#include "portalgrabber.h"
#include "screengrabber.h"

#include <QPixmap>
#include <QScreen>
#include <QTimerEvent>

#include <chrono>
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
    config = configuration;
    running = true;
    timerId = startTimer(captureIntervalMs(config->fps), Qt::PreciseTimer);

    const QRect selection = config->selection ? *config->selection : QRect();
    const QRect area = captureArea(selection, grabbableScreens(config->portal, config->desktop)); // every monitor
    captureX = area.x();
    captureY = area.y();
    captureWidth = area.width();
    captureHeight = area.height();
    if (area.isEmpty()) {
        FrameConsole::instance().report(StageEvent::failed(outsideTheScreenLine(selection, "nothing will be captured")));
    }

    if (config->handler)
        config->handler->startHandling(config);
    if (config->webView)
        config->webView->startHandling(config);
}

void ImageRecorder::SLOT_stopCapture()
{
    if (!running)
        return;
    if (config && config->handler)
        config->handler->stopHandling();
    if (config && config->webView)
        config->webView->stopHandling();
    running = false;
    if (timerId != 0)
        killTimer(timerId);
    timerId = 0;
}

void ImageRecorder::timerEvent(QTimerEvent *)
{
    if (!running || captureWidth <= 0 || captureHeight <= 0)
        return;

    if ((config->renderer && !config->renderer->canStore()) || (config->handler && !config->handler->hasRoom())) {
        if (!m_skipReported) {
            m_skipReported = true;
            FrameConsole::instance().report(StageEvent::notice(
                "Capture slower than the target rate: frames are still being stored or written, "
                "so grabs are skipped until there is room (no grabbed frame is lost)"));
        }
        return;
    }

    CapturedFrame frame;
    frame.grabTimeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now().time_since_epoch())
                           .count();
    const QRect area(captureX, captureY, captureWidth, captureHeight);
    if (config->portal) {
        // The stream's newest frame; a still screen sends none, so the last one repeats.
        frame.image = config->portal->grabArea(area, config->desktop ? config->desktop->geometry() : QRect());
        if (frame.image.isNull())
            return; // no frame has come yet
    } else {
        frame.image = grabScreenArea(config->desktop, area, config->recordCursor).toImage();
    }
    frame.changes = BandMap::compare(frame.image, m_previous);
    frame.number = ++m_frameNumber;
    m_grabTimes.push_back(frame.grabTimeMs);
    m_previous = frame.image;
    if (config->handler && config->handler->sharesJpegBands())
        frame.jpegBands = std::make_shared<JpegBandsSlot>();
    const auto wantsHistoryBands = [](const ImageHandler *stage) { return stage && stage->wantsHistoryJpegBands(); };
    if ((wantsHistoryBands(config->handler) || wantsHistoryBands(config->webView)) && config->renderer
        && config->renderer->history())
        frame.historyBands = std::make_shared<JpegBandsSlot>();
    if (config->renderer)
        config->renderer->updateAndStoreTexture(frame);
    if (config->handler)
        config->handler->handleFrame(frame);
    if (config->webView)
        config->webView->handleFrame(frame);

    const float rate = 1000.0f / float(frameTime.elapsed());
    std::ostringstream line;
    line << "Captures/s " << rate;
    FrameConsole::instance().print(line.str());
    ++frameCount;
    frameTime.restart();
    Q_EMIT SIG_frameCaptured(frameCount);
}
