#include "windowframe.h"

#include "boxscaler.h"
#include "capturearea.h"
#include "grabber.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cstring>

QRect fittedRect(const QSize &content, const QSize &frame)
{
    if (content.isEmpty() || frame.isEmpty())
        return {};
    const QSize size = content.scaled(frame, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    return QRect(QPoint((frame.width() - size.width()) / 2, (frame.height() - size.height()) / 2), size);
}

QImage fitIntoFrame(const QImage &image, const QSize &frame)
{
    QImage fitted(frame, QImage::Format_RGB32);
    if (fitted.isNull())
        return {};
    fitted.fill(0xff000000u);
    fitted.setDevicePixelRatio(image.devicePixelRatio());
    const QRect place = fittedRect(image.size(), frame);
    if (place.isEmpty())
        return fitted;
    const QImage source = image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    // The scaler writes its rows straight into the frame, at the fitted place.
    const BoxScaler scaler(source.size(), place.size());
    uchar *origin = fitted.bits() + qsizetype(place.y()) * fitted.bytesPerLine() + qsizetype(place.x()) * 4;
    scaler.scaleRows(source, origin, fitted.bytesPerLine(), 0, place.height());
    return fitted;
}

QImage grabWithBlackOutside(Grabber &grabber, const QRect &area, bool withCursor)
{
    const QRect inside = area & desktopGeometry(grabber.screens());
    if (inside == area)
        return grabber.grab(area, withCursor);
    const QScreen *screen = QGuiApplication::primaryScreen();
    const qreal ratio = screen ? screen->devicePixelRatio() : 1.0;
    QImage frame(area.size() * ratio, QImage::Format_RGB32);
    if (frame.isNull())
        return {};
    frame.fill(0xff000000u);
    frame.setDevicePixelRatio(ratio);
    if (inside.isEmpty())
        return frame;
    QImage part = grabber.grab(inside, withCursor);
    if (part.isNull())
        return {};
    if (part.format() != QImage::Format_RGB32)
        part = part.convertToFormat(QImage::Format_RGB32);
    const QPoint at = (inside.topLeft() - area.topLeft()) * ratio;
    const int width = std::min(part.width(), frame.width() - at.x());
    const int height = std::min(part.height(), frame.height() - at.y());
    for (int y = 0; y < height; ++y)
        std::memcpy(frame.scanLine(at.y() + y) + qsizetype(at.x()) * 4, part.constScanLine(y), size_t(width) * 4);
    return frame;
}
