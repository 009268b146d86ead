#include "webviewserver.h"

#include "clientframecheck.h"
#include "frameconsole.h"
#include "listenaddress.h"
#include "socketstate.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <functional>
#include <utility>

#include <sys/socket.h>

namespace {

const QByteArray ReadyMessage = QByteArrayLiteral("ready");
const QByteArray ResyncMessage = QByteArrayLiteral("resync");
constexpr int RefusalLineIntervalMs = 1000;

// Compares in a time that does not depend on where the texts differ.
bool sameSecret(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size() || a.isEmpty())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

QString randomToken()
{
    QByteArray bytes(WebViewServer::TokenBytes, '\0');
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(bytes.data()),
                                         reinterpret_cast<quint32 *>(bytes.data() + bytes.size()));
    return QString::fromLatin1(bytes.toHex());
}

// The host of a Host header, without its port and brackets; empty when it is not one.
QByteArray hostName(const QByteArray &header)
{
    if (header.startsWith('[')) {
        const qsizetype close = header.indexOf(']');
        if (close < 0 || (close + 1 < header.size() && header[close + 1] != ':'))
            return {};
        return header.mid(1, close - 1);
    }
    const qsizetype colon = header.indexOf(':');
    if (colon >= 0 && header.indexOf(':', colon + 1) >= 0)
        return {};
    return (colon < 0 ? header : header.left(colon)).toLower();
}

// True when `host` (from a Host header) names this machine: localhost, a loopback address, the
// host name or one of the machine's addresses. A page of another site whose name has been made
// to resolve to this machine still sends its own name.
bool isOwnHost(const QByteArray &header)
{
    const QByteArray host = hostName(header);
    if (host.isEmpty())
        return false;
    if (host == "localhost")
        return true;
    QHostAddress address;
    if (address.setAddress(QString::fromLatin1(host))) {
        if (address.isLoopback())
            return true;
        const QList<QHostAddress> own = QNetworkInterface::allAddresses();
        return std::any_of(own.begin(), own.end(), [&](const QHostAddress &a) { return a.isEqual(address, QHostAddress::TolerantConversion); });
    }
    const QByteArray name = QHostInfo::localHostName().toLower().toLatin1();
    const QByteArray domain = QHostInfo::localDomainName().toLower().toLatin1();
    return (!name.isEmpty() && host == name) || (!name.isEmpty() && !domain.isEmpty() && host == name + '.' + domain);
}

// The address to open in a browser on a server bound to `address`.
QString baseUrl(const QHostAddress &address, quint16 port)
{
    QString host = isEveryAddress(address) ? QStringLiteral("localhost") : address.toString();
    if (address.protocol() == QAbstractSocket::IPv6Protocol && !isEveryAddress(address))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

// What a browser asked for in the head of its request.
struct Request
{
    bool wellFormed = false;
    QByteArray method;
    QByteArray target;
    QByteArray path;
    QByteArray queryToken; // ?token=
    QByteArray cookies;
    QByteArray host;
    QByteArray origin;
    bool upgrade = false;
};

// Reads a request head (everything before the empty line, without it).
Request parseRequest(const QByteArray &head)
{
    Request request;
    QList<QByteArray> lines = head.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    const QList<QByteArray> parts = lines.constFirst().split(' ');
    if (parts.size() != 3 || parts[0].isEmpty() || !parts[1].startsWith('/') || !parts[2].startsWith("HTTP/1."))
        return request;
    request.method = parts[0];
    request.target = parts[1];

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        const QByteArray name = lines[i].left(colon).toLower();
        if (colon <= 0 || name.contains(' ') || name.contains('\t'))
            return request;
        const QByteArray value = lines[i].mid(colon + 1).trimmed();
        if (name == "host")
            request.host = value;
        else if (name == "origin")
            request.origin = value;
        else if (name == "upgrade")
            request.upgrade = value.toLower().contains("websocket");
        else if (name == "cookie")
            request.cookies += (request.cookies.isEmpty() ? "" : "; ") + value;
    }

    const qsizetype query = request.target.indexOf('?');
    request.path = query < 0 ? request.target : request.target.left(query);
    if (query >= 0) {
        for (const QByteArray &field : request.target.mid(query + 1).split('&')) {
            if (field.startsWith("token="))
                request.queryToken = field.mid(6);
        }
    }
    request.wellFormed = true;
    return request;
}

