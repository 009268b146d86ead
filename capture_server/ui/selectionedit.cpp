#include "selectionedit.h"

#include <algorithm>

SelectionEdit editSelectionForMove(const QRect &rect, const QPoint &pos, const QPoint &lastPos,
                                   bool dragging)
{
    if (!dragging && !rect.contains(pos))
        return {rect, false};

    const int dx = pos.x() - lastPos.x();
    const int dy = pos.y() - lastPos.y();
    constexpr int reach = selectionEdgeBand - 1;
    QRect edited = rect;
    if (pos.y() - rect.top() <= reach) {
        edited.setTop(rect.top() + dy);
    } else if (rect.bottom() - pos.y() <= reach) {
        edited.setBottom(rect.bottom() + dy);
    } else if (rect.right() - pos.x() <= reach) {
        edited.setRight(rect.right() + dx);
    } else if (pos.x() - rect.left() <= reach) {
        edited.setLeft(rect.left() + dx);
    } else {
        // Integer division truncates toward zero, so with a negative coordinate sum the
        // rectangle can land one pixel off the pointer's step.
        const QPoint centre((rect.left() + rect.right()) / 2, (rect.top() + rect.bottom()) / 2);
        edited.moveCenter(centre + QPoint(dx, dy));
    }
    return {edited, true};
}

SelectionEdit editSelectionForKey(const QRect &rect, int key, Qt::KeyboardModifiers modifiers)
{
    const int step = modifiers.testFlag(Qt::ControlModifier) ? 10 : 1;
    int dx = 0;
    int dy = 0;
    switch (key) {
    case Qt::Key_Left:
        dx = -step;
        break;
    case Qt::Key_Right:
        dx = step;
        break;
    case Qt::Key_Up:
        dy = -step;
        break;
    case Qt::Key_Down:
        dy = step;
        break;
    default:
        return {rect, false};
    }

    QRect edited = rect;
    if (!modifiers.testFlag(Qt::ShiftModifier)) {
        edited.translate(dx, dy);
        return {edited, true};
    }
    // Shrinking stops at one pixel (or at the current size if a drag left it smaller).
    int right = rect.right() + dx;
    if (dx < 0)
        right = std::max(right, std::min(rect.right(), rect.left()));
    int bottom = rect.bottom() + dy;
    if (dy < 0)
        bottom = std::max(bottom, std::min(rect.bottom(), rect.top()));
    edited.setRight(right);
    edited.setBottom(bottom);
    return {edited, true};
}
