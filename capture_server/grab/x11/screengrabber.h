#pragma once

#include <QImage>
#include <QList>
#include <QRect>

class QScreen;

// Grabs `area` (logical desktop pixels, on any of the screens of `screen`'s desktop or spanning
// several) into an image in device pixels whose device pixel ratio is that of the screen holding
// the area's top-left corner (else the one it overlaps most), like that screen's
// QScreen::grabWindow. On X11 the pixels come through the shared-memory extension when it is
// usable, otherwise (and whenever that grab fails) from QScreen::grabWindow; both give the same
// pixels. With `withCursor` the mouse pointer is drawn in (see cursorgrabber.h).
[[nodiscard]] QImage grabScreenArea(QScreen *screen, const QRect &area, bool withCursor = false);

// The geometries of every screen on `screen`'s desktop (its virtual siblings), for captureArea.
[[nodiscard]] QList<QRect> desktopScreens(QScreen *screen);

// Whether grabScreenArea takes the shared-memory path on this platform and display.
[[nodiscard]] bool sharedMemoryGrabAvailable();

// The shared-memory path alone, as grabScreenArea uses it: a Format_RGB32 image with the same
// size, device pixel ratio and pixels as QScreen::grabWindow gives, or a null image when the
// path is unavailable or the grab failed.
[[nodiscard]] QImage grabScreenAreaSharedMemory(QScreen *screen, const QRect &area);
