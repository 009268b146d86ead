#pragma once

#include "imagehandler.h"
#include "capturedframe.h"
#include "frameconsole.h"
#include "orderedworker.h"
#include "viewerlimit.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTimer>

#include <memory>

class QTcpServer;
class QTcpSocket;

// Serves captured frames to every connected viewer (up to MaxViewers) over TCP. Each viewer has
// a one-frame queue: a frame goes to it only when its previous frame has left the socket,
// otherwise the tick prints "CLIENT NOT READY" for it and its frame is dropped. A frame is
// encoded once per tick, on the encoder's worker, and only when some viewer is ready for it; the
// bands that did not change since the frame encoded before keep their compressed bytes. Its
// console lines and its bytes follow on the GUI thread when the encoding is done, in order.
//
// A viewer's next frame may be encoded while its frame before is still being encoded (up to
// EncodingPerViewer of them): an encoding that takes a little longer than a tick then costs no
// frame. An encoded frame that finds the viewer's previous frame still in the socket is dropped
// with "CLIENT NOT READY" all the same, so the queue stays one frame.
//
// Only live viewers count against MaxViewers: connections their clients have already closed are
// let go before a newcomer is refused, and a viewer whose client has taken no byte for the viewer
// timeout is dropped (what the client has taken is counted from the system's send queue, not
// from what Qt has handed to the system, so a slow reader is not taken for a dead one). A refused
// client is sent RefusedLine (see frameparser.h) before the connection closes.
class TcpServerImagehandler : public ImageHandler
{
    Q_OBJECT
public:
    static constexpr int MaxViewers = ViewerLimit::DefaultMaximum;
    // Frames being encoded for one viewer at most.
    static constexpr int EncodingPerViewer = 2;

    explicit TcpServerImagehandler(quint16 port, const QHostAddress &address = QHostAddress::Any);
    ~TcpServerImagehandler() override;

    void startHandling(const ConfigStructure *config) override;
    void handleFrame(const CapturedFrame &frame) override;
    void stopHandling() override;
    static constexpr int DefaultViewerTimeoutMs = 10000;
    // At exit, the longest the GUI thread waits for the viewers to take what was sent to them.
    static constexpr int ShutdownSendMs = 2000;

    // Port listened on; 0 when listening failed.
    [[nodiscard]] quint16 serverPort() const;
    // Why listening failed ("" while listening).
    [[nodiscard]] QString listenError() const;
    // A viewer that takes no byte of its queued frame for this long is dropped.
    void setViewerTimeout(int milliseconds);
    [[nodiscard]] int viewerCount() const { return int(m_viewers.size()); }
    // Counts its viewers toward `limit` (shared with the web view's browsers; it must outlive
    // this server) instead of a limit of its own.
    void setViewerLimit(ViewerLimit *limit);
    // Waits for every frame still being encoded and sends it.
    void finishPendingFrames();

    struct EncoderState; // what the encoder's worker keeps between frames

Q_SIGNALS:
    // A viewer has connected or gone; `count` is viewerCount() after the change.
    void SIG_viewerCountChanged(int count);

public Q_SLOTS:
    void SLOT_startSendingimage();
    void SLOT_addClient();
    void SLOT_removeClient();

private:
    struct Viewer
    {
        QTcpSocket *socket = nullptr;
        int encoding = 0;           // frames being encoded for it
        qint64 frameBytes = 0;      // size of the frame written to it last
        QElapsedTimer frameClock;   // since that frame was written
        qint64 queued = 0;          // its bytes not yet taken by the client, when last looked at
        QElapsedTimer stalled;      // running while bytes wait for it and the client has taken none since
    };
    [[nodiscard]] Viewer *findViewer(const QTcpSocket *socket);
    void dropViewer(QTcpSocket *socket, const char *line);
    void dropClosedViewers();
    void dropStalledViewers();
    struct Encoded;
    void deliver(const QByteArray &stream, const QList<QPointer<QTcpSocket>> &recipients,
                 const ConsolePlace &consolePlace, qint64 number);

    QTcpServer *server = nullptr;
    QList<Viewer> m_viewers; // in the order they connected
    int m_viewerTimeoutMs = DefaultViewerTimeoutMs;
    QTimer m_stallCheck;
    std::shared_ptr<EncoderState> m_encoderState;
    OrderedWorker m_encoder{3}; // last member: its jobs end before the rest goes
    ViewerLimit m_ownLimit;
    ViewerLimit *m_limit = &m_ownLimit;
    int m_limitKind = -1; // this server's place in *m_limit
};
