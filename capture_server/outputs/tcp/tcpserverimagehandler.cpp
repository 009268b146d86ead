#include "tcpserverimagehandler.h"

#include "bandedpng.h"
#include "frameconsole.h"
#include "frameparser.h"
#include "listenaddress.h"
#include "socketstate.h"
#include "stagetimeline.h"
#include "webviewserver.h"

#include <QDeadlineTimer>
#include <QImage>
#include <QPixmap>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

} // namespace

struct TcpServerImagehandler::EncoderState
{
    BandedPngEncoder png; // keeps each band's compressed bytes for the next frame
    LastFrame last;       // the frame encoded last
};

TcpServerImagehandler::TcpServerImagehandler(quint16 port, const QHostAddress &address)
    : m_encoderState(std::make_shared<EncoderState>())
{
    server = new QTcpServer(this);
    const bool listening = server->listen(address, port);
    FrameConsole::instance().report(StageEvent::notice(
        QStringLiteral("Server status:\n%1\nPort: %2").arg(server->errorString()).arg(server->serverPort())));
    if (listening) {
        FrameConsole::instance().report(StageEvent::notice(QLatin1String("Listening on ") + audience(address)));
    } else {
        FrameConsole::instance().report(StageEvent::failed(
            QStringLiteral("Not listening on %1 port %2: no viewer can connect").arg(placeText(address)).arg(port)));
    }
    connect(server, SIGNAL(newConnection()), this, SLOT(SLOT_addClient()));
    setViewerTimeout(DefaultViewerTimeoutMs);
    setViewerLimit(nullptr);
    connect(&m_stallCheck, &QTimer::timeout, this, &TcpServerImagehandler::dropStalledViewers);
}

