#include "tcpserverimagehandler.h"

#include "captureoptions.h"
#include "configwindow.h"
#include "frameparser.h"
#include "glformat.h"
#include "imagerecorder.h"
#include "tcpclientimagehandler.h"
#include "testsupport.h"

#include <QApplication>
#include <QDataStream>
#include <QDir>
#include <QPixmap>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <sys/socket.h>
#include <vector>

namespace {

// A viewer on a real socket: collects the bodies of the frames it receives, unless told not to
// read at all.
class TestViewer : public QObject
{
public:
    TestViewer(quint16 port, bool reading = true, const QHostAddress &host = QHostAddress::LocalHost)
    {
        if (!reading) {
            // Qt stops taking bytes from the kernel, so the connection backs up quickly.
            socket.setReadBufferSize(4096);
            socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        } else {
            connect(&socket, &QIODevice::readyRead, this, &TestViewer::readFrames);
        }
        socket.connectToHost(host, port);
    }

    void startReading()
    {
        socket.setReadBufferSize(0);
        connect(&socket, &QIODevice::readyRead, this, &TestViewer::readFrames, Qt::UniqueConnection);
        readFrames();
    }

    QTcpSocket socket;
    QList<QByteArray> bodies;
    bool protocolError = false;

private:
    void readFrames()
    {
        parser.append(socket.readAll());
        for (;;) {
            const FrameParser::Step step = parser.next();
            if (step == FrameParser::Step::FrameComplete)
                bodies.append(parser.takeBody());
            else if (step == FrameParser::Step::ProtocolError)
                protocolError = true;
            if (step != FrameParser::Step::FrameComplete && step != FrameParser::Step::LengthRead)
                return;
        }
    }

    FrameParser parser;
};

QImage decodeBody(const QByteArray &body)
{
    QDataStream stream(body);
    stream.setVersion(QDataStream::Qt_4_4);
    QImage image;
    stream >> image;
    return stream.status() == QDataStream::Ok && stream.atEnd() ? image : QImage();
}

// Noise does not compress, so every frame is as large as its pixels and fills buffers fast.
QPixmap noisePixmap(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator rng(42);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = 0xff000000u | (rng.generate() & 0xffffffu);
    }
    return QPixmap::fromImage(image);
}

// The handler's sockets to its viewers (children of its listening server).
QList<QTcpSocket *> serverSideSockets(const TcpServerImagehandler &handler)
{
    return handler.findChildren<QTcpSocket *>();
}

} // namespace

class tst_TcpServerImagehandler : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void initTestCase();
    void statusLinesAndChosenPort_data();
    void statusLinesAndChosenPort();
    void listenFailureShowsErrorAndPortZero();
    void framesOnlyWhileCapturingWithThisHandler();
    void frameLinesMatchTheBytesSent_data();
    void frameLinesMatchTheBytesSent();
    void twoViewersBothServed();
    void stuckViewerNeverQueuesMoreThanOneFrame();
    void ticksDuringAnEncodingAreNotLost_data();
    void ticksDuringAnEncodingAreNotLost();
    void exitSaysWhatViewersDidNotTake_data();
    void exitSaysWhatViewersDidNotTake();
    void disconnectAndReconnect_data();
    void disconnectAndReconnect();
    void seventeenthViewerRefused();
    void stalledViewersMakeRoom_data();
    void stalledViewersMakeRoom();
    void closedConnectionsDoNotCount_data();
    void closedConnectionsDoNotCount();
    void bytesFromViewersAreDiscarded();
    void bindAddressLimitsWhoCanConnect_data();
    void bindAddressLimitsWhoCanConnect();

private:
    QTemporaryDir m_workDir;
};

void tst_TcpServerImagehandler::initTestCase()
{
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path())); // the saver of the control window writes ./capture
}

void tst_TcpServerImagehandler::statusLinesAndChosenPort_data()
{
    QTest::addColumn<QHostAddress>("address");
    QTest::addColumn<QString>("listenLine");
    QTest::newRow("every address says the whole network")
        << QHostAddress(QHostAddress::Any)
        << QStringLiteral("Listening on every network address: the screen is offered to the whole network");
    QTest::newRow("loopback says this machine only")
        << QHostAddress(QHostAddress::LocalHost)
        << QStringLiteral("Listening on 127.0.0.1 only: the screen is offered to this machine only");
}

