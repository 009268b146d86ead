#pragma once

#include "frameparser.h"
#include "ioimagehandler.h"
#include "orderedworker.h"

#include <QImage>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>

// The receiving end of the image stream. It finds frame boundaries in what the server pushes,
// decodes the image of each whole frame from exactly that frame's bytes (so an undecodable
// image cannot put the connection out of step) and announces it with SIG_imageWritten(); the
// reader takes it with takeImage(). `stream` stays null.
//
// Decoding runs on a worker thread, one frame at a time: the GUI thread never waits for it.
// The newest frame wins: of the frames that complete while a decode is under way, or together
// in one read, only the newest is decoded next; the others are dropped with one line. After a
// large image (above GLStreamRenderer::LargeFrameBytes) the next one is decoded only once its
// reader has let go of it, so a stream of huge frames holds one decoded frame at a time, not
// two or three.
//
// A frame length outside 4 bytes..256 MiB closes the connection. A connection that is lost or
// closed that way is tried again after 1 s, then after twice as long each time up to 30 s,
// back to 1 s once connected again; a first connection that fails is not tried again. A
// connection on which no byte arrives for 5 s while a frame is only partly read is treated as
// lost the same way (a server that stalls mid-frame would otherwise freeze the view unnoticed).
class TCPclientImagehandler : public IOImageHandler
{
    Q_OBJECT
public:
    enum class State {
        Connecting,   // first connection under way
        Connected,    // connected, no frame yet
        Showing,      // frames have arrived on this connection
        Waiting,      // connection lost: waiting for the next attempt
        Reconnecting, // connection lost: an attempt is under way
        Failed,       // the first connection failed; not tried again
    };
    Q_ENUM(State)

    // Wait before reconnection attempt `failedAttempts` + 1 of a loss: `baseMs` doubled per
    // failed attempt, at most 30 times `baseMs`.
    [[nodiscard]] static int reconnectDelay(int baseMs, int failedAttempts);

    // Frames claim at most 256 MiB, and so may the pixels of the image inside one: an image whose
    // header claims more is refused before anything is allocated for it (QImageReader's limit,
    // set by the constructor).
    static constexpr int ImageAllocationLimitMiB = 256;

    TCPclientImagehandler();
    ~TCPclientImagehandler() override;

    void connectToServer(const QString &host, quint16 port);

    void readImage() override;
    void SLOT_reqNewImage() override;
    // The image decoded from the frame that SIG_imageWritten() announces.
    [[nodiscard]] bool takeImage(QImage &image) override;

    // Turns a frame's body into its image on the decode thread (decodeFrameBody by default; tests
    // slow it down). Must be safe to call from another thread.
    using Decoder = std::function<bool(const QByteArray &body, QImage &image)>;
    void setDecoder(Decoder decoder) { m_decoder = std::move(decoder); }

    // First wait of the back-off after a loss (1000 ms; tests may shorten it).
    void setReconnectInterval(int milliseconds) { m_baseInterval = milliseconds; }
    // Longest silence inside a frame before the connection counts as lost (5000 ms; tests may
    // shorten it).
    void setStallTimeout(int milliseconds) { m_stallTimer.setInterval(milliseconds); }
    [[nodiscard]] QAbstractSocket::SocketState socketState() const { return socket.state(); }
    [[nodiscard]] State state() const { return m_state; }
    // Wait before the next reconnection attempt (meaningful while Waiting).
    [[nodiscard]] int nextReconnectDelay() const { return m_reconnectTimer.interval(); }
    // The state in words for a window title: "connecting", "showing", "connection lost,
    // retrying in 4 s", "could not connect: Connection refused", ...
    [[nodiscard]] QString stateText() const;
    // "host:port", as the console lines name the server.
    [[nodiscard]] QString peer() const;

Q_SIGNALS:
    void SIG_stateChanged(TCPclientImagehandler::State state);

private:
    void decodeNext();
    void decoded(qint64 length, bool ok, QImage image);
    void closeForProtocolError();
    void closeForStall();
    void closeAndReconnect();
    void onConnected();
    void onDisconnected();
    void onErrorOccurred(QAbstractSocket::SocketError error);
    void startReconnecting();
    void tryReconnect();
    void setState(State state);
    void waitBeforeNextAttempt();

    QTcpSocket socket;
    // The client's interface has always had it; the parser owns the length, this copy only feeds
    // the "Length read!" and "need" lines. 0 while waiting for a frame length.
    qint64 expectedLength = 0;

    FrameParser m_parser;
    QString m_host;
    quint16 m_port = 0;
    bool m_keepConnected = false;   // the connection was up once: get it back whenever it is lost
    bool m_reconnecting = false;    // between a loss and the next successful connection
    bool m_attemptReported = false; // the current attempt's failure was printed
    bool m_closingForError = false; // the viewer itself is closing the connection
    QTimer m_reconnectTimer;
    QTimer m_stallTimer; // runs while a frame is partly read; restarted by every byte
    int m_baseInterval = 1000;
    int m_failedAttempts = 0; // of the current loss
    State m_state = State::Connecting;
    QString m_failure; // why the first connection failed
    QImage m_ready;        // the decoded image during SIG_imageWritten()
    bool m_hasReady = false;
    Decoder m_decoder;
    QByteArray m_next;     // body of the newest complete frame not yet decoding (null: none)
    bool m_decoding = false;
    QImage m_lastLarge;    // the large image announced last, while others may still hold it
    QTimer m_releaseCheck; // looks again whether they have let go of it
    OrderedWorker m_decodeWorker{1}; // last: its job ends before the rest goes
};
