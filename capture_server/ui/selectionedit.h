#pragma once

#include <QPoint>
#include <QRect>
#include <Qt>

// The result of applying one input event to the selection rectangle.
struct SelectionEdit
{
    QRect rect;          // the rectangle after the event
    bool edited = false; // whether the event acted on the rectangle
};

// Width of the band along each edge inside which a drag moves that edge, not the whole rectangle.
inline constexpr int selectionEdgeBand = 20;

// One mouse move with a button held, at `pos`, the previous event having been at `lastPos`
// (window coordinates). Acts when `pos` lies in `rect` (edges included) or a drag is already
// under way (`dragging`); otherwise returns `rect` unedited. Tested in this order, with the
// current position: the top band moves the top edge by the vertical step, the bottom band the
// bottom edge, the right band the right edge, the left band the left edge, and anywhere else
// the whole rectangle follows the pointer (centre taken with truncating division, size kept).
// The bands are one-sided differences, so once dragging they extend beyond the rectangle.
// The result is never normalised: an edge dragged across the opposite one gives a rectangle
// of zero or negative width or height.
[[nodiscard]] SelectionEdit editSelectionForMove(const QRect &rect, const QPoint &pos,
                                                 const QPoint &lastPos, bool dragging);

// One key press: an arrow moves the rectangle by one pixel (ten with Ctrl); with Shift it moves
// the right edge (left/right arrows) or the bottom edge (up/down arrows) instead, and never
// shrinks the rectangle below one pixel. Any other key leaves it unedited.
[[nodiscard]] SelectionEdit editSelectionForKey(const QRect &rect, int key,
                                                Qt::KeyboardModifiers modifiers);