void tst_TcpServerImagehandler::statusLinesAndChosenPort()
{
    QFETCH(QHostAddress, address);
    QFETCH(QString, listenLine);
    CoutCapture out;
    TcpServerImagehandler handler(0, address);
    QVERIFY(handler.serverPort() != 0);
    QCOMPARE(out.lines(), QStringList({QStringLiteral("Server status:"), QString(),
                                       QStringLiteral("Port: %1").arg(handler.serverPort()), listenLine}));

    TestViewer viewer(handler.serverPort());
    QTRY_COMPARE(handler.viewerCount(), 1);
    QCOMPARE(out.lines().last(), QStringLiteral("Client 127.0.0.1 connected!"));
}

void tst_TcpServerImagehandler::listenFailureShowsErrorAndPortZero()
{
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    QTcpServer second;
    QVERIFY(!second.listen(QHostAddress::LocalHost, taken.serverPort()));
    QVERIFY(!second.errorString().isEmpty());

    CoutCapture out;
    TcpServerImagehandler handler(taken.serverPort(), QHostAddress::LocalHost);
    QCOMPARE(handler.serverPort(), quint16(0));
    QCOMPARE(out.lines(),
             QStringList({QStringLiteral("Server status:"), second.errorString(), QStringLiteral("Port: 0"),
                          QStringLiteral("Not listening on 127.0.0.1 port %1: no viewer can connect")
                              .arg(taken.serverPort())}));

    // Without a viewer every frame is skipped silently.
    out.clear();
    QCOMPARE(handler.handleImage(noisePixmap(8, 8)), 0);
    handler.finishPendingFrames();
    QVERIFY(out.lines().isEmpty());
}

void tst_TcpServerImagehandler::framesOnlyWhileCapturingWithThisHandler()
{
    CaptureOptions options;
    options.port = 0;
    options.bind = QHostAddress(QHostAddress::LocalHost);
    options.area = QRect(0, 0, 64, 48);
    options.fps = 60;
    CoutCapture out;
    ConfigWindow window(nullptr, qApp, options);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    TestViewer viewer(window.tcpServer->serverPort());
    QTRY_COMPARE(window.tcpServer->viewerCount(), 1);

    // A capture with the image saver: ticks run, the viewer gets nothing.
    window.imageSaverRadio->setChecked(true);
    const int before = window.recorder->frameCount;
    window.SLOT_startStopCapture();
    QTRY_VERIFY(window.recorder->frameCount >= before + 5);
    window.SLOT_startStopCapture();
    QVERIFY(!out.lines().contains(QStringLiteral("Server started loop.")));
    QCOMPARE(out.lines().filter(QStringLiteral("Buffer length")).size(), 0);
    for (QTcpSocket *socket : serverSideSockets(*window.tcpServer))
        QCOMPARE(socket->bytesToWrite(), 0);

    // A capture with the TCP server: frames arrive; after the stop no more are sent.
    out.clear();
    window.tcpServerRadio->setChecked(true);
    window.SLOT_startStopCapture();
    QTRY_VERIFY(viewer.bodies.size() >= 3);
    window.SLOT_startStopCapture();
    const QStringList lines = out.lines();
    QCOMPARE(lines.mid(0, 2), QStringList({QStringLiteral("Server started loop."), QString()}));
    QCOMPARE(lines.mid(lines.size() - 2), QStringList({QStringLiteral("Server ended loop."), QString()}));
    const qsizetype sent = lines.filter(QStringLiteral("Buffer length ")).size();
    QTRY_COMPARE(viewer.bodies.size(), sent);
    for (const QByteArray &body : std::as_const(viewer.bodies))
        QCOMPARE(decodeBody(body).size(), QSize(64, 48));

    // Idle again, and then a run with the saver: still nothing more.
    out.clear();
    window.imageSaverRadio->setChecked(true);
    const int again = window.recorder->frameCount;
    window.SLOT_startStopCapture();
    QTRY_VERIFY(window.recorder->frameCount >= again + 5);
    window.SLOT_startStopCapture();
    QCOMPARE(out.lines().filter(QStringLiteral("Buffer length")).size(), 0);
    QCOMPARE(viewer.bodies.size(), sent);
    QCOMPARE(viewer.socket.bytesAvailable(), 0);
}

