#pragma once

#include "windowframe.h"

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QRect>

struct ConfigStructure;

// The capture clock: while running, grabs the selected area at the configured rate from the
// config's grabber, compares it with the frame before in bands, hands it to the config's sink
// (the session) and prints the achieved rate. A tick whose sink has no room for a frame grabs
// nothing (said once per run), so a slow stage slows the capture down instead of making the GUI
// thread wait. When the config names a window, the area is that window's at each tick, and the
// run's frames keep the size of its first (a window that changes size is scaled to fit).
class ImageRecorder : public QObject
{
    Q_OBJECT
public:
    explicit ImageRecorder(QObject *parent = nullptr);

    int frameCount = 0; // frames grabbed since the recorder was made; never reset

    [[nodiscard]] bool isRunning() const { return running; }
    // While paused a running recorder's clock stands still: no tick, no grab. A new run starts
    // unpaused.
    void setPaused(bool paused);
    [[nodiscard]] bool isPaused() const { return m_paused; }

Q_SIGNALS:
    // Part of the recorder's interface since its first version; nothing emits it any more:
    // frames go to the sink.
    void SIG_imageCaptured(QImage);
    // Emitted after every frame has gone to the sink.
    void SIG_frameCaptured(int frameCount);

public Q_SLOTS:
    void SLOT_startCapture(const ConfigStructure *config);
    void SLOT_stopCapture();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // `origin` is set to the grabbed area's top left, in screen pixels.
    [[nodiscard]] QImage grabFollowedWindow(QPoint &origin);

    const ConfigStructure *config = nullptr;
    bool running = false;
    int timerId = 0;
    int captureX = 0;
    int captureY = 0;
    int captureWidth = 0;
    int captureHeight = 0;
    QElapsedTimer frameTime;

    QImage m_previous;           // the frame grabbed last, for the next frame's band map
    qint64 m_frameNumber = -1;   // number of the frame grabbed last
    bool m_skipReported = false; // this run has said that it skips grabs
    QSize m_runSize;             // the size of this run's first frame, which every frame keeps
    FrameFitter m_fitter;        // frames of another size into that size
    bool m_paused = false;
};
