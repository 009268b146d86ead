#include "tcpclientimagehandler.h"

#include "glstreamrenderer.h"
#include "pngreader.h"
#include "stagetimeline.h"

#include <QImage>
#include <QImageReader>

#include <algorithm>
#include "frameconsole.h"

namespace {

// A server serving all the viewers it can says so in a line instead of a frame, then closes.
bool reportRefusal(const QByteArray &received)
{
    if (!received.startsWith(QByteArrayView(RefusedLine, FrameParser::LengthSize)))
        return false;
FrameConsole::instance().report(StageEvent::failed("refused: the server is serving its maximum of viewers"));
    return true;
}

// A frame's length on the wire, its length field included: what the server's timeline calls it.
qint64 wireLength(const QByteArray &body)
{
    return body.size() + FrameParser::LengthSize;
}

} // namespace

TCPclientImagehandler::TCPclientImagehandler()
{
    device = &socket;
    stream = nullptr;
    QImageReader::setAllocationLimit(ImageAllocationLimitMiB);
    m_decoder = [](const QByteArray &body, QImage &image) { return decodeFrameBody(body, image); };

    m_reconnectTimer.setSingleShot(true);
    m_reconnectTimer.setTimerType(Qt::PreciseTimer);
    m_reconnectTimer.setInterval(m_baseInterval);
    QObject::connect(this, &IOImageHandler::SIG_imageWritten, this, [this] {
        if (m_state == State::Connected)
            setState(State::Showing);
    });
    QObject::connect(&m_reconnectTimer, &QTimer::timeout, this, &TCPclientImagehandler::tryReconnect);
    m_releaseCheck.setSingleShot(true);
    m_releaseCheck.setInterval(10);
    QObject::connect(&m_releaseCheck, &QTimer::timeout, this, &TCPclientImagehandler::decodeNext);
    m_stallTimer.setSingleShot(true);
    m_stallTimer.setInterval(5000);
    QObject::connect(&m_stallTimer, &QTimer::timeout, this, &TCPclientImagehandler::closeForStall);
    QObject::connect(&socket, &QTcpSocket::connected, this, &TCPclientImagehandler::onConnected);
    QObject::connect(&socket, &QTcpSocket::disconnected, this, &TCPclientImagehandler::onDisconnected);
    QObject::connect(&socket, &QTcpSocket::errorOccurred, this, &TCPclientImagehandler::onErrorOccurred);
}

TCPclientImagehandler::~TCPclientImagehandler()
{
    m_reconnectTimer.stop();
    m_stallTimer.stop();
    m_releaseCheck.stop();
    // Closing the socket below must not start another round of reconnecting.
    QObject::disconnect(&socket, nullptr, this, nullptr);
}

void TCPclientImagehandler::connectToServer(const QString &host, quint16 port)
{
    m_host = host;
    m_port = port;
    setState(State::Connecting);
    socket.connectToHost(host, port, QIODevice::ReadWrite);
    QObject::connect(&socket, &QTcpSocket::readyRead, this, &IOImageHandler::readImage);
    const bool connected = socket.waitForConnected(30000);
    expectedLength = 0;
FrameConsole::instance().report(StageEvent::notice(QLatin1String("Client created: ") + socket.errorString()));
    if (!connected && !m_keepConnected) {
        m_failure = socket.errorString();
        socket.abort();
        setState(State::Failed);
    }
}

int TCPclientImagehandler::reconnectDelay(int baseMs, int failedAttempts)
{
    const qint64 base = std::max(1, baseMs);
    const qint64 longest = 30 * base;
    const int doublings = std::clamp(failedAttempts, 0, 30);
    return int(std::min(longest, base << doublings));
}

QString TCPclientImagehandler::peer() const
{
    return m_host + QLatin1Char(':') + QString::number(m_port);
}

QString TCPclientImagehandler::stateText() const
{
    switch (m_state) {
    case State::Connecting:
        return QStringLiteral("connecting");
    case State::Connected:
        return QStringLiteral("connected, waiting for frames");
    case State::Showing:
        return QStringLiteral("showing");
    case State::Waiting:
        return QStringLiteral("connection lost, retrying in %1 s").arg((nextReconnectDelay() + 999) / 1000);
    case State::Reconnecting:
        return QStringLiteral("connection lost, retrying");
    case State::Failed:
        return QStringLiteral("could not connect: %1").arg(m_failure);
    }
    return {};
}

void TCPclientImagehandler::setState(State state)
{
    m_state = state;
    Q_EMIT SIG_stateChanged(state);
}

