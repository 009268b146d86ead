#include "clickrings.h"

#include <QRect>

#include <algorithm>

QRgb clickColour(int button)
{
    switch (button) {
    case 1:
        return qRgb(235, 30, 30);
    case 2:
        return qRgb(30, 200, 30);
    case 3:
        return qRgb(30, 80, 245);
    default:
        return qRgb(245, 215, 0);
    }
}

void drawClickRings(QImage &frame, const QPoint &frameOrigin, const std::deque<Click> &clicks, qint64 nowMs)
{
    constexpr int outer2 = clickRingOuterRadius * clickRingOuterRadius;
    constexpr int inner2 = clickRingInnerRadius * clickRingInnerRadius;
    for (const Click &click : clicks) {
        if (nowMs - click.timeMs >= clickRingMs || nowMs < click.timeMs || !isShownClick(click.button))
            continue;
        const QPoint centre = click.position - frameOrigin;
        const QRect box = QRect(centre - QPoint(clickRingOuterRadius, clickRingOuterRadius),
                                QSize(2 * clickRingOuterRadius + 1, 2 * clickRingOuterRadius + 1))
                          & frame.rect();
        if (box.isEmpty())
            continue;
        if (frame.format() != QImage::Format_RGB32 && frame.format() != QImage::Format_ARGB32)
            frame.convertTo(QImage::Format_RGB32);
        const QRgb colour = clickColour(click.button) | 0xff000000u;
        for (int y = box.top(); y <= box.bottom(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(frame.scanLine(y));
            const int dy = y - centre.y();
            for (int x = box.left(); x <= box.right(); ++x) {
                const int dx = x - centre.x();
                const int d2 = dx * dx + dy * dy;
                if (d2 <= outer2 && d2 >= inner2)
                    line[x] = colour;
            }
        }
    }
}
