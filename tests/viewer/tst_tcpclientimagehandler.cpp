#include "framebytes.h"
#include "pngreader.h"
#include "glstreamrenderer.h"
#include "tcpclientimagehandler.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSemaphore>
#include <QTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

using Chunks = QList<QByteArray>;

class tst_TCPclientImagehandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void consoleLinesInOrder_data();
    void consoleLinesInOrder();
    void badLengthClosesTheConnectionAndReconnects_data();
    void badLengthClosesTheConnectionAndReconnects();
    void stallInsideAFrameClosesAndReconnects_data();
    void stallInsideAFrameClosesAndReconnects();
    void reconnectsAfterTheServerGoesAwayAndComesBack();
    void firstFailedConnectionIsNotRetried();
    void reconnectDelay_data();
    void reconnectDelay();
    void reconnectionBacksOffAndResetsOnSuccess();
    void imageRequestIsOneByte();
    void slowDecodeKeepsTheGuiThreadRunningAndShowsTheNewest_data();
    void slowDecodeKeepsTheGuiThreadRunningAndShowsTheNewest();
    void hugeFramesAreHeldOneAtATimeAndStillShown_data();
    void hugeFramesAreHeldOneAtATimeAndStillShown();

private:
    // Connects a fresh client (with the renderer as its reader) to the test server.
    QTcpSocket *connectClient();
    [[nodiscard]] QStringList linesMatching(const QString &start) const;

    std::unique_ptr<CoutCapture> m_cout;
    std::unique_ptr<QTcpServer> m_server;
    std::unique_ptr<GLStreamRenderer> m_renderer;
    std::unique_ptr<TCPclientImagehandler> m_client;
    std::unique_ptr<QSignalSpy> m_shown;
    quint16 m_port = 0;
};

void tst_TCPclientImagehandler::init()
{
    m_cout = std::make_unique<CoutCapture>();
    m_server = std::make_unique<QTcpServer>();
    QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
    m_port = m_server->serverPort();
    m_renderer = std::make_unique<GLStreamRenderer>();
    m_shown = std::make_unique<QSignalSpy>(m_renderer.get(), &GLStreamRenderer::SIG_imageShown);
}

void tst_TCPclientImagehandler::cleanup()
{
    m_client.reset();
    m_shown.reset();
    m_renderer.reset();
    m_server.reset();
    m_cout.reset();
}

QTcpSocket *tst_TCPclientImagehandler::connectClient()
{
    m_client = std::make_unique<TCPclientImagehandler>();
    m_client->setReconnectInterval(100);
    m_client->connectToServer(QStringLiteral("127.0.0.1"), m_port);
    m_renderer->setImageSource(m_client.get());
    if (!m_server->hasPendingConnections() && !m_server->waitForNewConnection(5000))
        return nullptr;
    QTcpSocket *peer = m_server->nextPendingConnection();
    m_cout->clear();
    return peer;
}

QStringList tst_TCPclientImagehandler::linesMatching(const QString &start) const
{
    QStringList found;
    for (const QString &line : m_cout->lines()) {
        if (line.startsWith(start))
            found << line;
    }
    return found;
}