QByteArray cookieValue(const QByteArray &cookies, const QByteArray &name)
{
    for (const QByteArray &cookie : cookies.split(';')) {
        const QByteArray trimmed = cookie.trimmed();
        if (trimmed.startsWith(name + '='))
            return trimmed.mid(name.size() + 1);
    }
    return {};
}

// The page may run its own script and style (named by their digests) and talk to this server,
// nothing else: no other script, no frame, no form, no image but its empty icon.
QByteArray contentPolicyFor(const QByteArray &page)
{
    const auto digestOf = [&page](const QByteArray &open, const QByteArray &close) {
        const qsizetype start = page.indexOf(open);
        const qsizetype end = start < 0 ? -1 : page.indexOf(close, start + open.size());
        if (end < 0)
            return QByteArray("'none'");
        const QByteArray inner = page.mid(start + open.size(), end - start - open.size());
        return "'sha256-" + QCryptographicHash::hash(inner, QCryptographicHash::Sha256).toBase64() + '\'';
    };
    return "default-src 'none'; script-src " + digestOf("<script>", "</script>") + "; style-src "
           + digestOf("<style>", "</style>")
           + "; img-src data:; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

// Sees what a WebSocket client sends before the WebSocket's own reader does, which answers a frame
// without a mask like any other: connected to the connection's readyRead before the connection is
// handed over, this runs first on each piece that arrives and peeks at it without reading it.
// Until the WebSocket is accepted nothing may come beyond the handshake (a client waits for the
// answer first). Once it is, the frame heads are walked; the reader leaves the bytes of a head it
// cannot read whole yet in the connection, and what it leaves after each piece (seen by a slot
// connected after it) has been walked already.
class ClientStreamWatch : public QObject
{
public:
    static inline const QString Name = QStringLiteral("clientStreamWatch");

    // `early` runs when more than the handshake's `handshakeBytes` arrive before watch().
    ClientStreamWatch(QTcpSocket *connection, qint64 handshakeBytes, std::function<void()> early)
        : QObject(connection)
        , m_connection(connection)
        , m_handshakeBytes(handshakeBytes)
        , m_early(std::move(early))
    {
        setObjectName(Name);
        connect(connection, &QIODevice::readyRead, this, &ClientStreamWatch::beforeReader);
    }

    // The WebSocket is accepted (its reader is connected by now): walks its frames from here on;
    // `unmasked` runs at the first frame without a mask, before the reader sees it.
    void watch(std::function<void()> unmasked)
    {
        m_unmasked = std::move(unmasked);
        m_phase = Phase::Watching;
        m_seen = m_connection->bytesAvailable();
        connect(m_connection, &QIODevice::readyRead, this, &ClientStreamWatch::afterReader);
    }
    void stop() { m_phase = Phase::Stopped; }

private:
    enum class Phase { Handshake, Watching, Stopped };

    void beforeReader()
    {
        const qint64 available = m_connection->bytesAvailable();
        if (m_phase == Phase::Handshake && available > m_handshakeBytes) {
            m_phase = Phase::Stopped;
            m_early();
        } else if (m_phase == Phase::Watching && available > m_seen) {
            const QByteArray bytes = m_connection->peek(available);
            if (!m_check.take(bytes.constData() + m_seen, bytes.size() - m_seen)) {
                m_phase = Phase::Stopped;
                m_connection->skip(available); // the reader gets none of it
                m_unmasked();
                return;
            }
            m_seen = available;
        }
    }
    void afterReader()
    {
        if (m_phase == Phase::Watching)
            m_seen = m_connection->bytesAvailable();
    }

    QTcpSocket *m_connection;
    const qint64 m_handshakeBytes;
    std::function<void()> m_early;
    std::function<void()> m_unmasked;
    Phase m_phase = Phase::Handshake;
    qint64 m_seen = 0; // bytes at the front of the connection's buffer walked already
    ClientFrameCheck m_check;
};

ClientStreamWatch *streamWatch(const QTcpSocket *connection)
{
    return connection ? static_cast<ClientStreamWatch *>(connection->findChild<QObject *>(
                            ClientStreamWatch::Name, Qt::FindDirectChildrenOnly))
                      : nullptr;
}

} // namespace

