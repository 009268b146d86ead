#pragma once

#include <QObject>

struct ConfigStructure;
class QPixmap;

// Where captured frames go. The recorder calls startHandling() once per run, handleImage()
// for every frame (the frame is valid only during the call) and stopHandling() at the end.
class ImageHandler : public QObject
{
public:
    using QObject::QObject;
    ~ImageHandler() override = default;

    virtual void startHandling(const ConfigStructure *config) = 0;
    virtual int handleImage(const QPixmap &frame) = 0;
    virtual void stopHandling() = 0;
};
