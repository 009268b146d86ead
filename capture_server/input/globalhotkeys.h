#pragma once

#include "hotkey.h"

#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <map>
#include <memory>

class QSocketNotifier;

// Hotkeys that act while any other program has the focus. On X11 each combination is a passive
// key grab on the root window, on a connection of our own (so Qt's events are untouched), read
// as its socket becomes readable; on Wayland they are asked of the desktop's GlobalShortcuts
// portal, and where it offers none one line says that hotkeys are not available and why. A
// combination another program has taken costs one line naming it and its action; the others
// work. For the GUI thread.
class GlobalHotkeys : public QObject
{
    Q_OBJECT
public:
    enum class Backend { X11, Portal };

    // `hotkeys`: the combination of each action (a "none" one is left out).
    GlobalHotkeys(Backend backend, const std::map<HotkeyAction, Hotkey> &hotkeys, QObject *parent = nullptr);
    ~GlobalHotkeys() override;

    // The actions whose combination works (on the portal: once the desktop has bound it).
    [[nodiscard]] bool isActive(HotkeyAction action) const;

Q_SIGNALS:
    void startStopPressed();
    void pausePressed();
    void markPressed();
    // Any of the three, after its own signal.
    void pressed(HotkeyAction action);

private Q_SLOTS:
    void onPortalResponse(uint response, const QVariantMap &results);
    void onPortalActivated(const QDBusObjectPath &session, const QString &id, qulonglong timestamp,
                           const QVariantMap &options);

private:
    struct X11State;
    void startX11();
    void readX11Events();
    void startPortal();
    void portalRequest(const QString &method, const QList<QVariant> &arguments);
    void portalUnavailable(const QString &why);
    void trigger(HotkeyAction action);
    void reportActive();

    std::map<HotkeyAction, Hotkey> m_hotkeys;
    std::map<HotkeyAction, bool> m_active;
    std::unique_ptr<X11State> m_x11;
    std::unique_ptr<QSocketNotifier> m_notifier;
    QString m_portalSession;  // the portal's session handle, once made
    QString m_requestPath;    // the portal request whose Response comes next
    int m_portalStep = 0;     // 1: CreateSession, 2: BindShortcuts
    QTimer m_portalTimeout;   // bounds the wait for each of the portal's answers
};
