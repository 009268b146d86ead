#pragma once

#include "capturedframe.h"

#include <QObject>
#include <QPixmap>

struct ConfigStructure;

// Where captured frames go. The session calls startHandling() once per run, handleFrame() for
// every frame and stopHandling() at the end; hasRoom() is asked before each grab, and a handler
// that cannot take a frame without waiting makes the recorder skip that tick's grab (the capture
// slows down; no grabbed frame is dropped or reordered).
class ImageHandler : public QObject
{
public:
    using QObject::QObject;
    ~ImageHandler() override = default;

    virtual void startHandling(const ConfigStructure *config) = 0;
    // The plain entry point for a single pixmap (valid only during the call), for callers other
    // than the recorder: it becomes a frame of its own (every band changed, a number that follows
    // no other, grabbed now), handed to handleFrame() once there is room (waitForRoom()).
    virtual int handleImage(const QPixmap &frame);
    virtual void stopHandling() = 0;

    // A grabbed frame with its band map.
    virtual void handleFrame(const CapturedFrame &frame) = 0;
    [[nodiscard]] virtual bool hasRoom() const { return true; }

protected:
    // Returns once a frame can be taken without being queued past the bound: a caller of
    // handleImage() waits instead of skipping, as the recorder would.
    virtual void waitForRoom() {}

private:
    qint64 m_directNumber = -2; // never the successor of the frame before: its bands are compared anew
};
