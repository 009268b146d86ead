#include "portalgrabber.h"

#include "grabberchoice.h"
#include "pipewirestream.h"
#include "frameconsole.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QScreen>
#include <QStandardPaths>


#include <unistd.h>

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString screenCastInterface = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");

constexpr uint sourceMonitor = 1;
constexpr uint sourceWindow = 2;
constexpr uint cursorHidden = 1;
constexpr uint cursorEmbedded = 2;
constexpr uint persistUntilRevoked = 2;

QString portalMissingLine()
{
    return QStringLiteral("Screen capture on Wayland needs the desktop portal: install xdg-desktop-portal and "
                          "the portal backend of this desktop (xdg-desktop-portal-gnome, xdg-desktop-portal-kde or "
                          "xdg-desktop-portal-wlr)");
}

QString pipeWireMissingLine(const QString &detail)
{
    return QStringLiteral("Screen capture on Wayland needs PipeWire running: install pipewire (and wireplumber) "
                          "and start it (%1)")
        .arg(detail);
}

// The line for a D-Bus error of a portal call.
QString callErrorLine(const QDBusError &error)
{
    switch (error.type()) {
    case QDBusError::ServiceUnknown:
        return portalMissingLine();
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownObject:
        return QStringLiteral("The desktop portal offers no screen capture: install the portal backend of this "
                              "desktop (xdg-desktop-portal-gnome, xdg-desktop-portal-kde or xdg-desktop-portal-wlr)");
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return QStringLiteral("The desktop portal did not answer within %1 s: nothing is captured")
            .arg(PortalGrabber::replyTimeoutMs / 1000);
    default:
        return QStringLiteral("The desktop portal refused screen capture: %1").arg(error.message());
    }
}

QString readRestoreToken()
{
    QFile file(PortalGrabber::restoreTokenPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).trimmed();
}

void writeRestoreToken(const QString &token)
{
    const QString path = PortalGrabber::restoreTokenPath();
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(token.toUtf8());
        file.commit();
    }
}

// The first stream of a Start response: its PipeWire node, and its place on the desktop when
// the portal says.
bool parseStream(const QVariant &streams, quint32 &nodeId, QRect &monitor)
{
    const auto argument = streams.value<QDBusArgument>();
    if (argument.currentType() != QDBusArgument::ArrayType)
        return false;
    bool found = false;
    argument.beginArray();
    while (!argument.atEnd()) {
        uint node = 0;
        QVariantMap properties;
        argument.beginStructure();
        argument >> node >> properties;
        argument.endStructure();
        if (found)
            continue;
        found = true;
        nodeId = node;
        const auto pair = [&](const QString &key, QPoint &value) {
            if (!properties.contains(key))
                return false;
            const auto inner = properties.value(key).value<QDBusArgument>();
            int a = 0;
            int b = 0;
            inner.beginStructure();
            inner >> a >> b;
            inner.endStructure();
            value = QPoint(a, b);
            return true;
        };
        QPoint position;
        QPoint size;
        const bool hasPosition = pair(QStringLiteral("position"), position);
        if (pair(QStringLiteral("size"), size) && size.x() > 0 && size.y() > 0)
            monitor = QRect(hasPosition ? position : QPoint(), QSize(size.x(), size.y()));
        if (!hasPosition)
            monitor = QRect(); // a size alone does not place the monitor on the desktop
    }
    argument.endArray();
    return found;
}

} // namespace

PortalGrabber::PortalGrabber(QObject *parent)
    : Grabber(parent)
{
    m_timeout.setSingleShot(true);
    connect(&m_timeout, &QTimer::timeout, this, [this] {
        if (m_state == State::Ready)
            return;
        if (m_step == Step::None && m_stream) {
            fail(QStringLiteral("No frame came from the screen's stream within %1 s: nothing is captured")
                     .arg(firstFrameTimeoutMs / 1000));
        } else if (m_step == Step::Start) {
            fail(QStringLiteral("No answer to the screen-sharing dialog within %1 s: nothing is captured")
                     .arg(choiceTimeoutMs / 1000));
        } else {
            fail(QStringLiteral("The desktop portal did not answer within %1 s: nothing is captured")
                     .arg(replyTimeoutMs / 1000));
        }
    });
}

