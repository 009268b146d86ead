#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>

#include <functional>

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

// The web view: one port that answers "GET /" with a page showing the live capture and takes
// the page's WebSocket at "/ws", over which every frame arrives as one binary message holding
// the frame's PNG file. Each browser has at most one frame in flight: after a frame it is ready
// again only when the frame has left the socket and the page has answered "ready" (the page
// says so as soon as it starts decoding). Browsers that are not ready are left out of a frame.
//
// Nothing a browser sends can make the server keep more than a few KiB for it: a request is at
// most MaxRequestBytes, at most MaxRequests requests wait at once, each for at most
// RequestTimeoutMs, and a WebSocket message other than "ready" closes that connection.
class WebViewServer : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype MaxRequestBytes = 8192;
    static constexpr int MaxRequests = 16;
    static constexpr int RequestTimeoutMs = 10000;
    static constexpr int MaxMessageBytes = 64;
    static constexpr int DefaultMaxBrowsers = 16;

    // Listens at once and prints the address to open, or why no browser can connect.
    explicit WebViewServer(quint16 port, const QHostAddress &address = QHostAddress::Any,
                           QObject *parent = nullptr);
    ~WebViewServer() override;

    // Port listened on; 0 when listening failed.
    [[nodiscard]] quint16 serverPort() const;
    // True when some browser is ready for a frame.
    [[nodiscard]] bool wantsFrame() const;
    // Browsers connected to the WebSocket (ready or not).
    [[nodiscard]] int viewerCount() const { return int(m_browsers.size()); }
    // Browsers connected but not ready for a frame.
    [[nodiscard]] int notReadyCount() const;
    // Sends `png` (a whole PNG file) to every ready browser; the others are skipped. The bytes
    // are copied into the sockets during the call. Returns the number of browsers it went to.
    int sendFrame(const QByteArray &png);

    // Asked whenever a browser's WebSocket would be accepted; false refuses it (e.g. because
    // the viewers of every kind together are at their limit). By default at most
    // DefaultMaxBrowsers browsers are accepted; an empty function restores that.
    void setAdmission(std::function<bool()> mayAdmit);

Q_SIGNALS:
    void browserConnected();
    void browserDisconnected();

private:
    struct Browser
    {
        QWebSocket *socket = nullptr;
        bool frameInFlight = false; // sent, not yet answered with "ready"
    };

    void acceptConnections();
    void readRequest(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QByteArray &status, const QByteArray &type, const QByteArray &body);
    void refuse(QTcpSocket *socket, const QByteArray &status, const QString &why);
    void forgetRequest(QTcpSocket *socket);
    void acceptBrowsers();
    void receiveMessage(QWebSocket *socket, const QString &message);
    void dropBrowser(QWebSocket *socket, const QString &why);
    [[nodiscard]] bool isReady(const Browser &browser) const;

    QTcpServer *m_server = nullptr;
    QWebSocketServer *m_sockets = nullptr;
    QList<QTcpSocket *> m_requests; // connections whose request is still being read
    QList<Browser> m_browsers;      // in the order they connected
    std::function<bool()> m_mayAdmit;
    QByteArray m_page;
};
