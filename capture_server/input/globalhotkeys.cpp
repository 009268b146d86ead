#include "globalhotkeys.h"

#include "frameconsole.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QRandomGenerator>
#include <QStringList>
#include <QSocketNotifier>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

// One shortcut as the portal takes and gives them: (sa{sv}).
struct PortalShortcut
{
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalShortcut)

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
constexpr int portalReplyMs = 5000;
// Binding may show the user a dialog.
constexpr int portalAnswerMs = 120000;
constexpr std::uint32_t numLockKeysym = 0xff7f;
constexpr std::uint8_t badAccess = 10;

void say(const QString &line)
{
    FrameConsole::instance().report(StageEvent::failed(line));
}

QString hotkeyName(HotkeyAction action, const Hotkey &hotkey)
{
    return QStringLiteral("Hotkey %1 (%2)").arg(hotkey.text, hotkeyActionName(action));
}

QString newToken()
{
    return QStringLiteral("deskcast_keys%1").arg(QRandomGenerator::global()->generate());
}

} // namespace

struct GlobalHotkeys::X11State
{
    struct Grab
    {
        xcb_keycode_t keycode;
        std::uint16_t modifiers;
        HotkeyAction action;
    };

    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    xcb_key_symbols_t *symbols = nullptr;
    std::uint16_t numLock = XCB_MOD_MASK_2;
    std::vector<Grab> grabs;
    // The last key release: X repeats a held key as a release and a press at one time, which
    // must not act again.
    xcb_keycode_t releasedKey = 0;
    xcb_timestamp_t releasedAt = 0;

    ~X11State()
    {
        if (symbols)
            xcb_key_symbols_free(symbols);
        if (connection)
            xcb_disconnect(connection);
    }
};

GlobalHotkeys::GlobalHotkeys(Backend backend, const std::map<HotkeyAction, Hotkey> &hotkeys, QObject *parent)
    : QObject(parent)
{
    for (const auto &[action, hotkey] : hotkeys) {
        if (!hotkey.isNone())
            m_hotkeys[action] = hotkey;
    }
    if (m_hotkeys.empty())
        return;
    if (backend == Backend::X11)
        startX11();
    else
        startPortal();
}

GlobalHotkeys::~GlobalHotkeys()
{
    m_notifier.reset();
    if (!m_portalSession.isEmpty()) {
        QDBusMessage close = QDBusMessage::createMethodCall(portalService, m_portalSession,
                                                            QStringLiteral("org.freedesktop.portal.Session"),
                                                            QStringLiteral("Close"));
        QDBusConnection::sessionBus().call(close, QDBus::NoBlock);
    }
}

bool GlobalHotkeys::isActive(HotkeyAction action) const
{
    const auto found = m_active.find(action);
    return found != m_active.end() && found->second;
}

void GlobalHotkeys::trigger(HotkeyAction action)
{
    switch (action) {
    case HotkeyAction::StartStop:
        Q_EMIT startStopPressed();
        break;
    case HotkeyAction::Pause:
        Q_EMIT pausePressed();
        break;
    case HotkeyAction::Mark:
        Q_EMIT markPressed();
        break;
    }
    Q_EMIT pressed(action);
}

