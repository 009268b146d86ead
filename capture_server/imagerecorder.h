#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QRect>

#include <vector>

struct ConfigStructure;

// The capture clock: while running, grabs the selected area at the configured rate, shows each
// frame in the preview, hands it to the handler and prints the achieved rate. A tick whose
// preview history or handler has no room for a frame grabs nothing (said once per run), so a
// slow stage slows the capture down instead of making the GUI thread wait.
class ImageRecorder : public QObject
{
    Q_OBJECT
public:
    explicit ImageRecorder(QObject *parent = nullptr);

    int frameCount = 0; // frames grabbed since the recorder was made; never reset

    [[nodiscard]] bool isRunning() const { return running; }
    // The area the current (or last) run grabs, after ordering and clipping to the screen.
    [[nodiscard]] QRect currentArea() const
    {
        return QRect(captureX, captureY, captureWidth, captureHeight);
    }
    // When frame `number` (0 for the first since the recorder was made) was grabbed, in ms of a
    // monotonic clock; -1 for a frame not grabbed.
    [[nodiscard]] qint64 grabTimeMs(qint64 number) const
    {
        return number >= 0 && number < qint64(m_grabTimes.size()) ? m_grabTimes[size_t(number)] : -1;
    }

Q_SIGNALS:
    void SIG_imageCaptured(QImage);
    // Emitted after every frame has gone to the preview and the handler.
    void SIG_frameCaptured(int frameCount);

public Q_SLOTS:
    void SLOT_startCapture(const ConfigStructure *config);
    void SLOT_stopCapture();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    const ConfigStructure *config = nullptr;
    bool running = false;
    int timerId = 0;
    int captureX = 0;
    int captureY = 0;
    int captureWidth = 0;
    int captureHeight = 0;
    QElapsedTimer frameTime;

    QImage m_previous;          // the frame grabbed last, for the next frame's band map
    qint64 m_frameNumber = -1;  // number of the frame grabbed last
    bool m_skipReported = false; // this run has said that it skips grabs
    std::vector<qint64> m_grabTimes; // grab time of every frame, by number
};
