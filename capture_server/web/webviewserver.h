#pragma once

#include "viewerlimit.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QWebSocketProtocol>

#include "webframecomposer.h"

#include <functional>
#include <vector>

class QTcpServer;
class QTimer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

struct WebViewSettings
{
    QString token;         // the secret in the link; empty: a new random one
    bool lossless = false; // never send lossy pieces
};

// The web view's server side: one port that answers "GET /" with a page showing the live capture
// and takes the page's WebSocket at "/ws", and the browsers connected there. Frames are made and
// handed to it by WebFrameBroadcaster; each arrives as one binary message (the bands the browser
// does not show yet, see WebFrameComposer). Each browser has at most MaxFramesInFlight frames
// in flight: a frame is in flight from the moment it is being made for the browser until the
// page has answered "ready" (or "resync": the next frame whole, please); a new one is begun only
// once what was sent before has left the socket. Browsers that are not ready are left out of a
// frame. With two in flight the next frame is made while the one before travels and is
// answered, so neither the making nor the round trip holds the page back a whole tick. Text messages to the page say whether a capture runs
// ("capturing") or not ("waiting").
//
// Only the holders of the link get in: the link that the start-up line prints carries a random
// token; the first request with it gets the token as a cookie (HttpOnly, SameSite=Strict) and a
// redirect to the address without it. Every request needs the token or the cookie (403
// otherwise), and its Host must be one of this machine's names or addresses (421 otherwise),
// which keeps out pages of other sites that have their own name resolve to this machine. A
// WebSocket opened by a page of another origin is refused too. Refusals print at most one line
// a second.
//
// Nothing a browser sends can make the server keep more than a few KiB for it: a request is at
// most MaxRequestBytes, and its head must be complete within RequestTimeoutMs. At most
// MaxRequests requests wait at once, at most MaxRequestsPerPeer of them from one address (that
// have waited PeerGraceMs or more); a new
// connection beyond either makes the oldest waiting one (of that address, or of all) go, so
// connections that never finish their request cannot keep a real browser out. A WebSocket
// message other than "ready" closes that connection, and so do more than MaxQueuedBytes queued
// for a browser beyond the frame it was sent (e.g. answers to pings it never reads). A frame
// without a mask closes it too (status 1002, protocol error), before anything reads the frame,
// and so does data sent before the WebSocket's handshake was answered.
//
// Only live browsers count: a browser that has given no sign of life (taken no byte, answered no
// ping, sent no message) for the viewer timeout is dropped; one that is quiet for half of it is
// pinged. A browser is pinged as it connects, and when every place is taken, those that have not
// answered within AnswerMs go for a newcomer. A browser that is refused or dropped is
// told why in the WebSocket's close reason.
class WebViewServer : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype MaxRequestBytes = 8192;
    static constexpr int MaxRequests = 16;
    static constexpr int MaxRequestsPerPeer = 4;
    static constexpr int PeerGraceMs = 500; // a request this young does not count for its address
    static constexpr int RequestTimeoutMs = 3000;
    static constexpr int MaxMessageBytes = 64;
    static constexpr int MaxControlFrameBytes = 125; // a ping's largest legal payload
    static constexpr qint64 MaxQueuedBytes = 64 * 1024;
    static constexpr int MaxFramesInFlight = 2;
    static constexpr int DefaultMaxBrowsers = ViewerLimit::DefaultMaximum;
    static constexpr int DefaultViewerTimeoutMs = 10000;
    // A browser is pinged as it connects; those that have not answered within this long go for
    // a newcomer when every place is taken.
    static constexpr int AnswerMs = 1000;

    static constexpr int TokenBytes = 16; // 128 bits

    // Listens at once and prints the address to open, or why no browser can connect.
    explicit WebViewServer(quint16 port, const QHostAddress &address = QHostAddress::Any,
                           QObject *parent = nullptr, const WebViewSettings &settings = WebViewSettings());
    ~WebViewServer() override;

    // Port listened on; 0 when listening failed.
    [[nodiscard]] quint16 serverPort() const;
    // True when some browser is ready for a frame.
    [[nodiscard]] bool wantsFrame() const;
    // Browsers connected to the WebSocket (ready or not).
    [[nodiscard]] int viewerCount() const { return int(m_browsers.size()); }
    // Browsers connected but not ready for a frame.
    [[nodiscard]] int notReadyCount() const;
    // Takes every ready browser for a frame: they are not ready again until sendTo() or
    // release() (a browser that goes meanwhile is simply gone).
    [[nodiscard]] std::vector<WebFrameComposer::Recipient> reserveReadyBrowsers();
    // Every browser connected now.
    [[nodiscard]] std::vector<quint64> browserIds() const;
    // Sends a frame made for a reserved browser / hands it back unsent.
    void sendTo(quint64 id, const QByteArray &message);
    void release(quint64 id);
    // Tells every page whether a capture runs.
    void setCapturing(bool capturing);

    [[nodiscard]] const QString &token() const { return m_token; }
    [[nodiscard]] bool isLossless() const { return m_lossless; }
    // The address to open from this machine, token included.
    [[nodiscard]] QString pageUrl() const;

    // Counts its browsers toward `limit` (shared with the TCP viewers; it must outlive this
    // server) instead of a limit of its own of DefaultMaxBrowsers; a browser whose WebSocket
    // finds the limit reached is refused.
    void setViewerLimit(ViewerLimit *limit);
    // A browser that gives no sign of life for this long is dropped.
    void setViewerTimeout(int milliseconds);
    // Drops the browsers that have not answered anything (a ping, a frame) within AnswerMs of
    // connecting; returns how many. Called when every place is taken.
    int dropUnansweredBrowsers();