TcpServerImagehandler::~TcpServerImagehandler()
{
    m_limit->removeKind(m_limitKind);
    // Frames still being encoded are not sent any more (the encoder's worker finishes with the
    // last member).
    // Frames already announced as sent should arrive whole: give them a little time to leave
    // before the connections close with the program, at most ShutdownSendMs in all, and say so.
    const auto unsent = [](const Viewer &viewer) {
        return viewer.socket->state() == QAbstractSocket::ConnectedState && viewer.socket->bytesToWrite() > 0;
    };
    const auto countUnsent = [&] { return std::count_if(m_viewers.cbegin(), m_viewers.cend(), unsent); };
    if (const auto waiting = countUnsent(); waiting > 0) {
        FrameConsole::instance().report(StageEvent::notice(QStringLiteral("Sending the rest of the last frame to %1 viewers (at most %2 s)")
                                                           .arg(waiting)
                                                           .arg(ShutdownSendMs / 1000.0)));
        const QDeadlineTimer deadline(ShutdownSendMs);
        for (const Viewer &viewer : std::as_const(m_viewers)) {
            while (unsent(viewer) && !deadline.hasExpired()) {
                if (!viewer.socket->waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
                    break;
            }
        }
        if (const auto left = countUnsent(); left > 0)
            FrameConsole::instance().report(StageEvent::failed(
                QStringLiteral("%1 viewers did not take the rest of their last frame in time").arg(left)));
    }
}

quint16 TcpServerImagehandler::serverPort() const
{
    return server->serverPort();
}

QString TcpServerImagehandler::listenError() const
{
    return server->isListening() ? QString() : server->errorString();
}

void TcpServerImagehandler::setViewerTimeout(int milliseconds)
{
    m_viewerTimeoutMs = std::max(1, milliseconds);
    // A stalled viewer goes within a quarter of the timeout after it has run out.
    m_stallCheck.setInterval(std::clamp(m_viewerTimeoutMs / 4, 1, 1000));
}

void TcpServerImagehandler::startHandling(const ConfigStructure *)
{
    FrameConsole::instance().report(StageEvent::notice("Server started loop.\n"));
}

void TcpServerImagehandler::handleFrame(const CapturedFrame &frame)
{
    const bool timeline = StageTimeline::enabled();
    if (timeline)
        StageTimeline::stampAt(frame.grabTimeMs * 1000, "grab", frame.number, readCounterStrip(frame.image).value_or(-1));
    QList<QPointer<QTcpSocket>> ready;
    for (Viewer &viewer : m_viewers) {
        if (viewer.socket->state() != QAbstractSocket::ConnectedState)
            continue;
        const bool encodingEnough = viewer.encoding >= EncodingPerViewer;
        if (encodingEnough || viewer.socket->bytesToWrite() != 0 || !m_encoder.hasRoom()) {
            FrameConsole::instance().report(StageEvent::notice("CLIENT NOT READY"));
            // Why: 1 its frames before are still being encoded, 2 not all of its last frame has
            // left for the system's send queue, 3 the encoder has no room.
            if (timeline)
                StageTimeline::stamp("notready", frame.number,
                                     encodingEnough ? 1 : viewer.socket->bytesToWrite() != 0 ? 2 : 3);
            continue;
        }
        ready.append(viewer.socket);
    }
    if (ready.isEmpty())
        return;
    for (const QPointer<QTcpSocket> &socket : ready)
        ++findViewer(socket.data())->encoding;
    const ConsolePlace consolePlace = FrameConsole::instance().reserve();
    const std::shared_ptr<EncoderState> state = m_encoderState;
    const bool posted = m_encoder.tryPost(
        [state, frame] {
            QByteArray stream;
            const BandMap changes = state->last.advance(frame);
            if (!state->png.appendFrame(stream, frame.image, changes))
                stream.clear();
            StageTimeline::stamp("encoded", frame.number, stream.size());
            return stream;
        },
        [this, ready, consolePlace, number = frame.number](const QByteArray &stream) {
            deliver(stream, ready, consolePlace, number);
        });
    Q_ASSERT(posted); // room was checked above
    Q_UNUSED(posted);
}

void TcpServerImagehandler::stopHandling()
{
    finishPendingFrames();
    FrameConsole::instance().report(StageEvent::notice("Server ended loop.\n"));
}

void TcpServerImagehandler::setViewerLimit(ViewerLimit *limit)
{
    if (m_limitKind >= 0)
        m_limit->removeKind(m_limitKind);
    m_limit = limit ? limit : &m_ownLimit;
    m_limitKind = m_limit->addKind({[this] { return viewerCount(); }, [this] { dropClosedViewers(); }});
}

void TcpServerImagehandler::finishPendingFrames()
{
    m_encoder.drain([](int left) {
        FrameConsole::instance().report(StageEvent::notice(
            QStringLiteral("Waiting for the last %1 frames to be encoded for the viewers").arg(left)));
    });
}

void TcpServerImagehandler::SLOT_startSendingimage()
{
}

void TcpServerImagehandler::SLOT_addClient()
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
        const QByteArray peer = peerText(socket->peerAddress());
        if (!m_limit->admit()) {
            FrameConsole::instance().report(
                StageEvent{StageEvent::Kind::ViewerRefused, QString::fromLatin1(peer), {}, m_limit->maximum()});
            // The line reaches the client before the close; to a frame parser it is a length far
            // beyond any frame, so an older viewer stops with a protocol error.
            connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
            socket->write(RefusedLine, qstrlen(RefusedLine));
            socket->disconnectFromHost();
            continue;
        }
        connect(socket, SIGNAL(disconnected()), this, SLOT(SLOT_removeClient()));
        // Viewers have nothing to say; whatever they send is read and dropped so it never piles up.
        connect(socket, &QIODevice::readyRead, socket, [socket] { socket->skip(socket->bytesAvailable()); });
        Viewer viewer;
        viewer.socket = socket;
        m_viewers.append(viewer);
        if (!m_stallCheck.isActive())
            m_stallCheck.start();
        FrameConsole::instance().report(StageEvent{StageEvent::Kind::ViewerJoined, QString::fromLatin1(peer), {}, -1});
        Q_EMIT SIG_viewerCountChanged(viewerCount());
    }
}

void TcpServerImagehandler::SLOT_removeClient()
{
    dropViewer(qobject_cast<QTcpSocket *>(sender()), "Client disconnected!");
}

