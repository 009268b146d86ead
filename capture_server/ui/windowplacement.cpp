#include "windowplacement.h"

#include <algorithm>
#include <array>

namespace {

[[nodiscard]] qint64 surface(const QRect &rect)
{
    return rect.isValid() ? qint64(rect.width()) * rect.height() : 0;
}

[[nodiscard]] bool holds(const QRect &band, const QSize &size)
{
    return band.isValid() && band.width() >= size.width() && band.height() >= size.height();
}

// The largest band that holds `size`; an invalid rectangle when none does.
[[nodiscard]] QRect largestHolding(const std::array<QRect, 4> &bands, const QSize &size)
{
    QRect best;
    for (const QRect &band : bands) {
        if (holds(band, size) && surface(band) > surface(best))
            best = band;
    }
    return best;
}

} // namespace

std::optional<QRect> placeOutside(const QRect &available, const QRect &frame, const QSize &minimum,
                                  const QRect &area)
{
    if (!frame.intersects(area) && available.contains(frame))
        return frame;

    // Free bands, each spanning the available geometry across; they overlap in the corners.
    const std::array<QRect, 4> bands{
        QRect(QPoint(area.right() + 1, available.top()), available.bottomRight()).intersected(available),
        QRect(available.topLeft(), QPoint(area.left() - 1, available.bottom())).intersected(available),
        QRect(QPoint(available.left(), area.bottom() + 1), available.bottomRight()).intersected(available),
        QRect(available.topLeft(), QPoint(available.right(), area.top() - 1)).intersected(available),
    };

    QRect band = largestHolding(bands, frame.size());
    if (!band.isValid())
        band = largestHolding(bands, minimum.expandedTo(QSize(1, 1)));
    if (!band.isValid())
        return std::nullopt;

    const QSize size = frame.size().boundedTo(band.size());
    const int x = std::clamp(frame.x(), band.left(), band.right() - size.width() + 1);
    const int y = std::clamp(frame.y(), band.top(), band.bottom() - size.height() + 1);
    return QRect(QPoint(x, y), size);
}

std::optional<QRect> placeOutside(const QList<QRect> &available, const QRect &frame, const QSize &minimum,
                                  const QRect &area)
{
    const auto onOneMonitor = [&frame](const QRect &monitor) { return monitor.contains(frame); };
    if (!frame.intersects(area) && std::any_of(available.cbegin(), available.cend(), onOneMonitor))
        return frame;

    // The monitor the frame covers most first; a stable sort keeps the given order otherwise.
    QList<QRect> monitors = available;
    std::stable_sort(monitors.begin(), monitors.end(), [&frame](const QRect &a, const QRect &b) {
        return surface(a.intersected(frame)) > surface(b.intersected(frame));
    });
    // First pass: somewhere the frame fits whole; second: shrunk down to its minimum.
    for (const QSize &least : {frame.size(), minimum}) {
        for (const QRect &monitor : std::as_const(monitors)) {
            const QRect part = area.intersected(monitor);
            if (part.isEmpty()) {
                // The area is elsewhere: the whole monitor is free.
                if (!holds(monitor, least.expandedTo(QSize(1, 1))))
                    continue;
                const QSize size = frame.size().boundedTo(monitor.size());
                const int x = std::clamp(frame.x(), monitor.left(), monitor.right() - size.width() + 1);
                const int y = std::clamp(frame.y(), monitor.top(), monitor.bottom() - size.height() + 1);
                return QRect(QPoint(x, y), size);
            }
            if (const std::optional<QRect> place = placeOutside(monitor, frame, least, part))
                return place;
        }
    }
    return std::nullopt;
}

QSize fittedPreviewSize(const QSize &preferred, const QSize &room)
{
    if (preferred.isEmpty() || room.isEmpty())
        return preferred.boundedTo(room).expandedTo(QSize(1, 1));
    if (preferred.width() <= room.width() && preferred.height() <= room.height())
        return preferred;
    return preferred.scaled(room, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}