void tst_TCPclientImagehandler::consoleLinesInOrder_data()
{
    QTest::addColumn<Chunks>("chunks");            // written one after the other, each awaited
    QTest::addColumn<QList<QStringList>>("lines"); // the client's lines after each chunk
    QTest::addColumn<QList<QImage>>("shown");      // images the renderer took, in order

    const QImage a = patternImage(40, 30, 1);
    const QImage b = patternImage(21, 57, 2);
    const QByteArray fa = frameOf(a);
    const QByteArray fb = frameOf(b);
    const QString la = QString::number(fa.size() - 8);
    const QString lb = QString::number(fb.size() - 8);
    const QStringList shownA{"Length read! " + la, "Complete image written!", "TEXTURE UPDATED", "30 40"};
    const QStringList shownB{"Length read! " + lb, "Complete image written!", "TEXTURE UPDATED", "57 21"};

    QTest::newRow("frame in one write") << Chunks{fa} << QList<QStringList>{shownA} << QList<QImage>{a};
    QTest::newRow("frame in two writes prints one need line")
        << Chunks{fa.left(20), fa.mid(20)}
        << QList<QStringList>{{"Length read! " + la, "12 need " + la}, shownA.mid(1)} << QList<QImage>{a};
    QTest::newRow("length split across writes prints nothing early")
        << Chunks{fa.left(5), fa.mid(5)} << QList<QStringList>{{}, shownA} << QList<QImage>{a};
    // One turn of the event loop decodes the newest complete frame only.
    const QStringList dropOne{"Dropped 1 older frame that arrived with a newer one"};
    QTest::newRow("two frames in one write: only the newer is decoded")
        << Chunks{fa + fb} << QList<QStringList>{dropOne + shownB} << QList<QImage>{b};
    QTest::newRow("burst of five frames: one decode, one line for the four dropped")
        << Chunks{fa + fb + fa + fb + fa}
        << QList<QStringList>{QStringList{"Dropped 4 older frames that arrived with a newer one"} + shownA}
        << QList<QImage>{a};
    // The image is shown once its decode, off the GUI thread, is done: after what the same read
    // printed about the next frame.
    const QStringList needB{"Length read! " + lb, "22 need " + lb};
    QTest::newRow("burst ending in half a frame: the newest complete one is decoded")
        << Chunks{fb + fa + fb.left(30), fb.mid(30)}
        << QList<QStringList>{dropOne + shownA.mid(0, 2) + needB + shownA.mid(2), shownB.mid(1)}
        << QList<QImage>{a, b};
    QTest::newRow("second frame completes with the next write")
        << Chunks{fa + fb.left(30), fb.mid(30)}
        << QList<QStringList>{shownA.mid(0, 2) + needB + shownA.mid(2), shownB.mid(1)}
        << QList<QImage>{a, b};
    QTest::newRow("null image is a texture update of size 0 0")
        << Chunks{frameOf(QImage()), fa}
        << QList<QStringList>{QStringList{"Length read! 4", "Complete image written!", "TEXTURE UPDATED", "0 0"}, shownA}
        << QList<QImage>{a};

    QByteArray garbage("\x00\x00\x00\x01", 4);
    garbage += QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(64, 'x');
    const QString skipped = QStringLiteral("Skipped an undecodable image (frame of %1 bytes from 127.0.0.1:");
    QTest::newRow("undecodable image is skipped and the stream stays in step")
        << Chunks{frameWithBody(garbage), fb}
        << QList<QStringList>{QStringList{"Length read! 76", "Complete image written!", skipped.arg(76)}, shownB}
        << QList<QImage>{b};
    const QByteArray bomb = bombBody(20000, 20000);
    QTest::newRow("image claiming 1.5 GB of pixels is refused")
        << Chunks{frameWithBody(bomb), fb}
        << QList<QStringList>{QStringList{"Length read! " + QString::number(bomb.size()), "Complete image written!",
                                          skipped.arg(bomb.size())}, shownB}
        << QList<QImage>{b};
}

void tst_TCPclientImagehandler::consoleLinesInOrder()
{
    QFETCH(Chunks, chunks);
    QFETCH(QList<QStringList>, lines);
    QFETCH(QList<QImage>, shown);

    QTcpSocket *peer = connectClient();
    QVERIFY(peer);
    QStringList expected;
    for (int i = 0; i < chunks.size(); ++i) {
        peer->write(chunks[i]);
        expected += lines[i];
        // A skipped-image line ends with the port: compare it by its start.
        QTRY_COMPARE(m_cout->lines().size(), expected.size());
        const QStringList got = m_cout->lines();
        for (int k = 0; k < expected.size(); ++k)
            QVERIFY2(got[k].startsWith(expected[k]), qPrintable(got.join('|')));
    }
    QCOMPARE(m_shown->size(), shown.size());
    for (int i = 0; i < shown.size(); ++i)
        QCOMPARE(m_shown->at(i).at(0).value<QImage>().convertToFormat(QImage::Format_RGB32), shown[i]);
    QCOMPARE(m_client->socketState(), QAbstractSocket::ConnectedState);
}