WebViewServer::WebViewServer(quint16 port, const QHostAddress &address, QObject *parent, const WebViewSettings &settings)
    : QObject(parent)
    , m_token(settings.token.isEmpty() ? randomToken() : settings.token)
    , m_address(address)
    , m_lossless(settings.lossless)
{
    setViewerLimit(nullptr);
    QFile page(QStringLiteral(":/web/index.html"));
    if (page.open(QIODevice::ReadOnly))
        m_page = page.readAll();
    m_pagePolicy = contentPolicyFor(m_page);

    m_sockets = new QWebSocketServer(QStringLiteral("deskcast"), QWebSocketServer::NonSecureMode, this);
    connect(m_sockets, &QWebSocketServer::newConnection, this, &WebViewServer::acceptBrowsers);

    m_server = new QTcpServer(this);
    if (m_server->listen(address, port)) {
        // Cookies do not tell ports apart: each server on this machine keeps its own.
        m_cookieName = "deskcast-" + QByteArray::number(m_server->serverPort());
        FrameConsole::instance().report(StageEvent::notice(QStringLiteral("Web view: %1 (%2)").arg(pageUrl(), audience(address))));
    } else {
        FrameConsole::instance().report(StageEvent::failed(QStringLiteral("Web view not listening on %1 port %2 (%3): no browser can connect")
                                                           .arg(placeText(address))
                                                           .arg(port)
                                                           .arg(m_server->errorString())));
    }
    connect(m_server, &QTcpServer::newConnection, this, &WebViewServer::acceptConnections);
    m_liveness = new QTimer(this);
    connect(m_liveness, &QTimer::timeout, this, &WebViewServer::checkBrowsers);
    setViewerTimeout(DefaultViewerTimeoutMs);
}

WebViewServer::~WebViewServer()
{
    m_limit->removeKind(m_limitKind);
    // The connections still being read go with the TCP server; they must not call back here.
    for (QTcpSocket *socket : std::as_const(m_requests))
        disconnect(socket, nullptr, this, nullptr);
    m_requests.clear();
    for (const Browser &browser : std::as_const(m_browsers)) {
        disconnect(browser.socket, nullptr, this, nullptr);
        browser.socket->abort();
        delete browser.socket;
    }
    m_browsers.clear();
}

quint16 WebViewServer::serverPort() const
{
    return m_server->serverPort();
}

QString WebViewServer::pageUrl() const
{
    return baseUrl(m_address, serverPort()) + QStringLiteral("?token=") + m_token;
}

bool WebViewServer::isReady(const Browser &browser) const
{
    return browser.reserved + browser.unanswered < MaxFramesInFlight
           && browser.socket->state() == QAbstractSocket::ConnectedState && browser.socket->bytesToWrite() == 0;
}

bool WebViewServer::wantsFrame() const
{
    return std::any_of(m_browsers.begin(), m_browsers.end(), [this](const Browser &b) { return isReady(b); });
}

int WebViewServer::notReadyCount() const
{
    return int(std::count_if(m_browsers.begin(), m_browsers.end(), [this](const Browser &b) { return !isReady(b); }));
}

