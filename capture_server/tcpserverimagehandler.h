#pragma once

#include "imagehandler.h"

#include <QByteArray>
#include <QFuture>
#include <QHostAddress>
#include <QList>
#include <QPointer>

#include <memory>

class QTcpServer;
class WebViewServer;
class QTcpSocket;
class QThreadPool;
template <typename T>
class QFutureWatcher;

// Serves captured frames to every connected viewer (up to MaxViewers) over TCP. Each viewer has
// a one-frame queue: a frame goes to it only when its previous frame has left the socket,
// otherwise the tick prints "CLIENT NOT READY" for it and its frame is dropped. A frame is
// encoded once per tick, off the GUI thread, and only when some viewer is ready for it; its
// console lines and its bytes follow on the GUI thread when the encoding is done.
class TcpServerImagehandler : public ImageHandler
{
    Q_OBJECT
public:
    static constexpr int MaxViewers = 16;

    explicit TcpServerImagehandler(quint16 port, const QHostAddress &address = QHostAddress::Any);
    ~TcpServerImagehandler() override;

    void startHandling(const ConfigStructure *config) override;
    int handleImage(const QPixmap &frame) override;
    void stopHandling() override;

    // Port listened on; 0 when listening failed.
    [[nodiscard]] quint16 serverPort() const;
    [[nodiscard]] int viewerCount() const { return int(m_viewers.size()); }
    // Also hands the PNG of a frame to the web view's browsers when some of them is ready; they
    // count toward MaxViewers.
    void setWebView(WebViewServer *webView);
    // Waits for every frame still being encoded and sends it.
    void finishPendingFrames();

public Q_SLOTS:
    void SLOT_startSendingimage();
    void SLOT_addClient();
    void SLOT_removeClient();

private:
    struct Viewer
    {
        QTcpSocket *socket = nullptr;
        bool awaitingFrame = false; // a frame is being encoded for it
    };
    struct PendingFrame
    {
        QFuture<QByteArray> encoded;
        QList<QPointer<QTcpSocket>> recipients;
        QFutureWatcher<QByteArray> *watcher = nullptr;
        bool forWebView = false;
    };

    [[nodiscard]] Viewer *findViewer(const QTcpSocket *socket);
    void deliverFinishedFrames();
    void deliver(PendingFrame &frame);

    QTcpServer *server = nullptr;
    QList<Viewer> m_viewers;         // in the order they connected
    QList<PendingFrame> m_pending; // in capture order
    std::unique_ptr<QThreadPool> m_encoders;
    QPointer<WebViewServer> m_webView;
    bool m_webFrameEncoding = false; // a frame for the web view is being encoded
};