void TCPclientImagehandler::readImage()
{
    // Of the frames complete in what has arrived, and of one still waiting for the decoder, only
    // the newest is decoded; the older ones are dropped unread.
    const QByteArray received = socket.readAll();
    if (m_parser.length() == 0 && m_parser.available() == 0 && reportRefusal(received))
        return;
    m_parser.append(received);
    QByteArray newest;
    bool newestLengthRead = false; // its length was read in this turn (and not printed yet)
    bool lengthRead = false;       // the same for the frame being read
    int dropped = 0;
    if (!m_next.isNull()) {
        newest = std::move(m_next); // waiting for the decoder: the first frame of this read drops it
        m_next = QByteArray();
    }
    bool newestWaited = !newest.isNull(); // `newest` was waiting before this read
    FrameParser::Step step = FrameParser::Step::NeedLength;
    for (bool more = true; more;) {
        step = m_parser.next();
        switch (step) {
        case FrameParser::Step::LengthRead:
            lengthRead = true;
            break;
        case FrameParser::Step::FrameComplete:
            if (!newest.isNull()) {
                ++dropped;
                StageTimeline::stamp("dropped", wireLength(newest));
            }
            newest = QByteArray(); // an older frame's body goes before the next one is taken
            newest = m_parser.takeBody();
            StageTimeline::stamp("received", wireLength(newest));
            newestWaited = false;
            newestLengthRead = lengthRead;
            lengthRead = false;
            break;
        case FrameParser::Step::NeedLength:
        case FrameParser::Step::NeedBody:
        case FrameParser::Step::ProtocolError:
            more = false;
            break;
        }
    }

    if (dropped > 0) {
        FrameConsole::instance().report(StageEvent::notice(QStringLiteral("Dropped %1 %2 that arrived with a newer one")
                                                           .arg(dropped)
                                                           .arg(dropped == 1 ? "older frame" : "older frames")));
    }
    if (!newest.isNull()) {
        if (!newestWaited) {
            if (newestLengthRead)
                FrameConsole::instance().report(StageEvent::notice(QStringLiteral("Length read! %1").arg(newest.size())));
            FrameConsole::instance().report(StageEvent::notice("Complete image written!"));
        }
        m_next = std::move(newest);
        decodeNext();
    }
    // Silence is normal between frames (the capture may be stopped), not inside one.
    if (step == FrameParser::Step::NeedBody || (step == FrameParser::Step::NeedLength && m_parser.available() > 0))
        m_stallTimer.start();
    else
        m_stallTimer.stop();
    switch (step) {
    case FrameParser::Step::NeedLength:
        expectedLength = 0;
        break;
    case FrameParser::Step::NeedBody:
        expectedLength = m_parser.length();
        if (lengthRead)
            FrameConsole::instance().report(StageEvent::notice(QStringLiteral("Length read! %1").arg(expectedLength)));
        FrameConsole::instance().report(StageEvent::notice(QStringLiteral("%1 need %2").arg(m_parser.available()).arg(expectedLength)));
        break;
    case FrameParser::Step::ProtocolError:
        closeForProtocolError();
        break;
    default:
        break;
    }
}

void TCPclientImagehandler::decodeNext()
{
    if (m_decoding || m_next.isNull())
        return;
    if (!m_lastLarge.isNull()) {
        if (!m_lastLarge.isDetached()) {
            m_releaseCheck.start(); // its reader still has it (resampling it for the screen)
            return;
        }
        m_lastLarge = QImage(); // only this copy was left: the memory goes now
    }
    m_decoding = true;
    QByteArray body = std::move(m_next);
    m_next = QByteArray();
    const qint64 length = body.size();
    StageTimeline::stamp("decoding", wireLength(body));
    struct Decoded
    {
        bool ok = false;
        QImage image;
    };
    // The job holds what it needs by value: it may outlive this object's other members.
    m_decodeWorker.post(
        [decoder = m_decoder, body = std::move(body)] {
            Decoded result;
            result.ok = decoder(body, result.image);
            return result;
        },
        [this, length](Decoded result) { decoded(length, result.ok, std::move(result.image)); });
}

void TCPclientImagehandler::decoded(qint64 length, bool ok, QImage image)
{
    m_decoding = false;
    if (StageTimeline::enabled())
        StageTimeline::stamp("decoded", length + FrameParser::LengthSize, readCounterStrip(image).value_or(-1));
    if (!ok) {
        FrameConsole::instance().report(StageEvent::failed(
            QStringLiteral("Skipped an undecodable image (frame of %1 bytes from %2)").arg(length).arg(peer())));
    } else {
        if (image.sizeInBytes() > GLStreamRenderer::LargeFrameBytes)
            m_lastLarge = image;
        m_ready = std::move(image);
        m_hasReady = true;
        Q_EMIT SIG_imageWritten();
        m_hasReady = false;
        m_ready = QImage();
    }
    decodeNext();
}