PortalGrabber::~PortalGrabber()
{
    closeSession();
}

void PortalGrabber::closeSession()
{
    m_stream.reset();
    if (m_sessionHandle.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(portalService, m_sessionHandle, sessionInterface, QStringLiteral("Closed"), this,
                   SLOT(onSessionClosed()));
    QDBusMessage close = QDBusMessage::createMethodCall(portalService, m_sessionHandle, sessionInterface,
                                                        QStringLiteral("Close"));
    bus.call(close, QDBus::NoBlock);
    m_sessionHandle.clear();
}

void PortalGrabber::restart()
{
    if (m_state != State::Failed && m_state != State::Ended)
        return;
    closeSession();
    m_monitor = QRect();
    m_state = State::Idle;
    start(m_withCursor, m_wantWindow);
}

QString PortalGrabber::restoreTokenPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation)
           + QStringLiteral("/portal-restore-token");
}

void PortalGrabber::start(bool withCursor, bool window)
{
    if (m_state != State::Idle)
        return;
    m_state = State::Starting;
    m_withCursor = withCursor;
    m_wantWindow = window;
    m_sharesWindow = false;
    m_status = QStringLiteral("Waiting for the desktop portal to share the screen");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        // Reported from the event loop, like every other outcome.
        QTimer::singleShot(0, this, [this, error = bus.lastError().message()] {
            fail(QStringLiteral("Screen capture on Wayland needs a D-Bus session bus, and there is none (%1)")
                     .arg(error));
        });
        return;
    }
    askSourceTypes();
}

void PortalGrabber::askSourceTypes()
{
    if (!m_wantWindow) {
        askCursorModes();
        return;
    }
    // A window can be shared only where the portal offers windows.
    askProperty(QStringLiteral("AvailableSourceTypes"), [this](std::optional<uint> types) {
        m_sharesWindow = types && (*types & sourceWindow);
        if (!m_sharesWindow)
            FrameConsole::instance().report(StageEvent::failed(
                "Following a window is not available on this desktop: its screen-sharing portal offers no "
                "windows, so the monitor is captured"));
        askCursorModes();
    });
}

void PortalGrabber::askCursorModes()
{
    if (!m_withCursor) {
        createSession();
        return;
    }
    // The pointer can be drawn in only where the portal offers that.
    askProperty(QStringLiteral("AvailableCursorModes"), [this](std::optional<uint> modes) {
        if (!modes || !(*modes & cursorEmbedded)) {
            m_withCursor = false;
            FrameConsole::instance().report(StageEvent::failed(
                "The desktop portal cannot draw the pointer into the screen's stream: frames come without it"));
        }
        createSession();
    });
}

void PortalGrabber::askProperty(const QString &name, std::function<void(std::optional<uint>)> then)
{
    QDBusMessage get = QDBusMessage::createMethodCall(portalService, portalPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get.setArguments({screenCastInterface, name});
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(get, replyTimeoutMs), this);
    m_timeout.start(2 * replyTimeoutMs);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, then = std::move(then)](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        if (m_state != State::Starting)
            return;
        QDBusPendingReply<QDBusVariant> reply = *w;
        const bool unknownProperty = reply.isError() && reply.error().type() == QDBusError::InvalidArgs;
        if (reply.isError() && !unknownProperty) {
            fail(callErrorLine(reply.error()));
            return;
        }
        then(unknownProperty ? std::nullopt : std::optional<uint>(reply.value().variant().toUInt()));
    });
}

void PortalGrabber::createSession()
{
    const QVariantMap options{{QStringLiteral("handle_token"), newToken()},
                              {QStringLiteral("session_handle_token"), newToken()}};
    call(Step::CreateSession, QStringLiteral("CreateSession"), {options}, replyTimeoutMs);
}

