#pragma once

#include <QList>
#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>

#include <optional>

// A top-level window of the X display: its client window (under a window manager, the window
// the program made, not the frame the manager put around it), its name and where its contents
// lie on the root window, in root (device) pixels.
struct FoundWindow
{
    quint32 id = 0;
    QString name;
    QRect area;
};

// Follows one window as it moves and changes size: each area() is one round trip to the X server
// (its size, its place on the root window and whether it is still mapped, asked together).
// Uses Qt's own X connection, so it sees the same server state as the grabs made through it.
// For the GUI thread.
class WindowTracker : public QObject
{
    Q_OBJECT
public:
    explicit WindowTracker(const FoundWindow &window, QObject *parent = nullptr);

    // The window as seen last: its area is where area() found it last.
    [[nodiscard]] const FoundWindow &window() const { return m_window; }
    // Where the window's contents are now; nothing once it is gone (destroyed or unmapped),
    // which closed() says once.
    [[nodiscard]] std::optional<QRect> area();
    [[nodiscard]] bool isClosed() const { return m_closed; }

Q_SIGNALS:
    void closed();

private:
    FoundWindow m_window;
    bool m_closed = false;
};

// Whether windows can be found and followed here: on X11 only.
[[nodiscard]] bool windowFollowingAvailable();

// The window with this id (a frame's id gives the client inside it), or nothing with `error` set.
[[nodiscard]] std::optional<FoundWindow> findWindow(quint32 id, QString &error);
// The first mapped top-level window, topmost first, whose name contains `text`; or nothing with
// `error` set.
[[nodiscard]] std::optional<FoundWindow> findWindowByName(const QString &text, QString &error);
// The topmost mapped top-level window at `rootPoint` (root pixels) other than `ignored` (this
// program's own windows, such as the selection window that covers the screen).
[[nodiscard]] std::optional<FoundWindow> windowAt(const QPoint &rootPoint, const QList<quint32> &ignored);

// "window 0x400007 "Terminal", 640x480 at 10,20", for the console.
[[nodiscard]] QString describeWindow(const FoundWindow &window);
