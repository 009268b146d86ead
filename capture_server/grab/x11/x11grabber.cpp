#include "x11grabber.h"

#include "screengrabber.h"

#include <QGuiApplication>
#include <QScreen>

X11Grabber::X11Grabber(QScreen *desktop, QObject *parent)
    : Grabber(parent)
    , m_desktop(desktop ? desktop : QGuiApplication::primaryScreen())
{
}

QList<QRect> X11Grabber::screens() const
{
    return desktopScreens(m_desktop);
}

QImage X11Grabber::grab(const QRect &area, bool withCursor)
{
    return grabScreenArea(m_desktop, area, withCursor);
}

QImage X11Grabber::snapshot()
{
    return m_desktop ? grabScreenArea(m_desktop, m_desktop->virtualGeometry()) : QImage();
}