std::vector<WebFrameComposer::Recipient> WebViewServer::reserveReadyBrowsers()
{
    std::vector<WebFrameComposer::Recipient> reserved;
    for (Browser &browser : m_browsers) {
        if (!isReady(browser))
            continue;
        ++browser.reserved;
        reserved.push_back(WebFrameComposer::Recipient{browser.id, browser.whole});
        browser.whole = false;
    }
    return reserved;
}

std::vector<quint64> WebViewServer::browserIds() const
{
    std::vector<quint64> ids;
    for (const Browser &browser : m_browsers)
        ids.push_back(browser.id);
    return ids;
}

WebViewServer::Browser *WebViewServer::findBrowser(quint64 id)
{
    for (Browser &browser : m_browsers) {
        if (browser.id == id)
            return &browser;
    }
    return nullptr;
}

void WebViewServer::sendTo(quint64 id, const QByteArray &message)
{
    Browser *browser = findBrowser(id);
    if (!browser || browser->reserved == 0)
        return;
    --browser->reserved;
    ++browser->unanswered;
    // The frame before may not have left yet: both are queued on purpose.
    browser->frameBytes = message.size() + (browser->connection ? browser->connection->bytesToWrite() : 0);
    browser->socket->sendBinaryMessage(message);
    browser->socket->flush();
}

void WebViewServer::release(quint64 id)
{
    Browser *browser = findBrowser(id);
    if (browser && browser->reserved > 0)
        --browser->reserved;
}

void WebViewServer::sendState(QWebSocket *socket)
{
    socket->sendTextMessage(m_capturing ? QStringLiteral("capturing") : QStringLiteral("waiting"));
}

void WebViewServer::setCapturing(bool capturing)
{
    if (capturing == m_capturing)
        return;
    m_capturing = capturing;
    for (const Browser &browser : std::as_const(m_browsers))
        sendState(browser.socket);
}

void WebViewServer::setViewerLimit(ViewerLimit *limit)
{
    if (m_limitKind >= 0)
        m_limit->removeKind(m_limitKind);
    m_limit = limit ? limit : &m_ownLimit;
    m_limitKind = m_limit->addKind({[this] { return viewerCount(); }, [this] { (void)dropUnansweredBrowsers(); }});
}

void WebViewServer::setViewerTimeout(int milliseconds)
{
    m_viewerTimeoutMs = std::max(2, milliseconds);
    // A quiet browser is pinged at half the timeout and dropped within a quarter after it.
    m_liveness->setInterval(std::clamp(m_viewerTimeoutMs / 4, 1, 1000));
}

void WebViewServer::printRefusal(const QByteArray &peer, const QString &why)
{
    // A scan must not flood the console: a line a second at most, with what it left out.
    if (m_lastRefusalLine.isValid() && m_lastRefusalLine.elapsed() < RefusalLineIntervalMs) {
        ++m_unprintedRefusals;
        return;
    }
    QString line = QStringLiteral("Web view: refused %1: %2").arg(QString::fromLatin1(peer), why);
    if (m_unprintedRefusals > 0)
        line += QStringLiteral(" (and %1 more refused since the last line)").arg(m_unprintedRefusals);
    FrameConsole::instance().report(StageEvent{StageEvent::Kind::ViewerRefused, QString::fromLatin1(peer), line, -1});
    m_unprintedRefusals = 0;
    m_lastRefusalLine.start();
}

void WebViewServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        makeRoomFor(socket->peerAddress());
        // The socket takes in no more than one request's worth; the rest waits in the system.
        socket->setReadBufferSize(MaxRequestBytes + 1);
        m_requests.append(socket);
        connect(socket, &QIODevice::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QObject::destroyed, this, [this, socket] { m_requests.removeOne(socket); });
        auto *timer = new QTimer(socket);
        timer->setObjectName(QStringLiteral("requestTimer"));
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer); // its remaining time tells the request's age
        connect(timer, &QTimer::timeout, this, [this, socket] {
            refuse(socket, "408 Request Timeout",
                   QStringLiteral("no whole request within %1 ms").arg(RequestTimeoutMs));
        });
        timer->start(RequestTimeoutMs);
    }
}

