#pragma once

#include <QRect>
#include <QSize>
#include <QString>

// Which way capture_server reads the screen.
enum class GrabberKind {
    X11,    // the X server: shared memory, else QScreen::grabWindow
    Portal, // the desktop's ScreenCast portal, frames through PipeWire
};

struct GrabberChoice
{
    GrabberKind kind = GrabberKind::X11;
    QString reason; // why, for the start-up line
};

// The grabber for a session: `option` is --grabber ("x11", "portal" or empty when not given),
// the other two are the environment's XDG_SESSION_TYPE and WAYLAND_DISPLAY. The option wins;
// otherwise a Wayland session takes the portal, whether Qt itself runs natively or through
// Xwayland (under Xwayland an X grab sees only the other Xwayland windows, black elsewhere).
[[nodiscard]] GrabberChoice chooseGrabber(const QString &option, const QString &sessionType,
                                          const QString &waylandDisplay);

// The start-up line naming the grabber: "Grabber: portal (...)" or "Grabber: x11 (...)".
[[nodiscard]] QString grabberLine(const GrabberChoice &choice);

// Maps an area of the desktop (logical pixels) onto a monitor stream: `monitor` is the
// monitor's place on the desktop in logical pixels, `streamSize` the size of the stream's
// frames. The result is in the stream's own pixels, clipped to the frame; empty when the area
// misses the monitor. Offsets and sizes scale separately, as an X grab maps them, so two areas
// side by side stay side by side.
[[nodiscard]] QRect streamArea(const QRect &area, const QRect &monitor, const QSize &streamSize);
