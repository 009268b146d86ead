#include "pixellayout.h"

QImage withRgb32Pixels(const QImage &image, bool premultipliedReads)
{
    const QImage::Format format = image.format();
    if (image.isNull() || format == QImage::Format_RGB32 || format == QImage::Format_ARGB32
        || (premultipliedReads && format == QImage::Format_ARGB32_Premultiplied))
        return image;
    return image.convertToFormat(QImage::Format_RGB32);
}