void tst_TcpServerImagehandler::frameLinesMatchTheBytesSent_data()
{
    QTest::addColumn<QImage>("image");
    QTest::newRow("pattern arrives exactly") << patternImage(123, 45, 3);
    QTest::newRow("null pixmap is marker 0 alone") << QImage();
}

void tst_TcpServerImagehandler::frameLinesMatchTheBytesSent()
{
    QFETCH(QImage, image);
    TcpServerImagehandler handler(0, QHostAddress::LocalHost);
    TestViewer viewer(handler.serverPort());
    QTRY_COMPARE(handler.viewerCount(), 1);

    CoutCapture out;
    QCOMPARE(handler.handleImage(image.isNull() ? QPixmap() : QPixmap::fromImage(image)), 0);
    QTRY_COMPARE(viewer.bodies.size(), 1);
    const QByteArray body = viewer.bodies.first();
    const QStringList lines = out.lines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.at(0), QStringLiteral("Buffer length %1").arg(8 + body.size()));
    QVERIFY(lines.at(1).startsWith(QStringLiteral("Image buffered to socket ")));
    const int queued = lines.at(1).mid(25).toInt();
    QVERIFY(queued >= 0 && queued <= 8 + body.size());
    if (image.isNull())
        QCOMPARE(body, QByteArray(4, '\0'));
    else
        QCOMPARE(decodeBody(body).convertToFormat(QImage::Format_RGB32), image);
}

void tst_TcpServerImagehandler::twoViewersBothServed()
{
    TcpServerImagehandler handler(0, QHostAddress::LocalHost);
    TestViewer first(handler.serverPort());
    TestViewer second(handler.serverPort());
    QTRY_COMPARE(handler.viewerCount(), 2);

    CoutCapture out;
    for (int i = 0; i < 3; ++i) {
        const QImage image = patternImage(40, 30, i);
        handler.handleImage(QPixmap::fromImage(image));
        QTRY_COMPARE(first.bodies.size(), i + 1);
        QTRY_COMPARE(second.bodies.size(), i + 1);
        QCOMPARE(decodeBody(first.bodies.last()).convertToFormat(QImage::Format_RGB32), image);
        QCOMPARE(second.bodies.last(), first.bodies.last()); // one encoding for both
    }
    QCOMPARE(out.lines().filter(QStringLiteral("Buffer length")).size(), 6);
    QVERIFY(out.lines().filter(QStringLiteral("CLIENT NOT READY")).isEmpty());
}