void WebViewServer::makeRoomFor(const QHostAddress &peer)
{
    // Room for a newcomer: the oldest waiting request of its address when that address has its
    // share, else the oldest of all when every slot is taken. A browser sends its request at
    // once; what has waited longest is the least likely to be one. A request that has arrived
    // but not been read yet (connections accepted together) is read first.
    // Requests that have just come are not counted against their address: a browser opens
    // several connections at once, and their requests are on their way.
    const auto samePeer = [this, &peer](const QTcpSocket *other) {
        const auto *timer = other->findChild<QTimer *>(QStringLiteral("requestTimer"), Qt::FindDirectChildrenOnly);
        return other->peerAddress().isEqual(peer) && timer && RequestTimeoutMs - timer->remainingTime() >= PeerGraceMs;
    };
    for (;;) {
        QTcpSocket *oldest = nullptr;
        if (std::count_if(m_requests.begin(), m_requests.end(), samePeer) >= MaxRequestsPerPeer)
            oldest = *std::find_if(m_requests.begin(), m_requests.end(), samePeer);
        else if (m_requests.size() >= MaxRequests)
            oldest = m_requests.constFirst();
        if (!oldest)
            return;
        if (oldest->waitForReadyRead(0) && !m_requests.contains(oldest))
            continue; // it was whole: answered or handed on
        refuse(oldest, "408 Request Timeout",
               QStringLiteral("no whole request yet, and a newer connection needed its place (%1 wait at most, %2 per address)")
                   .arg(MaxRequests)
                   .arg(MaxRequestsPerPeer));
    }
}

void WebViewServer::readRequest(QTcpSocket *socket)
{
    if (!m_requests.contains(socket))
        return;
    const QByteArray data = socket->peek(MaxRequestBytes + 1);
    const qsizetype end = data.indexOf("\r\n\r\n");
    if (end < 0 || end + 4 > MaxRequestBytes) {
        if (data.size() > MaxRequestBytes)
            refuse(socket, "431 Request Header Fields Too Large", QStringLiteral("request too large"));
        return;
    }

    const Request request = parseRequest(data.left(end));
    if (!request.wellFormed) {
        refuse(socket, "400 Bad Request", QStringLiteral("malformed request"));
        return;
    }
    if (!isOwnHost(request.host)) {
        refuse(socket, "421 Misdirected Request",
               QStringLiteral("Host \"%1\" is none of this machine's names").arg(QString::fromLatin1(request.host.left(200))));
        return;
    }
    const QByteArray token = m_token.toLatin1();
    const bool tokenInLink = sameSecret(request.queryToken, token);
    if (!tokenInLink && !sameSecret(cookieValue(request.cookies, m_cookieName), token)) {
        refuse(socket, "403 Forbidden",
               request.queryToken.isEmpty() ? QStringLiteral("no token") : QStringLiteral("wrong token"));
        return;
    }
    if (request.method != "GET") {
        refuse(socket, "405 Method Not Allowed", QStringLiteral("only GET is served"));
        return;
    }
    if (request.path == "/" || request.path == "/index.html") {
        socket->skip(end + 4);
        forgetRequest(socket);
        if (tokenInLink) {
            // The token becomes a cookie, and the address bar (and history) loses it.
            respond(socket, "303 See Other", "text/plain; charset=utf-8", "See Other\n",
                    "Location: " + request.path + "\r\nSet-Cookie: " + m_cookieName + '=' + token
                        + "; Path=/; HttpOnly; SameSite=Strict\r\n");
        } else {
            respond(socket, "200 OK", "text/html; charset=utf-8", m_page, "Content-Security-Policy: " + m_pagePolicy + "\r\n");
        }
        return;
    }
    if (request.path == "/ws" && request.upgrade) {
        // A page of another site must not read the screen through the visitor's browser: a
        // browser always names the page's origin, and ours is served from this very host. The
        // token does not stand in for it: a link that has leaked into another site's page
        // still must not open the screen there; and a program that is no browser can name
        // the origin as well as our page does.
        if (request.origin != "http://" + request.host) {
            refuse(socket, "403 Forbidden",
                   request.origin.isEmpty() ? QStringLiteral("WebSocket without an Origin")
                                            : QStringLiteral("WebSocket opened by a page of another site (")
                                                  + QString::fromLatin1(request.origin.left(200)) + QLatin1Char(')'));
            return;
        }
        // A client sends nothing more before the handshake is answered.
        if (data.size() > end + 4) {
            refuse(socket, "400 Bad Request", QStringLiteral("WebSocket data sent before the handshake was answered"));
            return;
        }
        // The WebSocket server reads the handshake itself: it is still unread in the socket.
        forgetRequest(socket);
        disconnect(socket, nullptr, this, nullptr);
        disconnect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        m_handshakes.removeAll(nullptr);
        m_handshakes.append(socket);
        new ClientStreamWatch(socket, end + 4, [this, socket] {
            printRefusal(peerText(socket->peerAddress()), QStringLiteral("WebSocket data sent before the handshake was answered"));
            socket->abort();
        });
        m_sockets->handleConnection(socket);
        return;
    }
    refuse(socket, "404 Not Found", QStringLiteral("no such page: ") + QString::fromLatin1(request.target.left(200)));
}

