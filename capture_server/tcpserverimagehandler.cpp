#include "tcpserverimagehandler.h"

#include "frameencoder.h"
#include "listenaddress.h"
#include "webviewserver.h"

#include <QDeadlineTimer>
#include <QFutureWatcher>
#include <QImage>
#include <QPixmap>
#include <QPromise>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <iostream>
#include <utility>

namespace {

// A viewer's address as people write it: IPv4 viewers of a dual-stack server without the
// "::ffff:" prefix.
QByteArray peerText(const QTcpSocket *socket)
{
    const QHostAddress peer = socket->peerAddress();
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    return (isIPv4 ? QHostAddress(ipv4) : peer).toString().toLatin1();
}

} // namespace

TcpServerImagehandler::TcpServerImagehandler(quint16 port, const QHostAddress &address)
    : m_encoders(std::make_unique<QThreadPool>())
{
    m_encoders->setMaxThreadCount(qMax(2, QThread::idealThreadCount()));

    server = new QTcpServer(this);
    const bool listening = server->listen(address, port);
    std::cout << "Server status:\n"
              << server->errorString().toLatin1().constData() << "\nPort: " << server->serverPort()
              << std::endl;
    if (listening) {
        std::cout << "Listening on " << audience(address).toLatin1().constData() << std::endl;
    } else {
        std::cout << "Not listening on " << placeText(address).toLatin1().constData() << " port " << port
                  << ": no viewer can connect" << std::endl;
    }
    connect(server, SIGNAL(newConnection()), this, SLOT(SLOT_addClient()));
}

TcpServerImagehandler::~TcpServerImagehandler()
{
    if (m_webView)
        m_webView->setAdmission(nullptr);
    // Frames still being encoded are not sent any more; the encoders only have to finish.
    m_encoders->waitForDone();
    for (PendingFrame &frame : m_pending)
        delete frame.watcher;
    m_pending.clear();

    // Frames already announced as sent should arrive whole: give them a little time to leave
    // before the connections close with the program.
    const QDeadlineTimer deadline(2000);
    for (const Viewer &viewer : std::as_const(m_viewers)) {
        while (viewer.socket->state() == QAbstractSocket::ConnectedState && viewer.socket->bytesToWrite() > 0
               && !deadline.hasExpired()) {
            if (!viewer.socket->waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
                break;
        }
    }
}

quint16 TcpServerImagehandler::serverPort() const
{
    return server->serverPort();
}

void TcpServerImagehandler::startHandling(const ConfigStructure *)
{
    std::cout << "Server started loop.\n" << std::endl;
}

int TcpServerImagehandler::handleImage(const QPixmap &frame)
{
    QList<QPointer<QTcpSocket>> ready;
    for (Viewer &viewer : m_viewers) {
        if (viewer.socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (viewer.awaitingFrame || viewer.socket->bytesToWrite() != 0) {
            std::cout << "CLIENT NOT READY" << std::endl;
            continue;
        }
        viewer.awaitingFrame = true;
        ready.append(viewer.socket);
    }
    const bool forWebView = m_webView && !m_webFrameEncoding && m_webView->wantsFrame();
    if (ready.isEmpty() && !forWebView)
        return 0;
    m_webFrameEncoding = m_webFrameEncoding || forWebView;

    // The pixmap is only valid during this call; the image shares its pixels and keeps them.
    const QImage image = frame.toImage();
    auto promise = std::make_shared<QPromise<QByteArray>>();
    PendingFrame pending;
    pending.encoded = promise->future();
    pending.recipients = ready;
    pending.forWebView = forWebView;
    pending.watcher = new QFutureWatcher<QByteArray>(this);
    connect(pending.watcher, &QFutureWatcherBase::finished, this,
            &TcpServerImagehandler::deliverFinishedFrames);
    pending.watcher->setFuture(pending.encoded);
    m_pending.append(pending);

    promise->start();
    m_encoders->start([promise, image] {
        promise->addResult(encodeFrame(image));
        promise->finish();
    });
    return 0;
}

void TcpServerImagehandler::stopHandling()
{
    finishPendingFrames();
    std::cout << "Server ended loop.\n" << std::endl;
}

void TcpServerImagehandler::setWebView(WebViewServer *webView)
{
    m_webView = webView;
    webView->setAdmission([this] { return m_viewers.size() + m_webView->viewerCount() < MaxViewers; });
}

void TcpServerImagehandler::finishPendingFrames()
{
    for (PendingFrame &frame : m_pending)
        frame.encoded.waitForFinished();
    deliverFinishedFrames();
}

void TcpServerImagehandler::SLOT_startSendingimage()
{
}

void TcpServerImagehandler::SLOT_addClient()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        const QByteArray peer = peerText(socket);
        if (m_viewers.size() + (m_webView ? m_webView->viewerCount() : 0) >= MaxViewers) {
            std::cout << "Client " << peer.constData() << " refused: already serving " << MaxViewers
                      << " viewers" << std::endl;
            socket->disconnectFromHost();
            socket->deleteLater();
            continue;
        }
        connect(socket, SIGNAL(disconnected()), this, SLOT(SLOT_removeClient()));
        // Viewers have nothing to say; whatever they send is read and dropped so it never piles up.
        connect(socket, &QIODevice::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
        m_viewers.append(Viewer{socket, false});
        std::cout << "Client " << peer.constData() << " connected!" << std::endl;
    }
}

void TcpServerImagehandler::SLOT_removeClient()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    const auto gone = std::find_if(m_viewers.begin(), m_viewers.end(),
                                   [socket](const Viewer &viewer) { return viewer.socket == socket; });
    if (gone == m_viewers.end())
        return;
    std::cout << "Client disconnected!" << std::endl;
    m_viewers.erase(gone);
    socket->abort();
    socket->deleteLater();
}

TcpServerImagehandler::Viewer *TcpServerImagehandler::findViewer(const QTcpSocket *socket)
{
    for (Viewer &viewer : m_viewers) {
        if (viewer.socket == socket)
            return &viewer;
    }
    return nullptr;
}

void TcpServerImagehandler::deliverFinishedFrames()
{
    // Frames go out in capture order, so a frame waits for any earlier one still encoding.
    while (!m_pending.isEmpty() && m_pending.constFirst().encoded.isFinished()) {
        PendingFrame frame = m_pending.takeFirst();
        deliver(frame);
        frame.watcher->deleteLater();
    }
}

void TcpServerImagehandler::deliver(PendingFrame &frame)
{
    const QByteArray bytes = frame.encoded.result();
    for (const QPointer<QTcpSocket> &socket : std::as_const(frame.recipients)) {
        Viewer *viewer = findViewer(socket.data());
        if (!viewer)
            continue; // gone while its frame was encoded
        viewer->awaitingFrame = false;
        if (socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (bytes.isEmpty()) {
            std::cout << "Could not encode the frame: dropped" << std::endl;
            continue;
        }
        socket->write(bytes);
        std::cout << "Buffer length " << bytes.size() << std::endl;
        std::cout << "Image buffered to socket " << socket->bytesToWrite() << std::endl;
        // Hand the bytes to the system now rather than on the next pass of the event loop, so
        // the viewer is ready again as early as it can be.
        socket->flush();
    }
    if (frame.forWebView) {
        m_webFrameEncoding = false;
        // Browsers get the PNG file that follows the 8-byte length and the 4-byte marker.
        constexpr qsizetype PngOffset = 12;
        if (m_webView && bytes.size() > PngOffset)
            m_webView->sendFrame(QByteArray::fromRawData(bytes.constData() + PngOffset, bytes.size() - PngOffset));
    }
}