void tst_TcpServerImagehandler::stuckViewerNeverQueuesMoreThanOneFrame()
{
    TcpServerImagehandler handler(0, QHostAddress::LocalHost);
    TestViewer reader(handler.serverPort());
    TestViewer stuck(handler.serverPort(), false);
    QTRY_COMPARE(handler.viewerCount(), 2);

    QTcpSocket *stuckOnServer = nullptr;
    QTRY_VERIFY([&] {
        for (QTcpSocket *socket : serverSideSockets(handler)) {
            if (socket->peerPort() == stuck.socket.localPort())
                stuckOnServer = socket;
        }
        return stuckOnServer != nullptr;
    }());

    const QPixmap frame = noisePixmap(400, 300);
    CoutCapture out;
    qint64 mostQueued = 0;
    // Stuck: a frame for it waits in its socket and does not move, as the system takes no more.
    qint64 stuckQueue = -1;
    qsizetype readerFramesSinceMove = 0;
    qsizetype notReadySinceMove = 0;
    QTimer ticks;
    connect(&ticks, &QTimer::timeout, &handler, [&] {
        handler.handleImage(frame);
        for (QTcpSocket *socket : serverSideSockets(handler))
            mostQueued = qMax(mostQueued, socket->bytesToWrite());
        if (stuckOnServer->bytesToWrite() != stuckQueue) {
            stuckQueue = stuckOnServer->bytesToWrite();
            readerFramesSinceMove = reader.bodies.size();
            notReadySinceMove = out.lines().filter(QStringLiteral("CLIENT NOT READY")).size();
        }
    });
    ticks.start(5);

    // The stuck viewer is skipped while the other one goes on receiving.
    QTRY_VERIFY_WITH_TIMEOUT(stuckQueue > 0 && reader.bodies.size() >= readerFramesSinceMove + 10, 60000);
    // A frame already in flight when the count was taken may arrive without a skip behind it, so
    // the skips are awaited while the ticks go on rather than read at this very moment.
    QTRY_VERIFY_WITH_TIMEOUT(out.lines().filter(QStringLiteral("CLIENT NOT READY")).size() >= notReadySinceMove + 10,
                             60000);
    ticks.stop();
    handler.finishPendingFrames();
    QVERIFY(!reader.bodies.isEmpty());
    const qint64 frameBytes = 8 + reader.bodies.first().size();
    QVERIFY2(mostQueued <= frameBytes,
             qPrintable(QStringLiteral("%1 bytes queued, one frame is %2").arg(mostQueued).arg(frameBytes)));

    // Once it reads, it gets whole frames: those sent to it before, and then new ones.
    const qsizetype sentToBoth = out.lines().filter(QStringLiteral("Buffer length")).size();
    stuck.startReading();
    QTRY_COMPARE(reader.bodies.size() + stuck.bodies.size(), sentToBoth);
    QVERIFY(!stuck.protocolError);
    QVERIFY(stuck.bodies.size() < reader.bodies.size());
    for (const QByteArray &body : std::as_const(stuck.bodies))
        QCOMPARE(decodeBody(body).size(), QSize(400, 300));
    const qsizetype stuckBefore = stuck.bodies.size();
    handler.handleImage(frame);
    QTRY_COMPARE(stuck.bodies.size(), stuckBefore + 1);
}

void tst_TcpServerImagehandler::ticksDuringAnEncodingAreNotLost_data()
{
    QTest::addColumn<int>("ticks"); // in a row, before any of their encodings has come back
    QTest::addColumn<int>("delivered");
    QTest::newRow("one") << 1 << 1;
    QTest::newRow("the second is encoded behind the first") << 2 << 2;
    QTest::newRow("two at most are encoded for a viewer") << 3 << 2;
}

void tst_TcpServerImagehandler::ticksDuringAnEncodingAreNotLost()
{
    QFETCH(int, ticks);
    QFETCH(int, delivered);
    TcpServerImagehandler handler(0, QHostAddress::LocalHost);
    TestViewer viewer(handler.serverPort());
    QTRY_COMPARE(handler.viewerCount(), 1);

    CoutCapture out;
    // No event loop runs between the ticks, so no encoded frame is back before the last one.
    for (int i = 0; i < ticks; ++i)
        handler.handleImage(QPixmap::fromImage(patternImage(40, 30, i)));
    handler.finishPendingFrames();
    QTRY_COMPARE(viewer.bodies.size(), delivered);
    QCOMPARE(out.lines().filter(QStringLiteral("CLIENT NOT READY")).size(), ticks - delivered);
    for (int i = 0; i < delivered; ++i) // in the order grabbed
        QCOMPARE(decodeBody(viewer.bodies[i]).convertToFormat(QImage::Format_RGB32), patternImage(40, 30, i));
}

void tst_TcpServerImagehandler::exitSaysWhatViewersDidNotTake_data()
{
    QTest::addColumn<bool>("reading");
    QTest::newRow("viewer that took its frame: nothing said") << true;
    QTest::newRow("viewer that never reads: the wait and what was left are said") << false;
}

// At exit the GUI thread waits a bounded time for the viewers to take a frame already sent; that
// wait, and what it gave up on, are on the console.
void tst_TcpServerImagehandler::exitSaysWhatViewersDidNotTake()
{
    QFETCH(bool, reading);
    auto handler = std::make_unique<TcpServerImagehandler>(0, QHostAddress::LocalHost);
    TestViewer viewer(handler->serverPort(), reading);
    QTRY_COMPARE(handler->viewerCount(), 1);
    handler->handleImage(noisePixmap(2000, 2000)); // far more than the socket buffers hold
    handler->finishPendingFrames();
    if (reading)
        QTRY_COMPARE(viewer.bodies.size(), 1);
    CoutCapture out;
    handler.reset();
    const QStringList waited = out.lines().filter(QStringLiteral("Sending the rest of the last frame to 1 viewers"));
    const QStringList left = out.lines().filter(QStringLiteral("1 viewers did not take the rest of their last frame"));
    QCOMPARE(waited.size(), reading ? 0 : 1);
    QCOMPARE(left.size(), reading ? 0 : 1);
}

