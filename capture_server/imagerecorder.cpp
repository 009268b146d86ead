#include "imagerecorder.h"

#include "capturearea.h"
#include "configstructure.h"
#include "glstreamrenderer.h"
#include "imagehandler.h"
#include "screengrabber.h"

#include <QPixmap>
#include <QScreen>
#include <QTimerEvent>

#include <iostream>

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
    config = configuration;
    running = true;
    timerId = startTimer(captureIntervalMs(config->fps), Qt::PreciseTimer);

    const QRect selection = config->selection ? *config->selection : QRect();
    const QRect area = captureArea(selection, desktopScreens(config->desktop)); // every monitor
    captureX = area.x();
    captureY = area.y();
    captureWidth = area.width();
    captureHeight = area.height();
    if (area.isEmpty()) {
        std::cout << "Selected area " << selection.x() << "," << selection.y() << " "
                  << selection.width() << "x" << selection.height()
                  << " lies outside the screen: nothing will be captured" << std::endl;
    }

    if (config->handler)
        config->handler->startHandling(config);
}

void ImageRecorder::SLOT_stopCapture()
{
    if (!running)
        return;
    if (config && config->handler)
        config->handler->stopHandling();
    running = false;
    if (timerId != 0)
        killTimer(timerId);
    timerId = 0;
}

void ImageRecorder::timerEvent(QTimerEvent *)
{
    if (!running || captureWidth <= 0 || captureHeight <= 0)
        return;

    const QPixmap frame =
        grabScreenArea(config->desktop, QRect(captureX, captureY, captureWidth, captureHeight), config->recordCursor);
    if (config->renderer)
        config->renderer->updateAndStoreTexture(frame);
    if (config->handler)
        config->handler->handleImage(frame);

    const float rate = 1000.0f / float(frameTime.elapsed());
    std::cout << "Captures/s " << rate << std::endl;
    ++frameCount;
    frameTime.restart();
    Q_EMIT SIG_frameCaptured(frameCount);
}
