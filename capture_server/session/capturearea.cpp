#include "capturearea.h"

#include <algorithm>

int captureIntervalMs(int fps)
{
    if (fps <= 0)
        return 1000;
    return int(1.0 / fps * 1000.0);
}

QRect captureArea(const QRect &selection, const QRect &screen)
{
    const int left = std::min(selection.left(), selection.right());
    const int right = std::max(selection.left(), selection.right());
    const int top = std::min(selection.top(), selection.bottom());
    const int bottom = std::max(selection.top(), selection.bottom());
    return QRect(QPoint(left, top), QPoint(right, bottom)).intersected(screen);
}

QRect desktopGeometry(const QList<QRect> &screens)
{
    QRect desktop;
    for (const QRect &screen : screens)
        desktop |= screen;
    return desktop;
}

QRect captureArea(const QRect &selection, const QList<QRect> &screens)
{
    return captureArea(selection, desktopGeometry(screens));
}

std::string outsideTheScreenLine(const QRect &selection, const std::string &consequence)
{
    return "Selected area " + std::to_string(selection.x()) + "," + std::to_string(selection.y()) + " "
        + std::to_string(selection.width()) + "x" + std::to_string(selection.height())
        + " lies outside the screen: " + consequence;
}
