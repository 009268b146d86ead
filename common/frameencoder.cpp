#include "frameencoder.h"

#include "pngwriter.h"

#include <QImage>
#include <QtEndian>

namespace {
constexpr qsizetype LengthSize = 8;
constexpr qsizetype MarkerSize = 4;
} // namespace

QByteArray encodeFrame(const QImage &image)
{
    QByteArray frame(LengthSize + MarkerSize, '\0');
    qToBigEndian<qint32>(image.isNull() ? 0 : 1, frame.data() + LengthSize);
    if (!image.isNull() && !appendPng(frame, image))
        return {};
    qToBigEndian<qint64>(qint64(frame.size() - LengthSize), frame.data());
    return frame;
}
