#pragma once

#include <QImage>
#include <QRect>

// Grabbing the X root window through the MIT shared-memory extension: the X server writes the
// pixels straight into a segment this process has mapped, instead of copying them into a new
// pixmap and sending them over the socket. Only on the xcb platform, with a 24-bit TrueColor
// root visual in 32-bit pixels (the common case); anything else reports unavailable so that the
// caller grabs through QScreen::grabWindow, which handles every format.
//
// Uses Qt's own X connection, so a grab sees everything Qt has drawn before it. Call from the
// GUI thread, like QScreen::grabWindow.

// Whether the extension is present and the root visual is one the grab can convert.
[[nodiscard]] bool xcbShmGrabAvailable();

// Grabs `rootArea` (device pixels of the root window) into a Format_RGB32 image with opaque
// alpha, the same pixels QScreen::grabWindow returns. A null image when the grab is unavailable
// or failed (for example an area reaching outside the root window).
[[nodiscard]] QImage xcbShmGrab(const QRect &rootArea);