void WebViewServer::forgetRequest(QTcpSocket *socket)
{
    m_requests.removeOne(socket);
    delete socket->findChild<QTimer *>(QStringLiteral("requestTimer"), Qt::FindDirectChildrenOnly);
}

void WebViewServer::respond(QTcpSocket *socket, const QByteArray &status, const QByteArray &type, const QByteArray &body,
                            const QByteArray &extraHeaders)
{
    // Whatever else the browser sends on this connection is dropped unread.
    disconnect(socket, &QIODevice::readyRead, this, nullptr);
    connect(socket, &QIODevice::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
    socket->write("HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: "
                  + QByteArray::number(body.size()) + "\r\n" + extraHeaders
                  + "Cache-Control: no-store\r\nReferrer-Policy: no-referrer\r\nX-Frame-Options: DENY\r\n"
                    "Connection: close\r\n\r\n"
                  + body);
    socket->disconnectFromHost();
}

void WebViewServer::refuse(QTcpSocket *socket, const QByteArray &status, const QString &why)
{
    forgetRequest(socket);
    printRefusal(peerText(socket->peerAddress()), why);
    QByteArray body = status.mid(4) + '\n';
    if (status.startsWith("403"))
        body += "Open the link that capture_server printed at start-up: it carries the token.\n";
    respond(socket, status, "text/plain; charset=utf-8", body);
}

void WebViewServer::acceptBrowsers()
{
    while (QWebSocket *socket = m_sockets->nextPendingConnection()) {
        socket->setParent(this);
        const QByteArray peer = peerText(socket->peerAddress());
        QTcpSocket *connection = takeConnection(socket);
        if (!m_limit->admit()) {
            FrameConsole::instance().report(StageEvent{StageEvent::Kind::ViewerRefused, QString::fromLatin1(peer),
                                                       QStringLiteral("Browser %1 refused: no more viewers are served")
                                                           .arg(QString::fromLatin1(peer)),
                                                       -1});
            closeWithReason(socket, connection, QStringLiteral("refused: already serving %1 viewers").arg(m_limit->maximum()),
                            false);
            continue;
        }
        // The page only ever says "ready"; anything longer is refused before it is kept. A
        // control frame (a ping) may carry up to 125 bytes.
        socket->setMaxAllowedIncomingFrameSize(MaxControlFrameBytes);
        socket->setMaxAllowedIncomingMessageSize(MaxMessageBytes);
        socket->setReadBufferSize(MaxRequestBytes);
        Browser browser;
        browser.socket = socket;
        browser.id = m_nextId++;
        browser.connection = connection;
        browser.quiet.start();
        browser.age.start();
        browser.pinged = true;
        socket->ping();
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &message) { receiveMessage(socket, message); });
        connect(socket, &QWebSocket::binaryMessageReceived, this,
                [this, socket] { dropBrowser(socket, QStringLiteral("the page sent binary data")); });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { dropBrowser(socket, QString()); });
        connect(socket, &QWebSocket::pong, this, [this, socket] {
            if (Browser *b = findBrowser(socket)) {
                b->quiet.start();
                b->pinged = false;
                b->answered = true;
            }
        });
        if (ClientStreamWatch *watch = streamWatch(connection)) {
            watch->watch([this, socket] {
                dropBrowser(socket, QStringLiteral("it sent a frame without a mask"), true,
                            QWebSocketProtocol::CloseCodeProtocolError);
            });
        }
        // What it sends is read, and answered (pings), before this runs.
        if (browser.connection)
            connect(browser.connection, &QIODevice::readyRead, this, [this, socket] { checkQueue(socket); });
        // A browser held back only by bytes still on their way is ready once they have left.
        connect(socket, &QWebSocket::bytesWritten, this, [this, socket] {
            const Browser *b = findBrowser(socket);
            if (b && isReady(*b))
                Q_EMIT browserReady();
        });
        m_browsers.append(browser);
        if (!m_liveness->isActive())
            m_liveness->start();
        FrameConsole::instance().report(StageEvent{StageEvent::Kind::ViewerJoined, QString::fromLatin1(peer),
                                                   QStringLiteral("Browser %1 connected!").arg(QString::fromLatin1(peer)), -1});
        sendState(socket);
        Q_EMIT browserReady();
    }
}

