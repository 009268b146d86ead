#pragma once

#include <QImage>
#include <QList>
#include <QObject>
#include <QRect>
#include <QString>

// Where a session's frames come from: the X server (X11Grabber) or the desktop's ScreenCast portal
// on Wayland (PortalGrabber). One is chosen at start-up (grabberchoice.h); nothing else asks which.
// Areas are in logical desktop pixels; images come back in device pixels, Format_RGB32.
// For the GUI thread.
class Grabber : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The screens a capture area is clipped to.
    [[nodiscard]] virtual QList<QRect> screens() const = 0;
    // The pixels of `area` now (or the newest the desktop has sent), with the pointer drawn in
    // when `withCursor` and this grabber draws it; a null image when there is nothing to grab yet.
    [[nodiscard]] virtual QImage grab(const QRect &area, bool withCursor) = 0;
    // The whole of screens() for the selection window, drawn at their place from the top-left of
    // their bounding rectangle; a null image (status() says why) when there is none.
    [[nodiscard]] virtual QImage snapshot() = 0;
    // Whether grab() draws the pointer when asked; false where the desktop draws it or not, as
    // chosen when the grabber started.
    [[nodiscard]] virtual bool drawsCursor() const { return true; }
    // Whether frames can be grabbed now; when not, status() says why or what it waits for.
    [[nodiscard]] virtual bool isReady() const { return true; }
    [[nodiscard]] virtual QString status() const { return {}; }
    // After a failure or an end: asks for frames again (a no-op where nothing can fail).
    virtual void retry() {}
    // Why clicks cannot be drawn into this grabber's frames ("Show clicks"), or empty when they can.
    [[nodiscard]] virtual QString clicksUnavailable() const { return {}; }
    // Whether an X window's place on the desktop is where this grabber finds its pixels, so a
    // window can be followed by tracking it (windowtracker.h).
    [[nodiscard]] virtual bool grabsX11Windows() const { return false; }

Q_SIGNALS:
    // Frames can be grabbed from now on.
    void ready();
    // Frames could not be had, or stopped coming while running; `line` says why.
    void failed(const QString &line);
    void ended(const QString &line);
};
