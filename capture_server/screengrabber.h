#pragma once

#include <QPixmap>
#include <QRect>

class QScreen;

// Grabs `area` (logical pixels of `screen`) into a pixmap in device pixels.
[[nodiscard]] QPixmap grabScreenArea(QScreen *screen, const QRect &area);
