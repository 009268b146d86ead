#pragma once

#include "grabber.h"

#include <QImage>
#include <QRect>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class PipeWireStream;
class QScreen;
class QDBusMessage;
class QDBusPendingCallWatcher;

// The grabber of a Wayland session: asks the desktop's ScreenCast portal for one monitor,
// receives its frames through PipeWire and cuts the capture area out of the newest one. The
// portal's restore token is kept below the user's config folder, so the user is asked once and
// not at every start. Every wait is bounded: a D-Bus reply, the user's answer in the portal's
// dialog, the first frame.
class PortalGrabber : public Grabber
{
    Q_OBJECT
public:
    enum class State { Idle, Starting, Ready, Failed, Ended };

    explicit PortalGrabber(QObject *parent = nullptr);
    ~PortalGrabber() override;

    // Asks the portal for a monitor stream, with the pointer drawn in when `withCursor`; with
    // `window`, for a window where the portal offers windows (else one line says it does not).
    // Ends in ready() or failed(). Does nothing unless idle.
    void start(bool withCursor, bool window = false);
    // Whether the stream is a window's (whole frames, whatever the area).
    [[nodiscard]] bool sharesWindow() const { return m_sharesWindow; }
    // After a failure or the stream's end: closes what is left and asks again.
    void restart();
    [[nodiscard]] State state() const { return m_state; }

    // The monitor on the desktop (logical pixels), as the portal gives it; with no position
    // from the portal, `fallback` (the screen Qt knows).
    [[nodiscard]] QRect monitorGeometry(const QRect &fallback) const;
    // The newest frame's pixels of `area` (logical desktop pixels) in the stream's own pixels,
    // with the device pixel ratio of the monitor's scale; a null image before the first frame
    // or when the area misses the monitor. A still screen sends no frames: the newest stays.
    [[nodiscard]] QImage grabArea(const QRect &area, const QRect &fallbackMonitor) const;
    // Frames received from PipeWire so far.
    [[nodiscard]] quint64 framesReceived() const;

    // Where the restore token is kept.
    [[nodiscard]] static QString restoreTokenPath();

    // Bounds of the waits, in milliseconds.
    static constexpr int replyTimeoutMs = 5000;      // a D-Bus method's reply, a Response of a plain step
    static constexpr int choiceTimeoutMs = 120000;   // the user's answer in the portal's dialog
    static constexpr int firstFrameTimeoutMs = 10000; // the first frame after the stream opened

    // The grabber's side: the shared monitor only; the pointer as chosen at start(); ended()
    // when the stream ends while running (monitor unplugged, session closed, compositor gone).
    [[nodiscard]] QList<QRect> screens() const override;
    [[nodiscard]] QImage grab(const QRect &area, bool withCursor) override;
    [[nodiscard]] QImage snapshot() override;
    [[nodiscard]] bool drawsCursor() const override { return false; }
    // The portal's cursor metadata carries the pointer's place and shape, never its buttons.
    [[nodiscard]] QString clicksUnavailable() const override
    {
        return QStringLiteral("Clicks are not shown on Wayland: the desktop's portal tells the pointer's place but not "
                              "its button presses");
    }
    [[nodiscard]] bool isReady() const override { return m_state == State::Ready; }
    // Why it failed or ended, or what it waits for: one line for the console and the window.
    [[nodiscard]] QString status() const override { return m_status; }
    // Asks again after a refusal or an end; nothing while starting or running.
    void retry() override;

private Q_SLOTS:
    void onResponse(uint response, const QVariantMap &results);
    void onSessionClosed();

private:
    enum class Step { None, CreateSession, SelectSources, Start };
    void askSourceTypes();
    void askCursorModes();
    // Reads a property of the portal; `then` gets nothing when the portal does not know it.
    void askProperty(const QString &name, std::function<void(std::optional<uint>)> then);
    void createSession();
    void call(Step step, const QString &method, const QList<QVariant> &arguments, int responseTimeoutMs);
    void callFinished(QDBusPendingCallWatcher *watcher);
    void openStream(quint32 nodeId);
    void fail(const QString &line);
    void end(const QString &line);
    void closeSession();
    [[nodiscard]] QString requestPath(const QString &token) const;
    [[nodiscard]] QString newToken();

    State m_state = State::Idle;
    Step m_step = Step::None;
    QString m_status;
    bool m_withCursor = false;
    bool m_wantWindow = false;   // the user asked for a window
    bool m_sharesWindow = false; // ... and the portal offers windows
    QString m_sessionHandle;
    QString m_requestPath;
    QTimer m_timeout; // the current wait
    int m_tokenCounter = 0;
    QRect m_monitor;  // from the portal's stream properties, if given
    std::unique_ptr<PipeWireStream> m_stream;
};