void tst_TCPclientImagehandler::badLengthClosesTheConnectionAndReconnects_data()
{
    QTest::addColumn<qint64>("length");
    QTest::newRow("length 0") << qint64(0);
    QTest::newRow("length 3") << qint64(3);
    QTest::newRow("negative length") << qint64(-1);
    QTest::newRow("length 2^40") << (qint64(1) << 40);
    QTest::newRow("length above 256 MiB") << (qint64(256) << 20) + 1;
}

void tst_TCPclientImagehandler::badLengthClosesTheConnectionAndReconnects()
{
    QFETCH(qint64, length);
    const QImage image = patternImage(16, 8, 3);

    QTcpSocket *peer = connectClient();
    QVERIFY(peer);
    QSignalSpy closed(peer, &QTcpSocket::disconnected);
    // The good frame after the bad length must not be taken for one: its boundary is unknown.
    peer->write(lengthField(length) + frameOf(image));
    QTRY_COMPARE(closed.size(), 1);
    QCOMPARE(m_shown->size(), 0);
    const QStringList errors = linesMatching(QStringLiteral("Protocol error from 127.0.0.1:"));
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().contains(QString::number(length)), qPrintable(errors.first()));

    // A fresh connection starts at a frame boundary: its frames are shown again.
    QTRY_VERIFY(m_server->hasPendingConnections()); // the client's timer needs the event loop
    QTcpSocket *again = m_server->nextPendingConnection();
    QTRY_COMPARE(linesMatching(QStringLiteral("Reconnected to 127.0.0.1:")).size(), 1);
    again->write(frameOf(image));
    QTRY_COMPARE(m_shown->size(), 1);
    QCOMPARE(m_shown->at(0).at(0).value<QImage>().convertToFormat(QImage::Format_RGB32), image);
}

void tst_TCPclientImagehandler::stallInsideAFrameClosesAndReconnects_data()
{
    QTest::addColumn<int>("wholeFramesFirst");
    QTest::addColumn<int>("partBytes"); // of the next frame, then nothing more
    QTest::newRow("half a frame") << 0 << -2;
    QTest::newRow("a length and no body") << 0 << 8;
    QTest::newRow("three bytes of a length") << 0 << 3;
    QTest::newRow("a frame shown, then half of the next") << 1 << -2;
}

void tst_TCPclientImagehandler::stallInsideAFrameClosesAndReconnects()
{
    QFETCH(int, wholeFramesFirst);
    QFETCH(int, partBytes);
    const QImage image = patternImage(40, 30, 6);
    const QByteArray frame = frameOf(image);

    QTcpSocket *peer = connectClient();
    QVERIFY(peer);
    m_client->setStallTimeout(200);
    QSignalSpy closed(peer, &QTcpSocket::disconnected);
    for (int i = 0; i < wholeFramesFirst; ++i)
        peer->write(frame);
    QTRY_COMPARE(m_shown->size(), wholeFramesFirst);
    peer->write(frame.left(partBytes < 0 ? frame.size() / -partBytes : partBytes));
    // The server stays connected and silent: the viewer must give up on it by itself.
    QTRY_COMPARE(closed.size(), 1);
    const QStringList stalls = linesMatching(QStringLiteral("No byte from 127.0.0.1:"));
    QCOMPARE(stalls.size(), 1);
    QVERIFY2(stalls.first().contains(QLatin1String("inside a frame")), qPrintable(stalls.first()));

    // Reconnected as after any loss, at a frame boundary: the next frame is shown whole.
    QTRY_VERIFY(m_server->hasPendingConnections());
    QTcpSocket *again = m_server->nextPendingConnection();
    QTRY_COMPARE(linesMatching(QStringLiteral("Reconnected to 127.0.0.1:")).size(), 1);
    again->write(frame);
    QTRY_COMPARE(m_shown->size(), wholeFramesFirst + 1);
    QCOMPARE(m_shown->constLast().at(0).value<QImage>().convertToFormat(QImage::Format_RGB32), image);
}

