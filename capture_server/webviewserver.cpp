#include "webviewserver.h"

#include "listenaddress.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <iostream>
#include <utility>

namespace {

const QByteArray ReadyMessage = QByteArrayLiteral("ready");

QByteArray peerText(const QHostAddress &peer)
{
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    return (isIPv4 ? QHostAddress(ipv4) : peer).toString().toLatin1();
}

// The address to open in a browser on a server bound to `address`.
QString pageUrl(const QHostAddress &address, quint16 port)
{
    QString host = isEveryAddress(address) ? QStringLiteral("localhost") : address.toString();
    if (address.protocol() == QAbstractSocket::IPv6Protocol && !isEveryAddress(address))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    return QStringLiteral("http://%1:%2/").arg(host).arg(port);
}

// What a browser asked for in the head of its request.
struct Request
{
    enum class Kind { Page, WebSocket, NotFound, BadMethod, Malformed, ForeignOrigin };
    Kind kind = Kind::Malformed;
    QByteArray target;
    QByteArray origin;
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
    request.target = parts[1];

    QByteArray host;
    bool upgrade = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        const QByteArray name = lines[i].left(colon).toLower();
        if (colon <= 0 || name.contains(' ') || name.contains('\t'))
            return request;
        const QByteArray value = lines[i].mid(colon + 1).trimmed();
        if (name == "host")
            host = value;
        else if (name == "origin")
            request.origin = value;
        else if (name == "upgrade")
            upgrade = value.toLower().contains("websocket");
    }

    const qsizetype query = request.target.indexOf('?');
    const QByteArray path = query < 0 ? request.target : request.target.left(query);
    if (parts[0] != "GET") {
        request.kind = Request::Kind::BadMethod;
    } else if (path == "/" || path == "/index.html") {
        request.kind = Request::Kind::Page;
    } else if (path == "/ws" && upgrade) {
        // A page of another site must not read the screen through the visitor's browser: a
        // browser always names the page's origin, and ours is served from this very host.
        const bool sameSite = request.origin.isEmpty() || request.origin == "http://" + host;
        request.kind = sameSite ? Request::Kind::WebSocket : Request::Kind::ForeignOrigin;
    } else {
        request.kind = Request::Kind::NotFound;
    }
    return request;
}

} // namespace

WebViewServer::WebViewServer(quint16 port, const QHostAddress &address, QObject *parent)
    : QObject(parent)
{
    setAdmission(nullptr);
    QFile page(QStringLiteral(":/web/index.html"));
    if (page.open(QIODevice::ReadOnly))
        m_page = page.readAll();

    m_sockets = new QWebSocketServer(QStringLiteral("deskcast"), QWebSocketServer::NonSecureMode, this);
    connect(m_sockets, &QWebSocketServer::newConnection, this, &WebViewServer::acceptBrowsers);

    m_server = new QTcpServer(this);
    if (m_server->listen(address, port)) {
        std::cout << "Web view: " << pageUrl(address, m_server->serverPort()).toLatin1().constData() << " ("
                  << audience(address).toLatin1().constData() << ")" << std::endl;
    } else {
        std::cout << "Web view not listening on " << placeText(address).toLatin1().constData() << " port " << port
                  << " (" << m_server->errorString().toLatin1().constData() << "): no browser can connect"
                  << std::endl;
    }
    connect(m_server, &QTcpServer::newConnection, this, &WebViewServer::acceptConnections);
}

