#include "grabberchoice.h"

#include <cmath>

GrabberChoice chooseGrabber(const QString &option, const QString &sessionType, const QString &waylandDisplay)
{
    if (option == QLatin1String("portal"))
        return {GrabberKind::Portal, QStringLiteral("--grabber portal")};
    if (option == QLatin1String("x11"))
        return {GrabberKind::X11, QStringLiteral("--grabber x11")};
    if (sessionType.compare(QLatin1String("wayland"), Qt::CaseInsensitive) == 0)
        return {GrabberKind::Portal, QStringLiteral("Wayland session: XDG_SESSION_TYPE=%1").arg(sessionType)};
    if (!waylandDisplay.isEmpty())
        return {GrabberKind::Portal, QStringLiteral("Wayland session: WAYLAND_DISPLAY=%1").arg(waylandDisplay)};
    return {GrabberKind::X11, QStringLiteral("no Wayland session")};
}

QString grabberLine(const GrabberChoice &choice)
{
    return QStringLiteral("Grabber: %1 (%2)")
        .arg(choice.kind == GrabberKind::Portal ? QStringLiteral("portal") : QStringLiteral("x11"), choice.reason);
}

QRect streamArea(const QRect &area, const QRect &monitor, const QSize &streamSize)
{
    if (area.isEmpty() || monitor.isEmpty() || streamSize.isEmpty())
        return {};
    const double sx = double(streamSize.width()) / monitor.width();
    const double sy = double(streamSize.height()) / monitor.height();
    const QPoint offset = area.topLeft() - monitor.topLeft();
    const QRect scaled(int(std::lround(offset.x() * sx)), int(std::lround(offset.y() * sy)),
                       int(std::lround(area.width() * sx)), int(std::lround(area.height() * sy)));
    return scaled & QRect(QPoint(0, 0), streamSize);
}
