#pragma once

#include <QObject>

class QDataStream;
class QImage;
class QIODevice;

// A source of images that arrive from outside the program (the viewer's TCP client).
// The source emits SIG_imageWritten() once one whole image can be taken; the reader takes it
// with takeImage() inside the emission. A source that keeps the default takeImage() has the
// bytes of the image buffered on `device`: the default reads exactly one QImage from `stream`
// and then calls reset() on `device`. A source that decodes its images itself hands over the
// finished image instead and may leave `stream` null.
class IOImageHandler : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~IOImageHandler() override = default;

    // The image announced by the last SIG_imageWritten(); false when it could not be read (the
    // source reports why).
    [[nodiscard]] virtual bool takeImage(QImage &image);

    // The source's interface has always named these two; the viewer's client decodes its images
    // itself and leaves them null, a source that reads from a device sets them.
    QDataStream *stream = nullptr; // owned by the implementation
    QIODevice *device = nullptr;   // the device under `stream`; not owned

Q_SIGNALS:
    void SIG_imageWritten();

public Q_SLOTS:
    virtual void readImage() = 0;
    virtual void SLOT_reqNewImage() = 0;
};