QString PortalGrabber::newToken()
{
    return QStringLiteral("deskcast%1_%2").arg(++m_tokenCounter).arg(QRandomGenerator::global()->generate());
}

QString PortalGrabber::requestPath(const QString &token) const
{
    QString sender = QDBusConnection::sessionBus().baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

void PortalGrabber::call(Step step, const QString &method, const QList<QVariant> &arguments, int responseTimeoutMs)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Listen for the Response before calling: a fast portal may answer before the call returns.
    const QString token = arguments.last().toMap().value(QStringLiteral("handle_token")).toString();
    if (!m_requestPath.isEmpty())
        bus.disconnect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"), this,
                       SLOT(onResponse(uint, QVariantMap)));
    m_requestPath = requestPath(token);
    bus.connect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"), this,
                SLOT(onResponse(uint, QVariantMap)));
    m_step = step;
    QDBusMessage message = QDBusMessage::createMethodCall(portalService, portalPath, screenCastInterface, method);
    message.setArguments(arguments);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message, replyTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &PortalGrabber::callFinished);
    m_timeout.start(replyTimeoutMs + responseTimeoutMs);
}

void PortalGrabber::callFinished(QDBusPendingCallWatcher *watcher)
{
    watcher->deleteLater();
    if (m_state != State::Starting)
        return;
    QDBusPendingReply<QDBusObjectPath> reply = *watcher;
    if (reply.isError()) {
        fail(callErrorLine(reply.error()));
        return;
    }
    // An older portal may answer on a request path of its own choosing.
    const QString path = reply.value().path();
    if (!path.isEmpty() && path != m_requestPath) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.disconnect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"), this,
                       SLOT(onResponse(uint, QVariantMap)));
        m_requestPath = path;
        bus.connect(portalService, m_requestPath, requestInterface, QStringLiteral("Response"), this,
                    SLOT(onResponse(uint, QVariantMap)));
    }
}

void PortalGrabber::onResponse(uint response, const QVariantMap &results)
{
    if (m_state != State::Starting)
        return;
    if (response == 1) {
        fail(QStringLiteral("Screen sharing was cancelled in the desktop portal's dialog: nothing is captured"));
        return;
    }
    if (response != 0) {
        fail(QStringLiteral("The desktop portal could not share the screen (it answered %1): nothing is captured")
                 .arg(response));
        return;
    }
    switch (m_step) {
    case Step::CreateSession: {
        const QVariant handle = results.value(QStringLiteral("session_handle"));
        m_sessionHandle = handle.canConvert<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path() : handle.toString();
        QDBusConnection::sessionBus().connect(portalService, m_sessionHandle, sessionInterface, QStringLiteral("Closed"),
                                              this, SLOT(onSessionClosed()));
        QVariantMap options{{QStringLiteral("handle_token"), newToken()},
                            {QStringLiteral("types"), m_sharesWindow ? sourceWindow : sourceMonitor},
                            {QStringLiteral("multiple"), false},
                            {QStringLiteral("cursor_mode"), m_withCursor ? cursorEmbedded : cursorHidden},
                            {QStringLiteral("persist_mode"), persistUntilRevoked}};
        const QString token = readRestoreToken();
        if (!token.isEmpty())
            options.insert(QStringLiteral("restore_token"), token);
        call(Step::SelectSources, QStringLiteral("SelectSources"),
             {QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), options}, replyTimeoutMs);
        break;
    }
    case Step::SelectSources: {
        const QVariantMap options{{QStringLiteral("handle_token"), newToken()}};
        call(Step::Start, QStringLiteral("Start"),
             {QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), QString(), options}, choiceTimeoutMs);
        break;
    }
    case Step::Start: {
        m_step = Step::None;
        const QString token = results.value(QStringLiteral("restore_token")).toString();
        if (!token.isEmpty())
            writeRestoreToken(token);
        quint32 nodeId = 0;
        if (!parseStream(results.value(QStringLiteral("streams")), nodeId, m_monitor)) {
            fail(QStringLiteral("The desktop portal shared no monitor: nothing is captured"));
            return;
        }
        openStream(nodeId);
        break;
    }
    case Step::None:
        break;
    }
}

