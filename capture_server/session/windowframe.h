#pragma once

#include "boxscaler.h"

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

// fitIntoFrame for a run of frames: only the rows fed by source bands that changed since the
// frame before are scaled again, the rest are the last result's (a still window costs a compare).
class FrameFitter
{
public:
    [[nodiscard]] QImage fit(const QImage &image, const QSize &frame);

private:
    QImage m_source; // the image fitted last
    QImage m_fitted; // ... and the result
    QRect m_place;   // where it went in the frame
    BoxScaler m_scaler;
};

// The pixels of `area` (logical desktop pixels) from `grabber`, black wherever the area lies off
// the desktop: a window pushed partly or wholly off the screen still gives a whole frame.
[[nodiscard]] QImage grabWithBlackOutside(Grabber &grabber, const QRect &area, bool withCursor);