void tst_TCPclientImagehandler::reconnectsAfterTheServerGoesAwayAndComesBack()
{
    QTcpSocket *peer = connectClient();
    QVERIFY(peer);
    // Half a frame is pending when the server goes away; it must not spoil the next connection.
    const QByteArray frame = frameOf(patternImage(32, 32, 4));
    peer->write(frame.left(frame.size() / 2));
    QTRY_COMPARE(linesMatching(QStringLiteral("Length read!")).size(), 1);

    QElapsedTimer away;
    away.start();
    m_server->close();
    peer->disconnectFromHost();
    QTRY_COMPARE(linesMatching(QStringLiteral("Connection to 127.0.0.1:")).size(), 1);
    QVERIFY(linesMatching(QStringLiteral("Connection to 127.0.0.1:")).first().contains(QLatin1String("lost")));
    QTRY_VERIFY(linesMatching(QStringLiteral("Reconnecting to 127.0.0.1:")).size() >= 3);
    // One line per attempt at most, one attempt per interval.
    QVERIFY(linesMatching(QStringLiteral("Reconnecting to")).size() <= away.elapsed() / 100 + 1);

    QVERIFY(m_server->listen(QHostAddress::LocalHost, m_port));
    QTRY_VERIFY(m_server->hasPendingConnections()); // the client's timer needs the event loop
    QTcpSocket *again = m_server->nextPendingConnection();
    QTRY_COMPARE(linesMatching(QStringLiteral("Reconnected to 127.0.0.1:")).size(), 1);
    const QImage image = patternImage(24, 12, 5);
    again->write(frameOf(image));
    QTRY_COMPARE(m_shown->size(), 1);
    QCOMPARE(m_shown->at(0).at(0).value<QImage>().convertToFormat(QImage::Format_RGB32), image);
    QCOMPARE(linesMatching(QStringLiteral("Connection to")).size(), 1);
}

void tst_TCPclientImagehandler::firstFailedConnectionIsNotRetried()
{
    m_server->close(); // nobody listens on m_port now
    m_client = std::make_unique<TCPclientImagehandler>();
    m_client->setReconnectInterval(100);
    m_client->connectToServer(QStringLiteral("127.0.0.1"), m_port);
    QCOMPARE(m_cout->lines().size(), 1);
    QVERIFY2(m_cout->lines().first().startsWith(QLatin1String("Client created: Connection refused")),
             qPrintable(m_cout->lines().first()));

    // The server appears later: a viewer whose first connection failed does not come.
    QVERIFY(m_server->listen(QHostAddress::LocalHost, m_port));
    QVERIFY(!m_server->waitForNewConnection(0));
    QTest::qWait(500); // five reconnection intervals
    QVERIFY(!m_server->hasPendingConnections());
    QCOMPARE(m_cout->lines().size(), 1);
}

void tst_TCPclientImagehandler::reconnectDelay_data()
{
    QTest::addColumn<int>("base");
    QTest::addColumn<int>("failedAttempts");
    QTest::addColumn<int>("expected");
    QTest::newRow("first attempt after a loss: the base") << 1000 << 0 << 1000;
    QTest::newRow("after one failure: doubled") << 1000 << 1 << 2000;
    QTest::newRow("after four failures: sixteen times") << 1000 << 4 << 16000;
    QTest::newRow("after five failures: capped at 30 s") << 1000 << 5 << 30000;
    QTest::newRow("after an hour of failures: still 30 s, no overflow") << 1000 << 3600 << 30000;
    QTest::newRow("a short base keeps the shape") << 20 << 5 << 600;
}

void tst_TCPclientImagehandler::reconnectDelay()
{
    QFETCH(int, base);
    QFETCH(int, failedAttempts);
    QFETCH(int, expected);
    QCOMPARE(TCPclientImagehandler::reconnectDelay(base, failedAttempts), expected);
}

