#pragma once

#include "capturedframe.h"

#include <QObject>
#include <QPixmap>

struct ConfigStructure;

// Where captured frames go. The recorder calls startHandling() once per run, handleFrame() for
// every frame and stopHandling() at the end; hasRoom() is asked before each grab, and a handler
// that cannot take a frame without waiting makes the recorder skip that tick's grab (the capture
// slows down; no grabbed frame is dropped or reordered). handleImage() is the plain entry point
// for a single pixmap (valid only during the call).
class ImageHandler : public QObject
{
public:
    using QObject::QObject;
    ~ImageHandler() override = default;

    virtual void startHandling(const ConfigStructure *config) = 0;
    virtual int handleImage(const QPixmap &frame) = 0;
    virtual void stopHandling() = 0;

    // A grabbed frame with its band map; by default it goes through handleImage().
    virtual void handleFrame(const CapturedFrame &frame) { handleImage(QPixmap::fromImage(frame.image)); }
    [[nodiscard]] virtual bool hasRoom() const { return true; }
    // Whether handleFrame() codes each frame as banded JPEG and fills the frame's jpegBands slot
    // with that coding (every frame it is given, with nothing when it could not code it), so the
    // history can keep those bands instead of coding them again.
    [[nodiscard]] virtual bool sharesJpegBands() const { return false; }
    // Whether the handler takes the history's JPEG coding of each frame (CapturedFrame::historyBands).
    [[nodiscard]] virtual bool wantsHistoryJpegBands() const { return false; }
};
