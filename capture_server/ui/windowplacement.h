#pragma once

#include <QList>
#include <QRect>
#include <QSize>

#include <optional>

// Where a top-level window whose frame is now `frame` can go on the screen's `available`
// geometry without covering the capture `area` (all in logical pixels).
//
// A frame that already keeps clear of the area (and lies on the available geometry) stays as it
// is. Otherwise the free parts of the screen are the bands left of, right of, above and below
// the area; the frame goes into the largest band that holds it whole, as near to where it is
// as the band allows. When no band holds it whole, it goes into the largest band that holds
// `minimum` (the smallest frame the window can have), shrunk to the band. No value when even
// that fails, for instance when the area covers the screen.
[[nodiscard]] std::optional<QRect> placeOutside(const QRect &available, const QRect &frame, const QSize &minimum,
                                                const QRect &area);

// The same on a desktop of several monitors (`available`: each one's available geometry). The
// capture area may lie on any of them or span several. A frame clear of the area and wholly on
// one monitor stays. Otherwise a monitor where the frame fits whole is preferred to shrinking it;
// among those, the monitor the frame mostly covers comes first, then the others in order. On each
// monitor the rule above applies to the part of the area on it.
[[nodiscard]] std::optional<QRect> placeOutside(const QList<QRect> &available, const QRect &frame,
                                                const QSize &minimum, const QRect &area);

// Size of a preview that shows `preferred` (its best size and its aspect ratio) within `room`:
// `preferred` when it fits, otherwise the largest size of the same aspect ratio that fits.
[[nodiscard]] QSize fittedPreviewSize(const QSize &preferred, const QSize &room);