void TcpServerImagehandler::dropViewer(QTcpSocket *socket, const char *line)
{
    const auto gone = std::find_if(m_viewers.begin(), m_viewers.end(),
                                   [socket](const Viewer &viewer) { return viewer.socket == socket; });
    if (gone == m_viewers.end())
        return;
    FrameConsole::instance().report(StageEvent{StageEvent::Kind::ViewerLeft, QString::fromLatin1(peerText(socket->peerAddress())),
                                               QString::fromLatin1(line), -1});
    m_viewers.erase(gone);
    if (m_viewers.isEmpty())
        m_stallCheck.stop();
    socket->abort();
    socket->deleteLater();
    Q_EMIT SIG_viewerCountChanged(viewerCount());
}

void TcpServerImagehandler::dropClosedViewers()
{
    QList<QTcpSocket *> closed;
    for (const Viewer &viewer : std::as_const(m_viewers)) {
        if (peerHasClosed(viewer.socket))
            closed.append(viewer.socket);
    }
    for (QTcpSocket *socket : std::as_const(closed))
        dropViewer(socket, "Client disconnected!");
}

void TcpServerImagehandler::dropStalledViewers()
{
    std::vector<std::pair<QTcpSocket *, std::string>> stalled;
    for (Viewer &viewer : m_viewers) {
        const qint64 queued = bytesNotTaken(viewer.socket);
        if (queued == 0)
            viewer.stalled.invalidate();
        else if (!viewer.stalled.isValid() || queued < viewer.queued)
            viewer.stalled.start();
        viewer.queued = queued;
        if (!viewer.stalled.isValid() || viewer.stalled.elapsed() < m_viewerTimeoutMs)
            continue;
        const qint64 taken = std::max<qint64>(0, viewer.frameBytes - queued);
        stalled.emplace_back(viewer.socket,
                             "Client " + peerText(viewer.socket->peerAddress()).toStdString() + " dropped: it took "
                                 + std::to_string(taken) + " of the " + std::to_string(viewer.frameBytes)
                                 + " bytes of its frame in " + std::to_string(viewer.frameClock.elapsed())
                                 + " ms and none in the last " + std::to_string(m_viewerTimeoutMs) + " ms");
    }
    for (const auto &[socket, line] : stalled)
        dropViewer(socket, line.c_str());
}

TcpServerImagehandler::Viewer *TcpServerImagehandler::findViewer(const QTcpSocket *socket)
{
    for (Viewer &viewer : m_viewers) {
        if (viewer.socket == socket)
            return &viewer;
    }
    return nullptr;
}

void TcpServerImagehandler::deliver(const QByteArray &bytes, const QList<QPointer<QTcpSocket>> &recipients,
                                    const ConsolePlace &consolePlace, qint64 number)
{
    std::vector<StageEvent> events;
    for (const QPointer<QTcpSocket> &socket : recipients) {
        Viewer *viewer = findViewer(socket.data());
        if (!viewer)
            continue; // gone while its frame was encoded
        --viewer->encoding;
        if (socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (bytes.isEmpty()) {
            events.push_back(StageEvent::failed("Could not encode the frame: dropped"));
            continue;
        }
        if (socket->bytesToWrite() != 0) {
            // Encoded behind a frame that has not left yet: the queue stays one frame.
            events.push_back(StageEvent::notice("CLIENT NOT READY"));
            StageTimeline::stamp("notready", number, 2);
            continue;
        }
        StageTimeline::stamp("sent", number, bytes.size());
        socket->write(bytes);
        viewer->frameBytes = bytes.size();
        viewer->frameClock.start();
        events.push_back(StageEvent{StageEvent::Kind::FrameSent, QString::fromLatin1(peerText(socket->peerAddress())),
                                    QString::number(socket->bytesToWrite()), bytes.size()});
        // Hand the bytes to the system now rather than on the next pass of the event loop, so
        // the viewer is ready again as early as it can be.
        socket->flush();
    }
    FrameConsole::instance().fill(consolePlace, std::move(events));
}