void tst_TCPclientImagehandler::reconnectionBacksOffAndResetsOnSuccess()
{
    QTcpSocket *peer = connectClient();
    QVERIFY(peer);
    QCOMPARE(m_client->state(), TCPclientImagehandler::State::Connected);
    m_client->setReconnectInterval(20);
    QElapsedTimer clock;
    clock.start();
    QList<int> delays;      // each wait as it starts
    QList<qint64> attempts; // when each attempt starts
    connect(m_client.get(), &TCPclientImagehandler::SIG_stateChanged, this, [&](TCPclientImagehandler::State state) {
        if (state == TCPclientImagehandler::State::Waiting)
            delays << m_client->nextReconnectDelay();
        else if (state == TCPclientImagehandler::State::Reconnecting)
            attempts << clock.elapsed();
    });

    m_server->close();
    peer->disconnectFromHost();
    QTRY_VERIFY_WITH_TIMEOUT(delays.size() >= 7, 10000);
    QCOMPARE(delays.mid(0, 7), (QList<int>{20, 40, 80, 160, 320, 600, 600}));
    for (int i = 1; i < 6; ++i)
        QVERIFY2(attempts[i] - attempts[i - 1] >= delays[i] - 1, qPrintable(QStringLiteral("attempt %1").arg(i)));
    QVERIFY(linesMatching(QStringLiteral("Reconnecting to")).size() <= attempts.size());

    // Connected again: the next loss starts from the base once more.
    QVERIFY(m_server->listen(QHostAddress::LocalHost, m_port));
    QTRY_VERIFY_WITH_TIMEOUT(m_server->hasPendingConnections(), 5000);
    QTcpSocket *again = m_server->nextPendingConnection();
    QTRY_COMPARE(m_client->state(), TCPclientImagehandler::State::Connected);
    delays.clear();
    m_server->close();
    again->disconnectFromHost();
    QTRY_VERIFY(!delays.isEmpty());
    QCOMPARE(delays.first(), 20);
    QVERIFY(m_client->stateText().startsWith(QLatin1String("connection lost, retrying")));
}

void tst_TCPclientImagehandler::imageRequestIsOneByte()
{
    QTcpSocket *peer = connectClient();
    QVERIFY(peer);
    m_client->SLOT_reqNewImage();
    QCOMPARE(m_cout->lines(), QStringList{"Image requested!"});
    QTRY_COMPARE(peer->bytesAvailable(), qint64(1));
    QCOMPARE(peer->readAll(), QByteArray("N"));
}

void tst_TCPclientImagehandler::slowDecodeKeepsTheGuiThreadRunningAndShowsTheNewest_data()
{
    QTest::addColumn<Chunks>("during");   // written while the first frame's decode is held
    QTest::addColumn<int>("newest");      // pattern seed of the frame shown after the first
    QTest::addColumn<QString>("dropped"); // the line for the frames never decoded, if any

    const auto frame = [](int seed) { return frameOf(patternImage(48, 32, seed)); };
    QTest::newRow("one frame arrives: it is decoded next") << Chunks{frame(2)} << 2 << QString();
    QTest::newRow("three frames in one write: the newest is decoded next")
        << Chunks{frame(2) + frame(3) + frame(4)} << 4
        << QStringLiteral("Dropped 2 older frames that arrived with a newer one");
    QTest::newRow("frames in separate writes: each newer one replaces the waiting one")
        << Chunks{frame(2), frame(3)} << 3 << QStringLiteral("Dropped 1 older frame that arrived with a newer one");
}

