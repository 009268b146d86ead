#include "screengrabber.h"

#ifdef DESKCAST_HAVE_XCB_SHM
#include "shmgrabber.h"
#endif

#include <QScreen>

#include <utility>

QPixmap grabScreenArea(QScreen *screen, const QRect &area)
{
    if (!screen || area.isEmpty())
        return {};
    QImage image = grabScreenAreaSharedMemory(screen, area);
    if (!image.isNull())
        return QPixmap::fromImage(std::move(image)); // adopts the image's buffer, no copy
    // The area is relative to the screen's own top-left corner.
    return screen->grabWindow(0, area.x() - screen->geometry().x(), area.y() - screen->geometry().y(),
                              area.width(), area.height());
}

bool sharedMemoryGrabAvailable()
{
#ifdef DESKCAST_HAVE_XCB_SHM
    return xcbShmGrabAvailable();
#else
    return false;
#endif
}

QImage grabScreenAreaSharedMemory(QScreen *screen, const QRect &area)
{
#ifdef DESKCAST_HAVE_XCB_SHM
    if (!screen || area.isEmpty())
        return {};
    // QScreen::grabWindow's mapping to device pixels: offset and size within the screen are
    // scaled and rounded separately, and the screen's top-left corner is the same in logical
    // and device coordinates.
    const qreal factor = screen->devicePixelRatio();
    const QPoint origin = screen->geometry().topLeft();
    const QPoint offset = (area.topLeft() - origin) * factor;
    const QSize size = area.size() * factor;
    QImage image = xcbShmGrab(QRect(origin + offset, size));
    if (!image.isNull() && !qFuzzyCompare(factor, 1.0))
        image.setDevicePixelRatio(factor);
    return image;
#else
    Q_UNUSED(screen);
    Q_UNUSED(area);
    return {};
#endif
}
