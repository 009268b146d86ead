#pragma once

#include <QObject>

class QDataStream;
class QIODevice;

// A source of images that arrive from outside the program (the viewer's TCP client).
// The source emits SIG_imageWritten() once the bytes of one whole image can be read
// from `stream`; the reader takes exactly one QImage from `stream` inside the emission
// and then calls reset() on `device`.
class IOImageHandler : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~IOImageHandler() override = default;

    QDataStream *stream = nullptr; // owned by the implementation
    QIODevice *device = nullptr;   // the device under `stream`; not owned

Q_SIGNALS:
    void SIG_imageWritten();

public Q_SLOTS:
    virtual void readImage() = 0;
    virtual void SLOT_reqNewImage() = 0;
};