void tst_TcpServerImagehandler::disconnectAndReconnect_data()
{
    QTest::addColumn<bool>("whileEncoding");
    QTest::newRow("between frames") << false;
    QTest::newRow("while its frame is encoded") << true;
}

void tst_TcpServerImagehandler::disconnectAndReconnect()
{
    QFETCH(bool, whileEncoding);
    TcpServerImagehandler handler(0, QHostAddress::LocalHost);
    const QPixmap frame = noisePixmap(320, 240);
    auto viewer = std::make_unique<TestViewer>(handler.serverPort());
    QTRY_COMPARE(handler.viewerCount(), 1);
    handler.handleImage(frame);
    QTRY_COMPARE(viewer->bodies.size(), 1);

    CoutCapture out;
    if (whileEncoding)
        handler.handleImage(frame);
    viewer->socket.abort();
    viewer.reset();
    QTRY_COMPARE(handler.viewerCount(), 0);
    handler.finishPendingFrames();
    QCOMPARE(out.lines().filter(QStringLiteral("Client disconnected!")).size(), 1);

    // Gone: ticks are silent.
    out.clear();
    handler.handleImage(frame);
    handler.finishPendingFrames();
    QVERIFY(out.lines().isEmpty());

    // A new viewer is served like the first.
    TestViewer again(handler.serverPort());
    QTRY_COMPARE(handler.viewerCount(), 1);
    handler.handleImage(frame);
    QTRY_COMPARE(again.bodies.size(), 1);
    QCOMPARE(decodeBody(again.bodies.first()).size(), QSize(320, 240));
}

void tst_TcpServerImagehandler::seventeenthViewerRefused()
{
    TcpServerImagehandler handler(0, QHostAddress::LocalHost);
    std::vector<std::unique_ptr<TestViewer>> viewers;
    for (int i = 0; i < TcpServerImagehandler::MaxViewers; ++i)
        viewers.push_back(std::make_unique<TestViewer>(handler.serverPort()));
    QTRY_COMPARE(handler.viewerCount(), 16);

    CoutCapture out;
    // The refused side is told why: a line that an older viewer's parser rejects as a frame.
    QTcpSocket extra;
    QByteArray told;
    connect(&extra, &QIODevice::readyRead, &extra, [&] { told += extra.readAll(); });
    QSignalSpy closed(&extra, &QAbstractSocket::disconnected);
    extra.connectToHost(QHostAddress::LocalHost, handler.serverPort());
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(out.lines(), QStringList({QStringLiteral("Client 127.0.0.1 refused: already serving 16 viewers")}));
    QCOMPARE(handler.viewerCount(), 16);
    QCOMPARE(told, QByteArray(RefusedLine));
    FrameParser olderViewer;
    olderViewer.append(told);
    QCOMPARE(olderViewer.next(), FrameParser::Step::ProtocolError);
    // stream_viewer says so in words.
    {
        TCPclientImagehandler viewer;
        viewer.connectToServer(QStringLiteral("127.0.0.1"), handler.serverPort());
        QTRY_VERIFY(out.lines().contains(QStringLiteral("refused: the server is serving its maximum of viewers")));
    }
    QTRY_COMPARE(out.lines().filter(QStringLiteral(" refused: already serving 16 viewers")).size(), 2);

    handler.handleImage(QPixmap::fromImage(patternImage(16, 16)));
    for (const auto &viewer : viewers)
        QTRY_COMPARE(viewer->bodies.size(), 1);

    // A place that comes free is taken by the next viewer.
    viewers.front()->socket.disconnectFromHost();
    QTRY_COMPARE(handler.viewerCount(), 15);
    TestViewer late(handler.serverPort());
    QTRY_COMPARE(handler.viewerCount(), 16);
    QCOMPARE(late.socket.state(), QAbstractSocket::ConnectedState);
}

