#pragma once

#include <QImage>
#include <QRect>
#include <QSize>

class Grabber;

// Frames of a followed window: the window may lie partly off the screen, and may change size
// while the frames of a run must keep one size.

// Where an image of `content` size goes in a frame of `frame` size: scaled to fit, keeping its
// aspect, and centred. A content of the frame's size fills it exactly.
[[nodiscard]] QRect fittedRect(const QSize &content, const QSize &frame);

// `image` scaled to fit a `frame` sized Format_RGB32 image (see fittedRect), the rest black.
[[nodiscard]] QImage fitIntoFrame(const QImage &image, const QSize &frame);

// The pixels of `area` (logical desktop pixels) from `grabber`, black wherever the area lies off
// the desktop: a window pushed partly or wholly off the screen still gives a whole frame.
[[nodiscard]] QImage grabWithBlackOutside(Grabber &grabber, const QRect &area, bool withCursor);
