#include "frameencoder.h"

#include "bandedpng.h"

#include <QImage>

QByteArray encodeFrame(const QImage &image)
{
    QByteArray frame;
    if (!BandedPngEncoder().appendFrame(frame, image, BandMap::allChanged(image.height())))
        return {};
    return frame;
}
