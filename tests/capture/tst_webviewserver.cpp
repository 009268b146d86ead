#include "webviewserver.h"

#include "frameparser.h"
#include "tcpserverimagehandler.h"
#include "testsupport.h"

#include <QPixmap>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

#include <memory>
#include <vector>

namespace {

// A page's end of the WebSocket: keeps every frame and answers "ready" when told to.
class TestBrowser : public QObject
{
public:
    TestBrowser(quint16 port, bool answering)
    {
        connect(&socket, &QWebSocket::binaryMessageReceived, this, [this, answering](const QByteArray &frame) {
            frames.append(frame);
            if (answering)
                socket.sendTextMessage(QStringLiteral("ready"));
        });
        connect(&socket, &QWebSocket::disconnected, this, [this] { closed = true; });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
    }

    QWebSocket socket;
    QList<QByteArray> frames;
    bool closed = false;
};

// Sends raw bytes as a request and returns everything the server answers before it closes.
QByteArray exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket client;
    QByteArray answer;
    QObject::connect(&client, &QIODevice::readyRead, &client, [&] { answer += client.readAll(); });
    QObject::connect(&client, &QAbstractSocket::connected, &client, [&] { client.write(request); });
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!QTest::qWaitFor([&] { return client.state() == QAbstractSocket::UnconnectedState; }, 15000))
        return "(still connected) " + answer;
    return answer + client.readAll();
}

QByteArray upgradeRequest(quint16 port, const QByteArray &origin)
{
    return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port)
           + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
             "Sec-WebSocket-Version: 13\r\nOrigin: "
           + origin + "\r\n\r\n";
}

} // namespace

class tst_WebViewServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void requestsAreAnswered_data();
    void requestsAreAnswered();
    void framesAreTheStreamsPngBytes();
    void oneFrameInFlightPerBrowser();
    void badMessagesCloseThatBrowserOnly_data();
    void badMessagesCloseThatBrowserOnly();
    void browsersCountTowardTheViewerLimit();
};

void tst_WebViewServer::requestsAreAnswered_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    const QByteArray host = "\r\nHost: 127.0.0.1\r\n\r\n";
    QTest::newRow("page") << "GET / HTTP/1.1" + host << QByteArray("200 OK");
    QTest::newRow("page with a query") << "GET /?x=1 HTTP/1.0" + host << QByteArray("200 OK");
    QTest::newRow("other path") << "GET /favicon.ico HTTP/1.1" + host << QByteArray("404 Not Found");
    QTest::newRow("path out of the root") << "GET /../etc/passwd HTTP/1.1" + host << QByteArray("404 Not Found");
    QTest::newRow("socket path without upgrade") << "GET /ws HTTP/1.1" + host << QByteArray("404 Not Found");
    QTest::newRow("method other than GET") << "POST / HTTP/1.1" + host << QByteArray("405 Method Not Allowed");
    QTest::newRow("no version") << QByteArray("GET /\r\n\r\n") << QByteArray("400 Bad Request");
    QTest::newRow("absolute target") << "GET http://a/ HTTP/1.1" + host << QByteArray("400 Bad Request");
    QTest::newRow("header without colon") << QByteArray("GET / HTTP/1.1\r\nHost\r\n\r\n") << QByteArray("400 Bad Request");
    QTest::newRow("binary junk") << QByteArray("\x16\x03\x01\x02\x00\r\n\r\n", 9) << QByteArray("400 Bad Request");
    QTest::newRow("endless head") << "GET / HTTP/1.1\r\nX: " + QByteArray(100000, 'a')
                                  << QByteArray("431 Request Header Fields Too Large");
    QTest::newRow("socket opened by another site") << QByteArray() << QByteArray("403 Forbidden");
}

void tst_WebViewServer::requestsAreAnswered()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    CoutCapture cout;
    WebViewServer server(0, QHostAddress::LocalHost);
    QVERIFY(server.serverPort() != 0);
    if (request.isEmpty())
        request = upgradeRequest(server.serverPort(), "http://pages.example");
    const QByteArray answer = exchange(server.serverPort(), request);
    QVERIFY2(answer.startsWith("HTTP/1.1 " + status + "\r\n"), answer.left(200).constData());
    if (status.startsWith("200"))
        QVERIFY(answer.contains("<canvas"));
    QCOMPARE(server.viewerCount(), 0);
    // The start-up line, and at most one line for the request.
    QVERIFY2(cout.lines().size() <= 2, qPrintable(cout.lines().join(QLatin1Char('\n'))));
    // The server goes on serving.
    QVERIFY(exchange(server.serverPort(), "GET / HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 OK\r\n"));
}