void tst_TcpServerImagehandler::stalledViewersMakeRoom_data()
{
    QTest::addColumn<int>("stalled"); // connections that never read
    QTest::addColumn<int>("readers");
    QTest::addColumn<int>("slow"); // connections that read about 20 KB/s
    QTest::addColumn<int>("timeoutMs");
    QTest::newRow("sixteen idle connections lock nobody out") << 16 << 0 << 0 << 300;
    // Readers read on this test's own event loop, which a busy machine may hold up for a while.
    QTest::newRow("stalled viewers go, reading ones stay") << 8 << 8 << 0 << 2000;
    // The system lets a slow reader's bytes go in bursts, when half its buffer is free.
    QTest::newRow("slow readers are not taken for dead ones") << 14 << 0 << 2 << 2000;
}

void tst_TcpServerImagehandler::stalledViewersMakeRoom()
{
    QFETCH(int, stalled);
    QFETCH(int, readers);
    QFETCH(int, slow);
    QFETCH(int, timeoutMs);
    TcpServerImagehandler handler(0, QHostAddress::LocalHost);
    handler.setViewerTimeout(timeoutMs);
    std::vector<std::unique_ptr<TestViewer>> reading;
    std::vector<std::unique_ptr<TestViewer>> idle;
    for (int i = 0; i < readers; ++i)
        reading.push_back(std::make_unique<TestViewer>(handler.serverPort()));
    for (int i = 0; i < stalled; ++i)
        idle.push_back(std::make_unique<TestViewer>(handler.serverPort(), false));
    // A slow reader takes 2 KB every 100 ms: far less than a frame within the timeout, but
    // never nothing.
    std::vector<std::unique_ptr<TestViewer>> slowReaders;
    std::vector<qint64> slowTaken(slow, 0);
    QTimer pace;
    for (int i = 0; i < slow; ++i) {
        slowReaders.push_back(std::make_unique<TestViewer>(handler.serverPort(), false));
        slowReaders.back()->socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16 * 1024);
    }
    connect(&pace, &QTimer::timeout, &handler, [&] {
        // Qt's buffer of the socket is full and stays so: the bytes are taken from the system.
        char bytes[2048];
        for (int i = 0; i < slow; ++i)
            slowTaken[i] += std::max<qint64>(0, ::recv(int(slowReaders[i]->socket.socketDescriptor()), bytes, sizeof bytes, MSG_DONTWAIT));
    });
    pace.start(100);
    QTRY_COMPARE(handler.viewerCount(), TcpServerImagehandler::MaxViewers);

    CoutCapture out;
    const QPixmap frame = noisePixmap(400, 300);
    QTimer ticks;
    connect(&ticks, &QTimer::timeout, &handler, [&] { handler.handleImage(frame); });
    ticks.start(33); // a capture's rate: the readers share this thread with the sender
    QTRY_COMPARE_WITH_TIMEOUT(handler.viewerCount(), readers + slow, 20000);
    // The line says what the client took: nothing of the first frame here. It comes in turn
    // after the lines of frames still being coded, so it may follow the drop itself.
    const auto dropLines = [&out] { return out.lines().filter(QStringLiteral(" dropped: it took ")); };
    QTRY_COMPARE(dropLines().size(), stalled);
    const QStringList drops = dropLines();
    for (const QString &line : drops)
        QVERIFY2(line.contains(QRegularExpression(QStringLiteral(
                     "^Client 127\\.0\\.0\\.1 dropped: it took \\d+ of the \\d+ bytes of its frame in \\d+ ms and none in the last %1 ms$")
                                                            .arg(timeoutMs))),
                 qPrintable(line));
    for (const auto &viewer : reading)
        QCOMPARE(viewer->socket.state(), QAbstractSocket::ConnectedState);
    // Slow readers stay for as long as they keep taking bytes: a few timeouts' worth here.
    for (int i = 0; i < slow; ++i) {
        QTRY_VERIFY_WITH_TIMEOUT(slowTaken[i] > 100000, 30000);
        QCOMPARE(slowReaders[i]->socket.state(), QAbstractSocket::ConnectedState);
    }
    QCOMPARE(handler.viewerCount(), readers + slow);

    // A real viewer gets in and is served.
    TestViewer late(handler.serverPort());
    QTRY_COMPARE(handler.viewerCount(), readers + slow + 1);
    QTRY_VERIFY(!late.bodies.isEmpty());
    QCOMPARE(decodeBody(late.bodies.first()).size(), QSize(400, 300));
    QVERIFY(out.lines().filter(QStringLiteral("refused")).isEmpty());
}

