#include "pngwriter.h"

#include "bandedpng.h"

bool appendPng(QByteArray &out, const QImage &image)
{
    if (image.isNull())
        return false;
    const qsizetype start = out.size();
    const QByteArray png = BandedPngEncoder().encode(image, BandMap::allChanged(image.height()));
    if (png.isEmpty())
        return false;
    if (start == 0)
        out = png;
    else
        out.append(png);
    return true;
}

QByteArray writePng(const QImage &image)
{
    return BandedPngEncoder().encode(image, BandMap::allChanged(image.height()));
}
