#include "screengrabber.h"

#include <QScreen>

QPixmap grabScreenArea(QScreen *screen, const QRect &area)
{
    if (!screen || area.isEmpty())
        return {};
    // The area is relative to the screen's own top-left corner.
    return screen->grabWindow(0, area.x() - screen->geometry().x(), area.y() - screen->geometry().y(),
                              area.width(), area.height());
}
