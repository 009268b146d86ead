#include "tcpclientimagehandler.h"

#include <QDataStream>
#include <QImageReader>

#include <iostream>

TCPclientImagehandler::TCPclientImagehandler()
{
    device = &socket;
    stream = nullptr;
    QImageReader::setAllocationLimit(ImageAllocationLimitMiB);

    m_reconnectTimer.setInterval(1000);
    QObject::connect(&m_reconnectTimer, &QTimer::timeout, this, &TCPclientImagehandler::tryReconnect);
    QObject::connect(&socket, &QTcpSocket::connected, this, &TCPclientImagehandler::onConnected);
    QObject::connect(&socket, &QTcpSocket::disconnected, this, &TCPclientImagehandler::onDisconnected);
    QObject::connect(&socket, &QTcpSocket::errorOccurred, this, &TCPclientImagehandler::onErrorOccurred);
}

TCPclientImagehandler::~TCPclientImagehandler()
{
    m_reconnectTimer.stop();
    // Closing the socket below must not start another round of reconnecting.
    QObject::disconnect(&socket, nullptr, this, nullptr);
}

void TCPclientImagehandler::connectToServer(const QString &host, quint16 port)
{
    m_host = host;
    m_port = port;
    socket.connectToHost(host, port, QIODevice::ReadWrite);
    QObject::connect(&socket, &QTcpSocket::readyRead, this, &IOImageHandler::readImage);
    socket.waitForConnected(30000);
    expectedLength = 0;
    std::cout << "Client created: " << socket.errorString().toLatin1().constData() << std::endl;
}

void TCPclientImagehandler::readImage()
{
    // One turn of the event loop decodes one frame at most: of the frames complete in what has
    // arrived, only the newest is shown; the older ones are dropped unread.
    m_parser.append(socket.readAll());
    QByteArray newest;
    bool newestLengthRead = false; // its length was read in this turn (and not printed yet)
    bool lengthRead = false;       // the same for the frame being read
    int dropped = 0;
    FrameParser::Step step = FrameParser::Step::NeedLength;
    for (bool more = true; more;) {
        step = m_parser.next();
        switch (step) {
        case FrameParser::Step::LengthRead:
            lengthRead = true;
            break;
        case FrameParser::Step::FrameComplete:
            if (!newest.isNull())
                ++dropped;
            newest = QByteArray(); // an older frame's body goes before the next one is taken
            newest = m_parser.takeBody();
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
        std::cout << "Dropped " << dropped << (dropped == 1 ? " older frame" : " older frames")
                  << " that arrived with a newer one" << std::endl;
    }
    if (!newest.isNull()) {
        if (newestLengthRead)
            std::cout << "Length read! " << newest.size() << std::endl;
        std::cout << "Complete image written!" << std::endl;
        handleFrame(std::move(newest));
    }
    switch (step) {
    case FrameParser::Step::NeedLength:
        expectedLength = 0;
        break;
    case FrameParser::Step::NeedBody:
        expectedLength = m_parser.length();
        if (lengthRead)
            std::cout << "Length read! " << expectedLength << std::endl;
        std::cout << m_parser.available() << " need " << expectedLength << std::endl;
        break;
    case FrameParser::Step::ProtocolError:
        closeForProtocolError();
        break;
    default:
        break;
    }
}

void TCPclientImagehandler::handleFrame(QByteArray body)
{
    const qint64 length = body.size();
    QBuffer buffer(&body);
    buffer.open(QIODevice::ReadOnly);
    QDataStream frameStream(&buffer);
    frameStream.setVersion(QDataStream::Qt_4_4);

    // The reader takes the image from exactly this frame's body during the emission.
    stream = &frameStream;
    device = &buffer;
    Q_EMIT SIG_imageWritten();
    stream = nullptr;
    device = &socket;

    if (frameStream.status() != QDataStream::Ok) {
        std::cout << "Skipped an undecodable image (frame of " << length << " bytes from "
                  << m_host.toLatin1().constData() << ":" << m_port << ")" << std::endl;
    }
}

void TCPclientImagehandler::SLOT_reqNewImage()
{
    socket.write(QByteArray("N"));
    std::cout << "Image requested!" << std::endl;
}

void TCPclientImagehandler::closeForProtocolError()
{
    std::cout << "Protocol error from " << m_host.toLatin1().constData() << ":" << m_port << ": "
              << m_parser.errorString().toLatin1().constData()
              << "; closed the connection, trying again every " << m_reconnectTimer.interval() << " ms" << std::endl;
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
    m_parser.reset();
    expectedLength = 0;
    m_keepConnected = true;
    if (m_reconnecting) {
        m_reconnecting = false;
        m_reconnectTimer.stop();
        std::cout << "Reconnected to " << m_host.toLatin1().constData() << ":" << m_port << std::endl;
    }
}

void TCPclientImagehandler::onDisconnected()
{
    if (!m_keepConnected || m_closingForError || m_reconnecting)
        return;
    std::cout << "Connection to " << m_host.toLatin1().constData() << ":" << m_port
              << " lost: " << socket.errorString().toLatin1().constData()
              << "; trying again every " << m_reconnectTimer.interval() << " ms" << std::endl;
    startReconnecting();
}

void TCPclientImagehandler::onErrorOccurred(QAbstractSocket::SocketError)
{
    if (!m_reconnecting || m_attemptReported || socket.state() == QAbstractSocket::ConnectedState)
        return;
    m_attemptReported = true;
    std::cout << "Reconnecting to " << m_host.toLatin1().constData() << ":" << m_port
              << " failed: " << socket.errorString().toLatin1().constData() << std::endl;
}

void TCPclientImagehandler::startReconnecting()
{
    m_reconnecting = true;
    m_attemptReported = true; // no attempt yet: nothing to report
    m_reconnectTimer.start();
}

void TCPclientImagehandler::tryReconnect()
{
    if (socket.state() != QAbstractSocket::UnconnectedState) {
        // The previous attempt is still under way after a whole interval: give it up.
        if (!m_attemptReported) {
            std::cout << "Reconnecting to " << m_host.toLatin1().constData() << ":" << m_port
                      << " failed: no answer within " << m_reconnectTimer.interval() << " ms" << std::endl;
        }
        socket.abort();
    }
    m_attemptReported = false;
    socket.connectToHost(m_host, m_port, QIODevice::ReadWrite);
}
