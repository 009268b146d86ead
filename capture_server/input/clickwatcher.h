#pragma once

#include "clickrings.h"

#include <QObject>
#include <QPoint>

#include <deque>
#include <memory>

class QImage;
class QSocketNotifier;

// Watches the mouse buttons for "Show clicks" on X11: the input extension's raw button presses,
// selected on the root window of a connection of our own. Raw events take nothing from other
// programs (no grab) and come whichever window has the pointer; the pointer's place is asked at
// each press. When the extension is missing one line says so and no ring is drawn. For the GUI
// thread.
class ClickWatcher : public QObject
{
    Q_OBJECT
public:
    explicit ClickWatcher(QObject *parent = nullptr);
    ~ClickWatcher() override;

    [[nodiscard]] bool isWatching() const { return m_state != nullptr; }

    // Draws the rings of the clicks still live at `nowMs` into `frame`, whose top-left device
    // pixel is `frameOrigin` of the root window. Reads the presses already waiting first.
    void drawInto(QImage &frame, const QPoint &frameOrigin, qint64 nowMs);

Q_SIGNALS:
    void clicked(const Click &click);

private:
    struct State;
    void readEvents();

    std::unique_ptr<State> m_state;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::deque<Click> m_clicks; // the live ones, oldest first
};