Q_SIGNALS:
    // A browser has become ready for a frame (connected, or answered one).
    void browserReady();

private:
    struct Browser
    {
        QWebSocket *socket = nullptr;
        quint64 id = 0;
        int reserved = 0;   // frames being made for it
        int unanswered = 0; // frames sent that the page has not answered yet
        bool whole = false; // asked for a whole frame
        QTcpSocket *connection = nullptr; // the WebSocket's own connection (owned by it)
        qint64 frameBytes = 0;            // what was queued for it on purpose as its last frame was sent
        qint64 queued = 0;                // its bytes not yet taken, when last looked at
        QElapsedTimer quiet;              // since its last sign of life
        bool pinged = false;              // pinged since then
        bool answered = false;            // has answered a ping or sent a message
        QElapsedTimer age;                // since it connected
    };
    [[nodiscard]] Browser *findBrowser(quint64 id);
    void sendState(QWebSocket *socket);
    void printRefusal(const QByteArray &peer, const QString &why);

    void acceptConnections();
    void readRequest(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QByteArray &status, const QByteArray &type, const QByteArray &body,
                 const QByteArray &extraHeaders = {});
    void refuse(QTcpSocket *socket, const QByteArray &status, const QString &why);
    void forgetRequest(QTcpSocket *socket);
    void makeRoomFor(const QHostAddress &peer);
    void acceptBrowsers();
    void receiveMessage(QWebSocket *socket, const QString &message);
    // Drops a browser; `why` empty: it has gone. A browser that is not `alive` (reads nothing)
    // is reset rather than closed; one that is is told `code` and why.
    void dropBrowser(QWebSocket *socket, const QString &why, bool alive = true,
                     QWebSocketProtocol::CloseCode code = QWebSocketProtocol::CloseCodePolicyViolated);
    void closeWithReason(QWebSocket *socket, QTcpSocket *connection, const QString &reason, bool reset,
                         QWebSocketProtocol::CloseCode code = QWebSocketProtocol::CloseCodePolicyViolated);
    void endConnection(QWebSocket *socket, QTcpSocket *connection);
    // The connection the WebSocket server made `socket` of (it owns it), taken off the list.
    [[nodiscard]] QTcpSocket *takeConnection(const QWebSocket *socket);
    void checkBrowsers();
    void checkQueue(QWebSocket *socket);
    [[nodiscard]] Browser *findBrowser(const QWebSocket *socket);
    [[nodiscard]] bool isReady(const Browser &browser) const;

    QTcpServer *m_server = nullptr;
    QWebSocketServer *m_sockets = nullptr;
    QList<QTcpSocket *> m_requests; // connections whose request is still being read, oldest first
    QList<Browser> m_browsers;      // in the order they connected
    QList<QPointer<QTcpSocket>> m_handshakes; // connections handed to the WebSocket server
    ViewerLimit m_ownLimit;
    ViewerLimit *m_limit = &m_ownLimit;
    int m_limitKind = -1; // this server's place in *m_limit
    QByteArray m_page;
    QByteArray m_pagePolicy; // its Content-Security-Policy
    QString m_token;
    QByteArray m_cookieName;
    QHostAddress m_address;
    bool m_lossless = false;
    bool m_capturing = false;
    quint64 m_nextId = 1;
    int m_viewerTimeoutMs = DefaultViewerTimeoutMs;
    QTimer *m_liveness = nullptr;
    QElapsedTimer m_lastRefusalLine; // invalid: none printed yet
    int m_unprintedRefusals = 0;
};
