#pragma once

#include <QList>
#include <QRect>

#include <string>

// Timer interval for a capture rate: 1000 / fps milliseconds, truncated.
[[nodiscard]] int captureIntervalMs(int fps);

// The area to grab for a selection: its edges put in order (a selection whose edge was dragged
// across the opposite one covers the pixels between the two edges) and clipped to the screen.
// Empty when the selection lies wholly outside the screen.
[[nodiscard]] QRect captureArea(const QRect &selection, const QRect &screen);

// The desktop the screens make up: the smallest rectangle that holds every one of them, which
// is what the X root window covers (Qt's virtual geometry). Empty without screens.
[[nodiscard]] QRect desktopGeometry(const QList<QRect> &screens);

// captureArea clipped to the desktop of `screens` instead of one screen: an area may lie on
// any monitor or span several.
[[nodiscard]] QRect captureArea(const QRect &selection, const QList<QRect> &screens);

// The console line for a selection that lies wholly outside the screen: "Selected area X,Y WxH
// lies outside the screen: " and what follows from that.
[[nodiscard]] std::string outsideTheScreenLine(const QRect &selection, const std::string &consequence);