void GlobalHotkeys::startX11()
{
    auto x11 = std::make_unique<X11State>();
    int screenNumber = 0;
    x11->connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(x11->connection)) {
        say(QStringLiteral("Hotkeys are not available: the X display could not be opened for them"));
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x11->connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    x11->root = screens.data->root;
    x11->symbols = xcb_key_symbols_alloc(x11->connection);

    // The modifier NumLock sets (Mod2 on nearly every keyboard map): a grab must hold with it on
    // or off, and likewise with CapsLock (Lock).
    if (xcb_keycode_t *numLockKeys = xcb_key_symbols_get_keycode(x11->symbols, numLockKeysym)) {
        xcb_get_modifier_mapping_reply_t *mapping = xcb_get_modifier_mapping_reply(
            x11->connection, xcb_get_modifier_mapping(x11->connection), nullptr);
        if (mapping) {
            const xcb_keycode_t *keys = xcb_get_modifier_mapping_keycodes(mapping);
            const int perModifier = mapping->keycodes_per_modifier;
            for (int modifier = 0; modifier < 8; ++modifier) {
                for (int k = 0; k < perModifier; ++k) {
                    if (keys[modifier * perModifier + k] != 0 && keys[modifier * perModifier + k] == numLockKeys[0])
                        x11->numLock = std::uint16_t(1u << modifier);
                }
            }
            std::free(mapping);
        }
        std::free(numLockKeys);
    }
    const std::uint16_t lockVariants[] = {0, XCB_MOD_MASK_LOCK, x11->numLock,
                                          std::uint16_t(XCB_MOD_MASK_LOCK | x11->numLock)};

    for (const auto &[action, hotkey] : m_hotkeys) {
        xcb_keycode_t *keycodes = xcb_key_symbols_get_keycode(x11->symbols, hotkey.keysym);
        if (!keycodes || keycodes[0] == XCB_NO_SYMBOL) {
            std::free(keycodes);
            say(hotkeyName(action, hotkey) + QStringLiteral(" does nothing: no key of this keyboard gives it"));
            continue;
        }
        // Every variant is asked for, then every answer checked: one round trip per combination.
        std::vector<std::pair<X11State::Grab, xcb_void_cookie_t>> asked;
        for (int i = 0; keycodes[i] != XCB_NO_SYMBOL; ++i) {
            for (const std::uint16_t lock : lockVariants) {
                const X11State::Grab grab{keycodes[i], std::uint16_t(hotkey.modifiers | lock), action};
                asked.emplace_back(grab, xcb_grab_key_checked(x11->connection, 0, x11->root, grab.modifiers,
                                                              grab.keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
            }
        }
        std::free(keycodes);
        bool taken = false;
        QString otherError;
        std::vector<X11State::Grab> held;
        for (const auto &[grab, cookie] : asked) {
            if (xcb_generic_error_t *error = xcb_request_check(x11->connection, cookie)) {
                if (error->error_code == badAccess)
                    taken = true;
                else
                    otherError = QStringLiteral("the X server refused the grab (error %1)").arg(error->error_code);
                std::free(error);
            } else {
                held.push_back(grab);
            }
        }
        if (taken || !otherError.isEmpty()) {
            // Half a hotkey (working only with NumLock off, say) would only puzzle: none of it.
            for (const X11State::Grab &grab : held)
                xcb_ungrab_key(x11->connection, grab.keycode, x11->root, grab.modifiers);
            say(hotkeyName(action, hotkey)
                + (taken ? QStringLiteral(" is taken by another program") : QStringLiteral(" could not be had: ") + otherError)
                + QStringLiteral(": it does nothing here (choose another with --hotkey-%1)").arg(hotkeyOptionName(action)));
            continue;
        }
        x11->grabs.insert(x11->grabs.end(), held.begin(), held.end());
        m_active[action] = true;
    }
    xcb_flush(x11->connection);
    m_x11 = std::move(x11);
    reportActive();
    m_notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(m_x11->connection), QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &GlobalHotkeys::readX11Events);
    // Events that came in with the answers above are queued already: the socket will not say so.
    QTimer::singleShot(0, this, &GlobalHotkeys::readX11Events);
}

void GlobalHotkeys::readX11Events()
{
    if (!m_x11)
        return;
    X11State &x11 = *m_x11;
    while (xcb_generic_event_t *event = xcb_poll_for_event(x11.connection)) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_KEY_RELEASE) {
            const auto *release = reinterpret_cast<const xcb_key_release_event_t *>(event);
            x11.releasedKey = release->detail;
            x11.releasedAt = release->time;
        } else if (type == XCB_KEY_PRESS) {
            const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event);
            const bool repeat = press->detail == x11.releasedKey && press->time == x11.releasedAt;
            // The modifiers a hotkey names; the locks and pointer buttons held do not count.
            constexpr std::uint16_t named = HotkeyShift | HotkeyControl | HotkeyAlt | HotkeySuper;
            const std::uint16_t state = press->state & named;
            for (const X11State::Grab &grab : x11.grabs) {
                if (!repeat && grab.keycode == press->detail && (grab.modifiers & named) == state) {
                    trigger(grab.action);
                    break;
                }
            }
        } else if (type == XCB_MAPPING_NOTIFY) {
            xcb_refresh_keyboard_mapping(x11.symbols, reinterpret_cast<xcb_mapping_notify_event_t *>(event));
        }
        std::free(event);
        if (!m_x11)
            return; // a slot of ours ended us
    }
    if (xcb_connection_has_error(x11.connection)) {
        m_notifier.reset();
        say(QStringLiteral("Hotkeys stopped working: their connection to the X server was lost"));
        m_x11.reset();
        m_active.clear();
    }
}

void GlobalHotkeys::reportActive()
{
    QStringList active;
    for (const auto &[action, hotkey] : m_hotkeys) {
        if (isActive(action))
            active.append(hotkeyActionName(action) + QLatin1Char(' ') + hotkey.text);
    }
    if (!active.isEmpty())
        FrameConsole::instance().report(StageEvent::notice(QStringLiteral("Hotkeys: ") + active.join(QStringLiteral(", "))));
}

void GlobalHotkeys::portalUnavailable(const QString &why)
{
    m_portalTimeout.stop();
    m_portalStep = 0;
    m_active.clear();
    say(QStringLiteral("Hotkeys are not available on this Wayland desktop: ") + why
        + QStringLiteral("; use the window's buttons"));
}