void tst_TcpServerImagehandler::closedConnectionsDoNotCount_data()
{
    QTest::addColumn<int>("kept"); // viewers that stay connected throughout
    QTest::newRow("connect/close loop, nobody else") << 0;
    QTest::newRow("connect/close loop beside fifteen viewers") << 15;
}

void tst_TcpServerImagehandler::closedConnectionsDoNotCount()
{
    QFETCH(int, kept);
    TcpServerImagehandler handler(0, QHostAddress::LocalHost);
    std::vector<std::unique_ptr<TestViewer>> viewers;
    for (int i = 0; i < kept; ++i)
        viewers.push_back(std::make_unique<TestViewer>(handler.serverPort()));
    QTRY_COMPARE(handler.viewerCount(), kept);

    // Each client is gone before the server gets round to the next: at most kept + 1 are open.
    CoutCapture out;
    const int attempts = 30;
    for (int i = 0; i < attempts; ++i) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, handler.serverPort());
        QVERIFY(client.waitForConnected(5000));
        client.disconnectFromHost();
    }
    QTRY_COMPARE(out.lines().filter(QStringLiteral("Client 127.0.0.1 ")).size(), attempts);
    QCOMPARE(out.lines().filter(QStringLiteral("refused")), QStringList());
    QTRY_COMPARE(handler.viewerCount(), kept);
}

void tst_TcpServerImagehandler::bytesFromViewersAreDiscarded()
{
    TcpServerImagehandler handler(0, QHostAddress::LocalHost);
    TestViewer viewer(handler.serverPort());
    QTRY_COMPARE(handler.viewerCount(), 1);
    const QByteArray chatter(1 << 20, 'N');
    viewer.socket.write(chatter);
    QTRY_COMPARE(viewer.socket.bytesToWrite(), 0);
    QTRY_VERIFY(!serverSideSockets(handler).isEmpty());
    QTcpSocket *serverSide = serverSideSockets(handler).first();
    QTRY_COMPARE(serverSide->bytesAvailable(), 0);

    handler.handleImage(QPixmap::fromImage(patternImage(16, 16)));
    QTRY_COMPARE(viewer.bodies.size(), 1);
    QCOMPARE(serverSide->bytesAvailable(), 0);
}

void tst_TcpServerImagehandler::bindAddressLimitsWhoCanConnect_data()
{
    QTest::addColumn<QHostAddress>("bind");
    QTest::addColumn<bool>("reachable");
    QTest::newRow("bound to 127.0.0.1, not reachable via 127.0.0.2") << QHostAddress(QHostAddress::LocalHost) << false;
    QTest::newRow("bound to every address, reachable via 127.0.0.2") << QHostAddress(QHostAddress::Any) << true;
}

void tst_TcpServerImagehandler::bindAddressLimitsWhoCanConnect()
{
    QFETCH(QHostAddress, bind);
    QFETCH(bool, reachable);
    TcpServerImagehandler handler(0, bind);
    QTcpSocket socket;
    QSignalSpy connected(&socket, &QAbstractSocket::connected);
    QSignalSpy failed(&socket, &QAbstractSocket::errorOccurred);
    socket.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), handler.serverPort());
    QTRY_COMPARE(connected.size() + failed.size(), 1);
    QCOMPARE(connected.size(), reachable ? 1 : 0);
    if (reachable)
        QTRY_COMPARE(handler.viewerCount(), 1);
    else
        QCOMPARE(socket.error(), QAbstractSocket::ConnectionRefusedError);
}

QTEST_MAIN(tst_TcpServerImagehandler)
#include "tst_tcpserverimagehandler.moc"
