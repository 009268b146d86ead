#pragma once

#include <QImage>
#include <QPoint>
#include <QRgb>

#include <deque>

// A mouse button press, for "Show clicks".
struct Click
{
    QPoint position; // where the pointer was, in root window (device) pixels
    int button = 1;  // 1 left, 2 middle, 3 right, 8 and up the side buttons
    qint64 timeMs = 0; // on the frames' clock (monotonicMs())
};

// How long a click's ring stays in the frames, and its size in device pixels.
constexpr qint64 clickRingMs = 500;
constexpr int clickRingOuterRadius = 18;
constexpr int clickRingInnerRadius = 13;

// Whether a button's press is a click that shows: the wheel's steps (buttons 4 to 7) are not.
[[nodiscard]] constexpr bool isShownClick(int button) { return button >= 1 && (button <= 3 || button >= 8); }

// The ring's colour for a button: left red, middle green, right blue, any other yellow.
[[nodiscard]] QRgb clickColour(int button);

// Draws the ring of each click younger than clickRingMs at `nowMs` into `frame`
// (Format_RGB32), which shows the device pixels from `frameOrigin` on. Only the ring's own
// pixels inside the frame are touched; clicks that have ended cost nothing.
void drawClickRings(QImage &frame, const QPoint &frameOrigin, const std::deque<Click> &clicks, qint64 nowMs);
