#pragma once

#include "grabber.h"

class QScreen;

// Grabs from the X server at each call: through the shared-memory extension where it is usable,
// else QScreen::grabWindow (screengrabber.h), the pointer drawn in by us. Any part of the desktop,
// across monitors.
class X11Grabber : public Grabber
{
    Q_OBJECT
public:
    // `desktop`: any screen of the desktop (its siblings are the rest); the primary one when null.
    explicit X11Grabber(QScreen *desktop = nullptr, QObject *parent = nullptr);

    [[nodiscard]] QList<QRect> screens() const override;
    [[nodiscard]] QImage grab(const QRect &area, bool withCursor) override;
    [[nodiscard]] QImage snapshot() override;
    [[nodiscard]] bool grabsX11Windows() const override { return true; }

private:
    QScreen *m_desktop = nullptr;
};