void tst_WebViewServer::framesAreTheStreamsPngBytes()
{
    CoutCapture cout;
    TcpServerImagehandler stream(0, QHostAddress::LocalHost);
    WebViewServer web(0, QHostAddress::LocalHost);
    stream.setWebView(&web);
    QTcpSocket viewer;
    viewer.connectToHost(QHostAddress::LocalHost, stream.serverPort());
    TestBrowser browser(web.serverPort(), true);
    QTRY_COMPARE(stream.viewerCount(), 1);
    QTRY_COMPARE(web.viewerCount(), 1);

    FrameParser parser;
    QList<QByteArray> bodies;
    connect(&viewer, &QIODevice::readyRead, this, [&] {
        parser.append(viewer.readAll());
        for (FrameParser::Step step = parser.next(); step == FrameParser::Step::FrameComplete || step == FrameParser::Step::LengthRead;
             step = parser.next()) {
            if (step == FrameParser::Step::FrameComplete)
                bodies.append(parser.takeBody());
        }
    });
    for (int seed = 0; seed < 3; ++seed) {
        QVERIFY(web.wantsFrame());
        QCOMPARE(stream.handleImage(QPixmap::fromImage(patternImage(97, 61, seed))), 0);
        stream.finishPendingFrames();
        QTRY_COMPARE(browser.frames.size(), seed + 1);
        QTRY_COMPARE(bodies.size(), seed + 1);
        // The body is the 4-byte marker and the PNG file.
        QCOMPARE(browser.frames.last(), bodies.last().mid(4));
        QTRY_VERIFY(web.wantsFrame());
    }
    QCOMPARE(QImage::fromData(browser.frames.last(), "PNG").convertToFormat(QImage::Format_RGB32), patternImage(97, 61, 2));
}

void tst_WebViewServer::oneFrameInFlightPerBrowser()
{
    CoutCapture cout;
    WebViewServer web(0, QHostAddress::LocalHost);
    TestBrowser fast(web.serverPort(), true);
    TestBrowser slow(web.serverPort(), false);
    QTRY_COMPARE(web.viewerCount(), 2);

    const QByteArray frame(300000, 'f');
    for (int i = 0; i < 5; ++i) {
        QTRY_VERIFY(web.wantsFrame());
        QCOMPARE(web.sendFrame(frame), i == 0 ? 2 : 1);
        // Until it answers, a browser gets nothing more.
        QVERIFY(!web.wantsFrame());
        QCOMPARE(web.sendFrame(frame), 0);
        QTRY_COMPARE(fast.frames.size(), i + 1);
    }
    QCOMPARE(web.notReadyCount(), 1);
    QTRY_COMPARE(slow.frames.size(), 1);
    QCOMPARE(slow.frames.constFirst(), frame);

    // The slow one's answer makes it ready again.
    slow.socket.sendTextMessage(QStringLiteral("ready"));
    QTRY_COMPARE(web.notReadyCount(), 0);
    fast.socket.close();
    QTRY_COMPARE(web.viewerCount(), 1);
    QCOMPARE(web.sendFrame(frame), 1);
    QTRY_COMPARE(slow.frames.size(), 2);
}

void tst_WebViewServer::badMessagesCloseThatBrowserOnly_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("binary");
    QTest::newRow("binary data") << QByteArray("ready") << true;
    QTest::newRow("other text") << QByteArray("hello") << false;
    QTest::newRow("ready without a frame") << QByteArray("ready") << false;
    QTest::newRow("oversized message") << QByteArray(1 << 20, 'r') << false;
}

void tst_WebViewServer::badMessagesCloseThatBrowserOnly()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, binary);
    CoutCapture cout;
    WebViewServer web(0, QHostAddress::LocalHost);
    TestBrowser good(web.serverPort(), true);
    QTRY_COMPARE(web.viewerCount(), 1);
    TestBrowser bad(web.serverPort(), true);
    QTRY_COMPARE(web.viewerCount(), 2);
    const int lines = int(cout.lines().size());

    if (binary)
        bad.socket.sendBinaryMessage(message);
    else
        bad.socket.sendTextMessage(QString::fromLatin1(message));
    QTRY_VERIFY(bad.closed);
    QTRY_COMPARE(web.viewerCount(), 1);
    QCOMPARE(cout.lines().size(), lines + 1);
    QVERIFY(!good.closed);
    QCOMPARE(web.sendFrame("frame"), 1);
    QTRY_COMPARE(good.frames.size(), 1);
}

void tst_WebViewServer::browsersCountTowardTheViewerLimit()
{
    CoutCapture cout;
    TcpServerImagehandler stream(0, QHostAddress::LocalHost);
    WebViewServer web(0, QHostAddress::LocalHost);
    stream.setWebView(&web);
    std::vector<std::unique_ptr<QTcpSocket>> viewers;
    for (int i = 0; i < TcpServerImagehandler::MaxViewers - 1; ++i) {
        viewers.push_back(std::make_unique<QTcpSocket>());
        viewers.back()->connectToHost(QHostAddress::LocalHost, stream.serverPort());
    }
    QTRY_COMPARE(stream.viewerCount(), TcpServerImagehandler::MaxViewers - 1);
    TestBrowser last(web.serverPort(), true);
    QTRY_COMPARE(web.viewerCount(), 1);
    TestBrowser refusedBrowser(web.serverPort(), true);
    QTRY_VERIFY(refusedBrowser.closed);
    QTcpSocket refusedViewer;
    refusedViewer.connectToHost(QHostAddress::LocalHost, stream.serverPort());
    QTRY_COMPARE(refusedViewer.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(web.viewerCount(), 1);
    QCOMPARE(stream.viewerCount(), TcpServerImagehandler::MaxViewers - 1);
}

QTEST_MAIN(tst_WebViewServer)
#include "tst_webviewserver.moc"
