#pragma once

#include <QRect>

// Timer interval for a capture rate: 1000 / fps milliseconds, truncated.
[[nodiscard]] int captureIntervalMs(int fps);

// The area to grab for a selection: its edges put in order (a selection whose edge was dragged
// across the opposite one covers the pixels between the two edges) and clipped to the screen.
// Empty when the selection lies wholly outside the screen.
[[nodiscard]] QRect captureArea(const QRect &selection, const QRect &screen);