void PortalGrabber::openStream(quint32 nodeId)
{
    QDBusMessage message = QDBusMessage::createMethodCall(portalService, portalPath, screenCastInterface,
                                                          QStringLiteral("OpenPipeWireRemote"));
    message.setArguments({QVariant::fromValue(QDBusObjectPath(m_sessionHandle)), QVariantMap()});
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message, replyTimeoutMs), this);
    m_timeout.start(replyTimeoutMs + firstFrameTimeoutMs);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, nodeId](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        if (m_state != State::Starting)
            return;
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *w;
        if (reply.isError()) {
            fail(pipeWireMissingLine(reply.error().message()));
            return;
        }
        const int fd = ::dup(reply.value().fileDescriptor());
        if (fd < 0) {
            fail(pipeWireMissingLine(QStringLiteral("no connection to it")));
            return;
        }
        m_stream = std::make_unique<PipeWireStream>();
        connect(m_stream.get(), &PipeWireStream::firstFrame, this, [this] {
            if (m_state != State::Starting)
                return;
            m_timeout.stop();
            m_state = State::Ready;
            m_status = QStringLiteral("Sharing the screen through the desktop portal");
            Q_EMIT ready();
        });
        connect(m_stream.get(), &PipeWireStream::ended, this, [this](const QString &why) {
            if (m_state == State::Starting)
                fail(QStringLiteral("The screen's stream ended before its first frame (%1): nothing is captured").arg(why));
            else
                end(QStringLiteral("The screen's stream ended (%1)").arg(why));
        });
        if (!m_stream->open(fd, nodeId))
            fail(pipeWireMissingLine(m_stream->error()));
    });
}

void PortalGrabber::onSessionClosed()
{
    if (m_state == State::Starting)
        fail(QStringLiteral("The desktop portal closed the screen-sharing session: nothing is captured"));
    else
        end(QStringLiteral("The screen's stream ended (the desktop portal closed the session)"));
}

void PortalGrabber::fail(const QString &line)
{
    if (m_state != State::Starting)
        return;
    m_timeout.stop();
    m_state = State::Failed;
    m_status = line;
    m_stream.reset();
    Q_EMIT failed(line);
}

void PortalGrabber::end(const QString &line)
{
    if (m_state != State::Ready)
        return;
    m_state = State::Ended;
    m_status = line;
    // The newest frame stays readable: nothing more comes.
    Q_EMIT ended(line);
}

QRect PortalGrabber::monitorGeometry(const QRect &fallback) const
{
    return m_monitor.isEmpty() ? fallback : m_monitor;
}

QImage PortalGrabber::grabArea(const QRect &area, const QRect &fallbackMonitor) const
{
    if (!m_stream)
        return {};
    const QImage frame = m_stream->newestFrame();
    if (frame.isNull() || m_sharesWindow)
        return frame; // a window's stream is the window, wherever it is
    const QRect monitor = monitorGeometry(fallbackMonitor);
    const QRect pixels = streamArea(area, monitor, frame.size());
    if (pixels.isEmpty())
        return {};
    // The whole frame is shared as it is: the receiving thread never writes a published frame.
    QImage image = pixels == frame.rect() ? frame : frame.copy(pixels);
    const qreal ratio = qreal(frame.width()) / monitor.width();
    if (!qFuzzyCompare(ratio, 1.0))
        image.setDevicePixelRatio(ratio);
    return image;
}

quint64 PortalGrabber::framesReceived() const
{
    return m_stream ? m_stream->framesReceived() : 0;
}

QList<QRect> PortalGrabber::screens() const
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return {monitorGeometry(screen ? screen->geometry() : QRect())};
}

QImage PortalGrabber::grab(const QRect &area, bool)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return grabArea(area, screen ? screen->geometry() : QRect());
}

QImage PortalGrabber::snapshot()
{
    return grab(screens().value(0), false);
}

void PortalGrabber::retry()
{
    if (m_state == State::Failed || m_state == State::Ended)
        restart();
}