bool TCPclientImagehandler::takeImage(QImage &image)
{
    if (!m_hasReady)
        return false;
    image = m_ready;
    return true;
}

void TCPclientImagehandler::SLOT_reqNewImage()
{
    socket.write(QByteArray("N"));
    FrameConsole::instance().report(StageEvent::notice("Image requested!"));
}

void TCPclientImagehandler::closeForProtocolError()
{
    FrameConsole::instance().report(StageEvent::failed(QStringLiteral("Protocol error from %1: %2; closed the connection, trying again in %3 ms")
                                                       .arg(peer(), m_parser.errorString())
                                                       .arg(reconnectDelay(m_baseInterval, 0))));
    closeAndReconnect();
}

void TCPclientImagehandler::closeForStall()
{
    FrameConsole::instance().report(StageEvent::failed(
        QStringLiteral("No byte from %1 for %2 ms inside a frame (%3 of %4 bytes); closed the connection, trying "
                       "again in %5 ms")
            .arg(peer())
            .arg(m_stallTimer.interval())
            .arg(m_parser.available())
            .arg(m_parser.length() > 0 ? QString::number(m_parser.length()) : QStringLiteral("?"))
            .arg(reconnectDelay(m_baseInterval, 0))));
    closeAndReconnect();
}

void TCPclientImagehandler::closeAndReconnect()
{
    m_stallTimer.stop();
    m_closingForError = true;
    socket.abort();
    m_closingForError = false;
    m_parser.reset();
    expectedLength = 0;
    if (!m_reconnecting)
        startReconnecting();
}

void TCPclientImagehandler::onConnected()
{
    m_stallTimer.stop();
    m_parser.reset();
    expectedLength = 0;
    m_keepConnected = true;
    m_failedAttempts = 0;
    if (m_reconnecting) {
        m_reconnecting = false;
        m_reconnectTimer.stop();
        FrameConsole::instance().report(StageEvent{StageEvent::Kind::Reconnected, peer(), {}, -1});
    }
    setState(State::Connected);
}

void TCPclientImagehandler::onDisconnected()
{
    m_stallTimer.stop();
    if (!m_keepConnected || m_closingForError || m_reconnecting)
        return;
    FrameConsole::instance().report(StageEvent{StageEvent::Kind::ConnectionLost, peer(), socket.errorString(), reconnectDelay(m_baseInterval, 0)});
    startReconnecting();
}

void TCPclientImagehandler::onErrorOccurred(QAbstractSocket::SocketError)
{
    if (!m_reconnecting || m_attemptReported || socket.state() == QAbstractSocket::ConnectedState)
        return;
    m_attemptReported = true;
    ++m_failedAttempts;
    FrameConsole::instance().report(StageEvent{StageEvent::Kind::ReconnectFailed, peer(), socket.errorString(),
                                               reconnectDelay(m_baseInterval, m_failedAttempts)});
    waitBeforeNextAttempt();
}

void TCPclientImagehandler::startReconnecting()
{
    m_reconnecting = true;
    m_attemptReported = true; // no attempt yet: nothing to report
    m_failedAttempts = 0;
    waitBeforeNextAttempt();
}

void TCPclientImagehandler::waitBeforeNextAttempt()
{
    m_reconnectTimer.start(reconnectDelay(m_baseInterval, m_failedAttempts));
    setState(State::Waiting);
}

void TCPclientImagehandler::tryReconnect()
{
    if (socket.state() != QAbstractSocket::UnconnectedState) {
        // The attempt is still under way after as long as the wait before it: give it up and
        // wait longer before the next one.
        const bool report = !m_attemptReported;
        m_attemptReported = true;
        socket.abort();
        if (report) {
            ++m_failedAttempts;
            FrameConsole::instance().report(StageEvent{StageEvent::Kind::ReconnectFailed, peer(),
                                                   QStringLiteral("no answer within %1 ms").arg(m_reconnectTimer.interval()),
                                                   reconnectDelay(m_baseInterval, m_failedAttempts)});
        }
        waitBeforeNextAttempt();
        return;
    }
    m_attemptReported = false;
    setState(State::Reconnecting);
    // Also the deadline of this attempt: the timer fires again if it hangs.
    m_reconnectTimer.start(reconnectDelay(m_baseInterval, m_failedAttempts));
    socket.connectToHost(m_host, m_port, QIODevice::ReadWrite);
}