void GlobalHotkeys::startPortal()
{
    m_portalTimeout.setSingleShot(true);
    connect(&m_portalTimeout, &QTimer::timeout, this,
            [this] { portalUnavailable(QStringLiteral("its portal did not answer")); });
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        QTimer::singleShot(0, this, [this] { portalUnavailable(QStringLiteral("there is no D-Bus session bus")); });
        return;
    }
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    // Whether the desktop offers global shortcuts at all: the interface's version.
    QDBusMessage get = QDBusMessage::createMethodCall(portalService, portalPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get.setArguments({shortcutsInterface, QStringLiteral("version")});
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(get, portalReplyMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        QDBusPendingReply<QDBusVariant> reply = *w;
        if (reply.isError()) {
            switch (reply.error().type()) {
            case QDBusError::ServiceUnknown:
                portalUnavailable(QStringLiteral("there is no desktop portal (install xdg-desktop-portal)"));
                break;
            case QDBusError::InvalidArgs:
            case QDBusError::UnknownInterface:
            case QDBusError::UnknownProperty:
            case QDBusError::UnknownObject:
                portalUnavailable(QStringLiteral("its portal offers no global shortcuts (%1)").arg(shortcutsInterface));
                break;
            default:
                portalUnavailable(QStringLiteral("its portal refused: %1").arg(reply.error().message()));
                break;
            }
            return;
        }
        m_portalStep = 1;
        portalRequest(QStringLiteral("CreateSession"),
                      {QVariantMap{{QStringLiteral("handle_token"), newToken()},
                                   {QStringLiteral("session_handle_token"), newToken()}}});
    });
}

void GlobalHotkeys::portalRequest(const QString &method, const QList<QVariant> &arguments)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    // The answer comes as a Response on a path made of our name and the token: listen first.
    const QString token = arguments.last().toMap().value(QStringLiteral("handle_token")).toString();
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    if (!m_requestPath.isEmpty())
        bus.disconnect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"), this,
                       SLOT(onPortalResponse(uint, QVariantMap)));
    m_requestPath = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    bus.connect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"), this,
                SLOT(onPortalResponse(uint, QVariantMap)));
    QDBusMessage message = QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface, method);
    message.setArguments(arguments);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, portalReplyMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (reply.isError())
            portalUnavailable(QStringLiteral("its portal refused: %1").arg(reply.error().message()));
    });
    m_portalTimeout.start(portalReplyMs + portalAnswerMs);
}

void GlobalHotkeys::onPortalResponse(uint response, const QVariantMap &results)
{
    if (m_portalStep == 0)
        return;
    if (response != 0) {
        portalUnavailable(response == 1 ? QStringLiteral("they were declined in the desktop's dialog")
                                        : QStringLiteral("its portal could not bind them (it answered %1)").arg(response));
        return;
    }
    if (m_portalStep == 1) {
        const QVariant handle = results.value(QStringLiteral("session_handle"));
        m_portalSession = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path() : handle.toString();
        QDBusConnection::sessionBus().connect(portalService, portalPath, shortcutsInterface, QStringLiteral("Activated"),
                                              this,
                                              SLOT(onPortalActivated(QDBusObjectPath, QString, qulonglong, QVariantMap)));
        QList<PortalShortcut> shortcuts;
        for (const auto &[action, hotkey] : m_hotkeys) {
            shortcuts.append({hotkeyOptionName(action),
                              {{QStringLiteral("description"), QStringLiteral("capture_server: %1").arg(hotkeyActionName(action))},
                               {QStringLiteral("preferred_trigger"), portalTrigger(hotkey)}}});
        }
        m_portalStep = 2;
        portalRequest(QStringLiteral("BindShortcuts"),
                      {QVariant::fromValue(QDBusObjectPath(m_portalSession)), QVariant::fromValue(shortcuts), QString(),
                       QVariantMap{{QStringLiteral("handle_token"), newToken()}}});
        return;
    }
    // Bound: the desktop says which it took (the user may have changed or refused some).
    m_portalTimeout.stop();
    m_portalStep = 0;
    QList<PortalShortcut> bound;
    results.value(QStringLiteral("shortcuts")).value<QDBusArgument>() >> bound;
    for (const auto &[action, hotkey] : m_hotkeys) {
        const bool found = std::any_of(bound.begin(), bound.end(),
                                       [&, a = action](const PortalShortcut &s) { return s.id == hotkeyOptionName(a); });
        m_active[action] = found;
        if (!found)
            say(hotkeyName(action, hotkey) + QStringLiteral(" was not bound by the desktop: it does nothing here"));
    }
    reportActive();
}

void GlobalHotkeys::onPortalActivated(const QDBusObjectPath &session, const QString &id, qulonglong,
                                      const QVariantMap &)
{
    if (session.path() != m_portalSession)
        return;
    for (const HotkeyAction action : allHotkeyActions) {
        if (id == hotkeyOptionName(action) && isActive(action)) {
            trigger(action);
            return;
        }
    }
}
