#pragma once

#include "frameparser.h"
#include "ioimagehandler.h"

#include <QBuffer>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

// The receiving end of the image stream. It finds frame boundaries in what the server pushes
// and, for each whole frame, emits SIG_imageWritten() with `stream` reading exactly that
// frame's body (a buffer over it), so a reader that mis-reads one image cannot put the
// connection out of step. It never decodes images itself.
//
// A frame length outside 4 bytes..256 MiB closes the connection. A connection that is lost or
// closed that way is tried again once a second; a first connection that fails is not.
class TCPclientImagehandler : public IOImageHandler
{
public:
    // Frames claim at most 256 MiB, and so may the pixels of the image inside one: an image whose
    // header claims more is refused before anything is allocated for it (QImageReader's limit,
    // set by the constructor).
    static constexpr int ImageAllocationLimitMiB = 256;

    TCPclientImagehandler();
    ~TCPclientImagehandler() override;

    void connectToServer(const QString &host, quint16 port);

    void readImage() override;
    void SLOT_reqNewImage() override;

    // Interval between two reconnection attempts (1000 ms; tests may shorten it).
    void setReconnectInterval(int milliseconds) { m_reconnectTimer.setInterval(milliseconds); }
    [[nodiscard]] QAbstractSocket::SocketState socketState() const { return socket.state(); }

private:
    void handleFrame(QByteArray body);
    void closeForProtocolError();
    void onConnected();
    void onDisconnected();
    void onErrorOccurred(QAbstractSocket::SocketError error);
    void startReconnecting();
    void tryReconnect();

    QTcpSocket socket;
    qint64 expectedLength = 0; // mirrors the parser: 0 while waiting for a frame length

    FrameParser m_parser;
    QString m_host;
    quint16 m_port = 0;
    bool m_keepConnected = false;   // the connection was up once: get it back whenever it is lost
    bool m_reconnecting = false;    // between a loss and the next successful connection
    bool m_attemptReported = false; // the current attempt's failure was printed
    bool m_closingForError = false; // the viewer itself is closing the connection
    QTimer m_reconnectTimer;
};
