#include "screengrabber.h"

#include "cursorgrabber.h"

#ifdef DESKCAST_HAVE_XCB_SHM
#include "shmgrabber.h"
#endif

#include <QPixmap>
#include <QScreen>

#include <utility>

namespace {

// The screen whose mapping to device pixels an area of the desktop takes: the one holding its
// top-left corner, else the one it overlaps most, else `screen` itself.
QScreen *screenFor(QScreen *screen, const QRect &area)
{
    QScreen *best = screen;
    qint64 bestOverlap = 0;
    for (QScreen *candidate : screen->virtualSiblings()) {
        const QRect geometry = candidate->geometry();
        if (geometry.contains(area.topLeft()))
            return candidate;
        const QRect overlap = geometry & area;
        const qint64 size = qint64(overlap.width()) * overlap.height();
        if (size > bestOverlap) {
            bestOverlap = size;
            best = candidate;
        }
    }
    return best;
}

// QScreen::grabWindow's mapping to device pixels: offset and size within the screen are scaled
// and rounded separately, and the screen's top-left corner is the same in logical and device
// coordinates.
QRect deviceArea(QScreen *screen, const QRect &area)
{
    const qreal factor = screen->devicePixelRatio();
    const QPoint origin = screen->geometry().topLeft();
    return QRect(origin + (area.topLeft() - origin) * factor, area.size() * factor);
}

} // namespace

QImage grabScreenArea(QScreen *desktop, const QRect &area, bool withCursor)
{
    if (!desktop || area.isEmpty())
        return {};
    QScreen *screen = screenFor(desktop, area);
    QImage image = grabScreenAreaSharedMemory(screen, area);
    if (image.isNull()) {
        // The area is relative to the screen's own top-left corner; on X11 it may reach into the
        // other screens of the same root window.
        image = screen->grabWindow(0, area.x() - screen->geometry().x(), area.y() - screen->geometry().y(),
                                   area.width(), area.height())
                    .toImage();
        if (image.isNull())
            return image;
    }
    if (withCursor)
        image = drawCursor(std::move(image), deviceArea(screen, area).topLeft(), grabCursor());
    return image;
}

QList<QRect> desktopScreens(QScreen *screen)
{
    QList<QRect> geometries;
    if (!screen)
        return geometries;
    for (const QScreen *sibling : screen->virtualSiblings())
        geometries.append(sibling->geometry());
    return geometries;
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
    screen = screenFor(screen, area);
    const qreal factor = screen->devicePixelRatio();
    QImage image = xcbShmGrab(deviceArea(screen, area));
    if (!image.isNull() && !qFuzzyCompare(factor, 1.0))
        image.setDevicePixelRatio(factor);
    return image;
#else
    Q_UNUSED(screen);
    Q_UNUSED(area);
    return {};
#endif
}