void tst_TCPclientImagehandler::slowDecodeKeepsTheGuiThreadRunningAndShowsTheNewest()
{
    QFETCH(Chunks, during);
    QFETCH(int, newest);
    QFETCH(QString, dropped);

    QTcpSocket *peer = connectClient();
    QVERIFY(peer);
    // The first decode waits until the test lets it go; on the GUI thread it would block the
    // timer below (and give up after 5 s, failing the test rather than hanging it).
    auto started = std::make_shared<QSemaphore>();
    auto gate = std::make_shared<QSemaphore>();
    auto decodes = std::make_shared<std::atomic<int>>(0);
    auto heldUntilReleased = std::make_shared<std::atomic<bool>>(false);
    m_client->setDecoder([started, gate, decodes, heldUntilReleased](const QByteArray &body, QImage &image) {
        if (decodes->fetch_add(1) == 0) {
            started->release();
            heldUntilReleased->store(gate->tryAcquire(1, 5000));
        }
        return decodeFrameBody(body, image);
    });
    int ticks = 0;
    QTimer timer;
    timer.setInterval(5);
    connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
    timer.start();

    peer->write(frameOf(patternImage(48, 32, 1)));
    QTRY_COMPARE(started->available(), 1);
    const int ticksBefore = ticks;
    QTRY_VERIFY(ticks >= ticksBefore + 5); // the GUI thread runs while the decode is held
    for (const QByteArray &chunk : during) {
        peer->write(chunk);
        QVERIFY(peer->waitForBytesWritten(5000));
    }
    if (!dropped.isEmpty())
        QTRY_VERIFY(m_cout->lines().contains(dropped));
    else
        QTRY_COMPARE(linesMatching(QStringLiteral("Complete image written!")).size(), 2);
    QCOMPARE(m_shown->size(), 0);

    gate->release();
    QTRY_COMPARE(m_shown->size(), 2);
    QCOMPARE(m_shown->at(0).at(0).value<QImage>().convertToFormat(QImage::Format_RGB32), patternImage(48, 32, 1));
    QCOMPARE(m_shown->at(1).at(0).value<QImage>().convertToFormat(QImage::Format_RGB32), patternImage(48, 32, newest));
    QCOMPARE(decodes->load(), 2); // the dropped frames were never decoded
    QVERIFY(heldUntilReleased->load());
}

QTEST_MAIN(tst_TCPclientImagehandler)
#include "tst_tcpclientimagehandler.moc"

namespace {

// Decoded images alive at once, counted by the images themselves (their buffers' release).
std::atomic<int> g_aliveImages{0};
std::atomic<int> g_mostAliveImages{0};

void releaseCounted(void *data)
{
    std::free(data);
    --g_aliveImages;
}

} // namespace

void tst_TCPclientImagehandler::hugeFramesAreHeldOneAtATimeAndStillShown_data()
{
    QTest::addColumn<int>("framesPerWrite"); // frames that arrive together
    QTest::newRow("huge frames one by one, nonstop") << 1;
    QTest::newRow("huge frames three to a read, nonstop") << 3;
}

void tst_TCPclientImagehandler::hugeFramesAreHeldOneAtATimeAndStillShown()
{
    QFETCH(int, framesPerWrite);
    constexpr int side = 4200; // 67 MiB decoded: a large frame
    m_shown.reset(); // a spy would keep every frame alive
    int shown = 0;
    connect(m_renderer.get(), &GLStreamRenderer::SIG_imageShown, this, [&shown] { ++shown; });
    m_renderer->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_renderer.get()));
    QTcpSocket *peer = connectClient();
    QVERIFY(peer);
    g_aliveImages = 0;
    g_mostAliveImages = 0;
    // Each decoded image owns a buffer whose release it counts.
    m_client->setDecoder([](const QByteArray &body, QImage &image) {
        const int alive = ++g_aliveImages;
        for (int most = g_mostAliveImages; alive > most && !g_mostAliveImages.compare_exchange_weak(most, alive);) {
        }
        auto *data = static_cast<uchar *>(std::malloc(size_t(side) * side * 4));
        std::memset(data, body.back(), size_t(side) * side * 4);
        image = QImage(data, side, side, side * 4, QImage::Format_RGB32, releaseCounted, data);
        return true;
    });
    // The server sends without a pause: more frames whenever the socket has written the last.
    int sent = 0;
    QTimer sender;
    connect(&sender, &QTimer::timeout, peer, [&] {
        QByteArray frames;
        for (int i = 0; i < framesPerWrite && peer->bytesToWrite() == 0; ++i, ++sent)
            frames += frameWithBody(QByteArray::fromRawData("\0\0\0\1", 4) + char(sent % 251));
        peer->write(frames);
    });
    sender.start(0);
    // No starvation: frames keep being shown while they keep coming.
    QTRY_VERIFY_WITH_TIMEOUT(shown >= 4, 30000);
    sender.stop();
    QCOMPARE(int(g_mostAliveImages), 1);
    QVERIFY(sent > shown); // frames were dropped for newer ones, not queued
}