WebViewServer::~WebViewServer()
{
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

bool WebViewServer::isReady(const Browser &browser) const
{
    return !browser.frameInFlight && browser.socket->state() == QAbstractSocket::ConnectedState
           && browser.socket->bytesToWrite() == 0;
}

bool WebViewServer::wantsFrame() const
{
    return std::any_of(m_browsers.begin(), m_browsers.end(), [this](const Browser &b) { return isReady(b); });
}

int WebViewServer::notReadyCount() const
{
    return int(std::count_if(m_browsers.begin(), m_browsers.end(), [this](const Browser &b) { return !isReady(b); }));
}

int WebViewServer::sendFrame(const QByteArray &png)
{
    int sent = 0;
    for (Browser &browser : m_browsers) {
        if (!isReady(browser))
            continue;
        browser.frameInFlight = true;
        browser.socket->sendBinaryMessage(png);
        browser.socket->flush();
        ++sent;
    }
    return sent;
}

void WebViewServer::setAdmission(std::function<bool()> mayAdmit)
{
    if (mayAdmit)
        m_mayAdmit = std::move(mayAdmit);
    else
        m_mayAdmit = [this] { return m_browsers.size() < DefaultMaxBrowsers; };
}

void WebViewServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        if (m_requests.size() >= MaxRequests) {
            std::cout << "Web view: refused " << peerText(socket->peerAddress()).constData() << ": already "
                      << MaxRequests << " requests waiting" << std::endl;
            socket->abort();
            continue;
        }
        // The socket takes in no more than one request's worth; the rest waits in the system.
        socket->setReadBufferSize(MaxRequestBytes + 1);
        m_requests.append(socket);
        connect(socket, &QIODevice::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QObject::destroyed, this, [this, socket] { m_requests.removeOne(socket); });
        auto *timer = new QTimer(socket);
        timer->setObjectName(QStringLiteral("requestTimer"));
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, socket] {
            refuse(socket, "408 Request Timeout",
                   QStringLiteral("no whole request within %1 s").arg(RequestTimeoutMs / 1000));
        });
        timer->start(RequestTimeoutMs);
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
    switch (request.kind) {
    case Request::Kind::Page:
        socket->skip(end + 4);
        forgetRequest(socket);
        respond(socket, "200 OK", "text/html; charset=utf-8", m_page);
        return;
    case Request::Kind::WebSocket:
        // The WebSocket server reads the handshake itself: it is still unread in the socket.
        forgetRequest(socket);
        disconnect(socket, nullptr, this, nullptr);
        disconnect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        m_sockets->handleConnection(socket);
        return;
    case Request::Kind::NotFound:
        refuse(socket, "404 Not Found", QStringLiteral("no such page: ") + QString::fromLatin1(request.target.left(200)));
        return;
    case Request::Kind::BadMethod:
        refuse(socket, "405 Method Not Allowed", QStringLiteral("only GET is served"));
        return;
    case Request::Kind::ForeignOrigin:
        refuse(socket, "403 Forbidden",
               QStringLiteral("WebSocket opened by a page of another site (") + QString::fromLatin1(request.origin.left(200))
                   + QLatin1Char(')'));
        return;
    case Request::Kind::Malformed:
        refuse(socket, "400 Bad Request", QStringLiteral("malformed request"));
        return;
    }
}

void WebViewServer::forgetRequest(QTcpSocket *socket)
{
    m_requests.removeOne(socket);
    delete socket->findChild<QTimer *>(QStringLiteral("requestTimer"), Qt::FindDirectChildrenOnly);
}

void WebViewServer::respond(QTcpSocket *socket, const QByteArray &status, const QByteArray &type, const QByteArray &body)
{
    // Whatever else the browser sends on this connection is dropped unread.
    disconnect(socket, &QIODevice::readyRead, this, nullptr);
    connect(socket, &QIODevice::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
    socket->write("HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: "
                  + QByteArray::number(body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
}

void WebViewServer::refuse(QTcpSocket *socket, const QByteArray &status, const QString &why)
{
    forgetRequest(socket);
    std::cout << "Web view: refused " << peerText(socket->peerAddress()).constData() << ": "
              << why.toLatin1().constData() << std::endl;
    respond(socket, status, "text/plain; charset=utf-8", status.mid(4) + '\n');
}

void WebViewServer::acceptBrowsers()
{
    while (QWebSocket *socket = m_sockets->nextPendingConnection()) {
        socket->setParent(this);
        const QByteArray peer = peerText(socket->peerAddress());
        if (!m_mayAdmit()) {
            std::cout << "Browser " << peer.constData() << " refused: no more viewers are served" << std::endl;
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // The page only ever says "ready"; anything longer is refused before it is kept.
        socket->setMaxAllowedIncomingFrameSize(MaxMessageBytes);
        socket->setMaxAllowedIncomingMessageSize(MaxMessageBytes);
        socket->setReadBufferSize(MaxRequestBytes);
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &message) { receiveMessage(socket, message); });
        connect(socket, &QWebSocket::binaryMessageReceived, this,
                [this, socket] { dropBrowser(socket, QStringLiteral("the page sent binary data")); });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { dropBrowser(socket, QString()); });
        m_browsers.append(Browser{socket, false});
        std::cout << "Browser " << peer.constData() << " connected!" << std::endl;
        Q_EMIT browserConnected();
    }
}

void WebViewServer::receiveMessage(QWebSocket *socket, const QString &message)
{
    const auto browser = std::find_if(m_browsers.begin(), m_browsers.end(),
                                      [socket](const Browser &b) { return b.socket == socket; });
    if (browser == m_browsers.end())
        return;
    if (message.toLatin1() != ReadyMessage || !browser->frameInFlight) {
        dropBrowser(socket, QStringLiteral("the page sent an unexpected message"));
        return;
    }
    browser->frameInFlight = false;
}

void WebViewServer::dropBrowser(QWebSocket *socket, const QString &why)
{
    const auto gone = std::find_if(m_browsers.begin(), m_browsers.end(),
                                   [socket](const Browser &b) { return b.socket == socket; });
    if (gone == m_browsers.end())
        return;
    m_browsers.erase(gone);
    if (why.isEmpty()) {
        std::cout << "Browser disconnected!" << std::endl;
    } else {
        std::cout << "Browser " << peerText(socket->peerAddress()).constData() << " disconnected: "
                  << why.toLatin1().constData() << std::endl;
    }
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
    Q_EMIT browserDisconnected();
}
