#pragma once

#include <QImage>
#include <QPoint>

// The mouse pointer as the X server shows it, in device pixels.
struct CursorImage
{
    QImage image;    // Format_ARGB32_Premultiplied: the pointer's shape
    QPoint position; // where the pointer points, in root window (device) pixels
    QPoint hotSpot;  // the pixel of `image` that sits at `position`
};

// `frame` with `cursor` blended over it (source over, premultiplied alpha). The frame shows the
// device pixels from `frameOrigin` (root window coordinates) on; the parts of the cursor outside
// it are left out. A frame that is not Format_RGB32 is converted to it; its device pixel ratio
// is kept. Without a cursor image the frame comes back unchanged.
[[nodiscard]] QImage drawCursor(QImage frame, const QPoint &frameOrigin, const CursorImage &cursor);

// The pointer's current shape and position through the X Fixes extension, on Qt's own X
// connection (call from the GUI thread). A null image when there is nothing to draw: not on
// X11, no extension or a failed request; the first such failure prints one line saying why.
[[nodiscard]] CursorImage grabCursor();