void WebViewServer::closeWithReason(QWebSocket *socket, QTcpSocket *connection, const QString &reason, bool reset,
                                    QWebSocketProtocol::CloseCode code)
{
    disconnect(socket, nullptr, this, nullptr);
    // A client that reads nothing would keep what is queued for it, and the connection, in the
    // system for long after it is closed here: it is reset instead.
    if (reset && connection) {
        const linger now{1, 0};
        ::setsockopt(int(connection->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    // The page shows the reason. A client that does not answer the close (or never reads as far
    // as it) is cut off soon.
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    if (const auto watch = streamWatch(connection))
        watch->stop();
    socket->close(code, reason.left(123));
    QTimer::singleShot(RequestTimeoutMs, socket, [socket] { socket->deleteLater(); });
    if (connection)
        endConnection(socket, connection);
}

void WebViewServer::endConnection(QWebSocket *socket, QTcpSocket *connection)
{
    // The connection made for the WebSocket is not the WebSocket's to delete: it goes with it.
    connect(socket, &QObject::destroyed, connection, [connection] {
        connection->abort();
        connection->deleteLater();
    });
}

QTcpSocket *WebViewServer::takeConnection(const QWebSocket *socket)
{
    QTcpSocket *found = nullptr;
    for (const QPointer<QTcpSocket> &connection : std::as_const(m_handshakes)) {
        if (connection && connection->peerPort() == socket->peerPort()
            && connection->peerAddress().isEqual(socket->peerAddress()))
            found = connection;
    }
    m_handshakes.removeAll(found);
    m_handshakes.removeAll(nullptr);
    return found;
}

WebViewServer::Browser *WebViewServer::findBrowser(const QWebSocket *socket)
{
    const auto found = std::find_if(m_browsers.begin(), m_browsers.end(), [socket](const Browser &b) { return b.socket == socket; });
    return found == m_browsers.end() ? nullptr : &*found;
}

int WebViewServer::dropUnansweredBrowsers()
{
    QList<QWebSocket *> silent;
    for (const Browser &browser : std::as_const(m_browsers)) {
        if (!browser.answered && browser.age.elapsed() >= AnswerMs)
            silent.append(browser.socket);
    }
    for (QWebSocket *socket : std::as_const(silent))
        dropBrowser(socket, QStringLiteral("it answered nothing in %1 ms, and a newcomer needed its place").arg(AnswerMs), false);
    return int(silent.size());
}

void WebViewServer::checkQueue(QWebSocket *socket)
{
    const Browser *browser = findBrowser(socket);
    if (!browser || !browser->connection)
        return;
    // A frame at most is queued for it on purpose; more is what it sends and never reads the
    // answers to.
    const qint64 queued = browser->connection->bytesToWrite();
    if (queued > browser->frameBytes + MaxQueuedBytes)
        dropBrowser(socket, QStringLiteral("it does not read what it is sent (%1 bytes wait for it)").arg(queued), false);
}

void WebViewServer::checkBrowsers()
{
    QList<std::pair<QWebSocket *, QString>> dead;
    for (Browser &browser : m_browsers) {
        // Taking bytes is a sign of life, as an answer is: a browser on a slow line may take
        // longer than the timeout for a frame.
        const qint64 queued = browser.connection ? bytesNotTaken(browser.connection) : browser.socket->bytesToWrite();
        if (queued < browser.queued) {
            browser.quiet.start();
            browser.pinged = false;
        }
        browser.queued = queued;
        const qint64 quiet = browser.quiet.elapsed();
        if (quiet >= m_viewerTimeoutMs) {
            dead.append({browser.socket, QStringLiteral("it gave no sign of life (took no byte, answered no ping) for %1 ms")
                                             .arg(m_viewerTimeoutMs)});
        } else if (quiet >= m_viewerTimeoutMs / 2 && !browser.pinged) {
            browser.pinged = true;
            browser.socket->ping();
        }
    }
    for (const auto &[socket, why] : std::as_const(dead))
        dropBrowser(socket, why, false);
    for (const Browser &browser : std::as_const(m_browsers))
        checkQueue(browser.socket);
}

void WebViewServer::receiveMessage(QWebSocket *socket, const QString &message)
{
    Browser *browser = findBrowser(socket);
    if (!browser)
        return;
    const QByteArray text = message.toLatin1();
    if ((text != ReadyMessage && text != ResyncMessage) || browser->unanswered == 0) {
        dropBrowser(socket, QStringLiteral("the page sent an unexpected message"));
        return;
    }
    --browser->unanswered;
    browser->whole = browser->whole || text == ResyncMessage;
    browser->quiet.start();
    browser->pinged = false;
    browser->answered = true;
    Q_EMIT browserReady();
}

void WebViewServer::dropBrowser(QWebSocket *socket, const QString &why, bool alive, QWebSocketProtocol::CloseCode code)
{
    const auto gone = std::find_if(m_browsers.begin(), m_browsers.end(),
                                   [socket](const Browser &b) { return b.socket == socket; });
    if (gone == m_browsers.end())
        return;
    QTcpSocket *connection = gone->connection;
    m_browsers.erase(gone);
    if (m_browsers.isEmpty())
        m_liveness->stop();
    if (why.isEmpty()) {
        FrameConsole::instance().report(StageEvent{StageEvent::Kind::ViewerLeft, QString::fromLatin1(peerText(socket->peerAddress())),
                                                   QStringLiteral("Browser disconnected!"), -1});
        disconnect(socket, nullptr, this, nullptr);
        if (connection)
            endConnection(socket, connection);
        socket->abort();
        socket->deleteLater();
    } else {
        const QString peer = QString::fromLatin1(peerText(socket->peerAddress()));
        FrameConsole::instance().report(StageEvent{StageEvent::Kind::ViewerLeft, peer,
                                                   QStringLiteral("Browser %1 disconnected: %2").arg(peer, why), -1});
        closeWithReason(socket, connection, QStringLiteral("dropped: ") + why, !alive, code);
    }
}
