#pragma once

#include <QImage>
#include <QPixmap>
#include <QRect>

class QScreen;

// Grabs `area` (logical pixels of `screen`, inside its geometry) into a pixmap in device pixels
// whose device pixel ratio is the screen's, like QScreen::grabWindow. On X11 the pixels come
// through the shared-memory extension when it is usable, otherwise (and whenever that grab
// fails) from QScreen::grabWindow; both give the same pixels.
[[nodiscard]] QPixmap grabScreenArea(QScreen *screen, const QRect &area);

// Whether grabScreenArea takes the shared-memory path on this platform and display.
[[nodiscard]] bool sharedMemoryGrabAvailable();

// The shared-memory path alone, as grabScreenArea uses it: a Format_RGB32 image with the same
// size, device pixel ratio and pixels as QScreen::grabWindow gives, or a null image when the
// path is unavailable or the grab failed.
[[nodiscard]] QImage grabScreenAreaSharedMemory(QScreen *screen, const QRect &area);
