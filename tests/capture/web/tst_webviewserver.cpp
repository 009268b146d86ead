#include "webviewserver.h"

#include "jpegbandscoder.h"
#include "frameparser.h"
#include "tcpserverimagehandler.h"
#include "webframebroadcaster.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QPainter>
#include <QPixmap>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>
#include <QtEndian>

#include <atomic>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <memory>
#include <vector>

namespace {

// Draws a frame message of the web view onto `picture`, as the page does; false when it does not
// parse or a piece does not decode. Counts the pieces by kind.
bool drawMessage(QImage &picture, const QByteArray &message, int pieces[2])
{
    if (message.size() < 12)
        return false;
    const auto u32 = [&](qsizetype at) { return qFromBigEndian<quint32>(message.constData() + at); };
    const QSize size(int(u32(0)), int(u32(4)));
    if (picture.size() != size)
        picture = QImage(size, QImage::Format_RGB32);
    qsizetype at = 12;
    for (quint32 i = 0, count = u32(8); i < count; ++i) {
        if (at + 13 > message.size())
            return false;
        const int y = int(u32(at));
        const int rows = int(u32(at + 4));
        const int kind = quint8(message[at + 8]);
        const qsizetype length = qsizetype(u32(at + 9));
        const QImage piece = QImage::fromData(message.mid(at + 13, length), kind == 1 ? "JPG" : "PNG");
        if (piece.isNull() || piece.size() != QSize(size.width(), rows) || kind > 1)
            return false;
        QPainter(&picture).drawImage(0, y, piece);
        ++pieces[kind];
        at += 13 + length;
    }
    return at == message.size();
}

// A page's end of the WebSocket: keeps every frame, draws it like the page, and answers
// "ready" when told to.
class TestBrowser : public QObject
{
public:
    TestBrowser(const WebViewServer &server, bool answering)
        : socket(QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort())) // the page's origin
    {
        connect(&socket, &QWebSocket::binaryMessageReceived, this, [this, answering](const QByteArray &frame) {
            frames.append(frame);
            valid = drawMessage(picture, frame, pieces) && valid;
            if (answering)
                socket.sendTextMessage(QStringLiteral("ready"));
        });
        connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString &text) { state = text; });
        connect(&socket, &QWebSocket::disconnected, this, [this] { closed = true; });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws?token=%2").arg(server.serverPort()).arg(server.token())));
    }

    QWebSocket socket;
    QList<QByteArray> frames;
    QImage picture;
    int pieces[2] = {0, 0}; // PNG, JPEG
    bool valid = true;
    QString state;
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
    // An accepted WebSocket stays open: its answer ends with the head.
    const auto done = [&] {
        return client.state() == QAbstractSocket::UnconnectedState
               || (answer.startsWith("HTTP/1.1 101 ") && answer.contains("\r\n\r\n"));
    };
    if (!QTest::qWaitFor(done, 15000))
        return "(still connected) " + answer;
    return answer + client.readAll();
}

// A request's head: $PORT, $TOKEN, $COOKIE (the cookie header with the right token) and $HOST
// (this machine's name) are filled in.
QByteArray request(const WebViewServer &server, QByteArray head)
{
    const QByteArray port = QByteArray::number(server.serverPort());
    head.replace("$COOKIE", "Cookie: theme=dark; deskcast-" + port + "=" + server.token().toLatin1());
    head.replace("$TOKEN", server.token().toLatin1());
    head.replace("$HOST", QHostInfo::localHostName().toLatin1());
    head.replace("$PORT", port);
    return head.replace("\n", "\r\n") + "\r\n";
}

const QByteArray Upgrade = "Upgrade: websocket\nConnection: Upgrade\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\n"
                           "Sec-WebSocket-Version: 13\n";

// A client that opens the WebSocket as the page would and then never reads: Qt takes no more
// than a few KiB from the system for it.
std::unique_ptr<QTcpSocket> openSilentSocket(const WebViewServer &server, const QHostAddress &from = QHostAddress::LocalHost)
{
    auto client = std::make_unique<QTcpSocket>();
    client->setReadBufferSize(4096);
    client->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    client->bind(from);
    QTcpSocket *raw = client.get();
    QObject::connect(raw, &QAbstractSocket::connected, raw, [raw, &server] {
        raw->write(request(server, "GET /ws HTTP/1.1\nHost: 127.0.0.1:$PORT\nOrigin: http://127.0.0.1:$PORT\n" + Upgrade + "$COOKIE\n"));
    });
    client->connectToHost(QHostAddress::LocalHost, server.serverPort());
    return client;
}

// A client's ping with a payload of `size` bytes (masked, as a client's frames must be, with a
// mask of zeros).
QByteArray pingFrame(int size)
{
    return QByteArray("\x89", 1) + char(0x80 | size) + QByteArray(4, '\0') + QByteArray(size, 'p');
}

// A client's frame: `first` is the first byte (FIN and opcode), the payload (below 126 bytes)
// masked or not.
QByteArray clientFrame(quint8 first, const QByteArray &payload, bool masked)
{
    const char key[4] = {0x12, 0x34, 0x56, 0x78};
    QByteArray frame;
    frame.append(char(first)).append(char((masked ? 0x80 : 0) | payload.size()));
    if (!masked)
        return frame + payload;
    frame.append(key, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame.append(char(payload[i] ^ key[i % 4]));
    return frame;
}

// What the server sent after its handshake's answer: pongs, and the status of its close frame.
struct ServerFrames
{
    int pongs = 0;
    int binary = 0;
    int closeCode = -1; // no close frame
};

ServerFrames parseServerFrames(const QByteArray &stream)
{
    ServerFrames seen;
    const qsizetype head = stream.indexOf("\r\n\r\n");
    qsizetype at = head < 0 ? stream.size() : head + 4;
    while (at + 2 <= stream.size()) {
        const int opcode = quint8(stream[at]) & 0x0f;
        qint64 length = quint8(stream[at + 1]) & 0x7f;
        at += 2;
        if (length == 126) {
            length = qFromBigEndian<quint16>(stream.constData() + at);
            at += 2;
        } else if (length == 127) {
            length = qint64(qFromBigEndian<quint64>(stream.constData() + at));
            at += 8;
        }
        if (at + length > stream.size())
            break;
        if (opcode == 0xa)
            ++seen.pongs;
        else if (opcode == 0x2)
            ++seen.binary;
        else if (opcode == 0x8 && length >= 2 && seen.closeCode < 0)
            seen.closeCode = qFromBigEndian<quint16>(stream.constData() + at);
        at += length;
    }
    return seen;
}

// A message to every ready browser, the way the broadcaster sends a frame; returns how many.
int sendToReady(WebViewServer &web, const QByteArray &message)
{
    const std::vector<WebFrameComposer::Recipient> browsers = web.reserveReadyBrowsers();
    for (const WebFrameComposer::Recipient &browser : browsers)
        web.sendTo(browser.id, message);
    return int(browsers.size());
}

} // namespace

class tst_WebViewServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void requestsAreAnswered_data();
    void requestsAreAnswered();
    void accessIsGuarded_data();
    void accessIsGuarded();
    void tokensAreSecretAndNewEachRun();
    void refusalsPrintALineASecondAtMost();
    void browserPictureFollowsTheFrames_data();
    void browserPictureFollowsTheFrames();
    void framesInFlightPerBrowserAreCapped();
    void badMessagesCloseThatBrowserOnly_data();
    void badMessagesCloseThatBrowserOnly();
    void browsersCountTowardTheViewerLimit();
    void slowRequestsDoNotKeepBrowsersOut_data();
    void slowRequestsDoNotKeepBrowsersOut();
    void onlyLiveBrowsersCount_data();
    void onlyLiveBrowsersCount();
    void pingsAreAnsweredButNotHoarded_data();
    void pingsAreAnsweredButNotHoarded();
    void clientFramesMustBeMasked_data();
    void clientFramesMustBeMasked();
};

void tst_WebViewServer::requestsAreAnswered_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    const QByteArray host = "\nHost: 127.0.0.1\n$COOKIE\n";
    QTest::newRow("page") << "GET / HTTP/1.1" + host << QByteArray("200 OK");
    QTest::newRow("page with a query") << "GET /?x=1 HTTP/1.0" + host << QByteArray("200 OK");
    QTest::newRow("other path") << "GET /favicon.ico HTTP/1.1" + host << QByteArray("404 Not Found");
    QTest::newRow("path out of the root") << "GET /../etc/passwd HTTP/1.1" + host << QByteArray("404 Not Found");
    QTest::newRow("socket path without upgrade") << "GET /ws HTTP/1.1" + host << QByteArray("404 Not Found");
    QTest::newRow("method other than GET") << "POST / HTTP/1.1" + host << QByteArray("405 Method Not Allowed");
    QTest::newRow("no version") << QByteArray("GET /\n") << QByteArray("400 Bad Request");
    QTest::newRow("absolute target") << "GET http://a/ HTTP/1.1" + host << QByteArray("400 Bad Request");
    QTest::newRow("header without colon") << QByteArray("GET / HTTP/1.1\nHost\n") << QByteArray("400 Bad Request");
    QTest::newRow("binary junk") << QByteArray("\x16\x03\x01\x02\x00\n", 6) << QByteArray("400 Bad Request");
    // A client waits for the handshake's answer before it sends a frame (a masked empty ping here).
    QTest::newRow("WebSocket data before the handshake's answer")
        << "GET /ws HTTP/1.1\nHost: 127.0.0.1:$PORT\nOrigin: http://127.0.0.1:$PORT\n" + Upgrade + "$COOKIE\n\n"
               + QByteArray("\x89\x80\0\0\0\0", 6)
        << QByteArray("400 Bad Request");
    QTest::newRow("endless head") << "GET / HTTP/1.1\r\nX: " + QByteArray(100000, 'a')
                                  << QByteArray("431 Request Header Fields Too Large");
}

void tst_WebViewServer::requestsAreAnswered()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    CoutCapture cout;
    WebViewServer server(0, QHostAddress::LocalHost);
    QVERIFY(server.serverPort() != 0);
    const QByteArray answer = exchange(server.serverPort(), ::request(server, request));
    QVERIFY2(answer.startsWith("HTTP/1.1 " + status + "\r\n"), answer.left(200).constData());
    if (status.startsWith("200")) {
        QVERIFY(answer.contains("<canvas"));
        // The page runs nothing but its own script (a browser test runs it under this policy).
        QVERIFY(answer.contains("\r\nContent-Security-Policy: default-src 'none'; script-src 'sha256-"));
    }
    QCOMPARE(server.viewerCount(), 0);
    // The start-up line, and at most one line for the request.
    QVERIFY2(cout.lines().size() <= 2, qPrintable(cout.lines().join(QLatin1Char('\n'))));
    // The server goes on serving.
    QVERIFY(exchange(server.serverPort(), ::request(server, "GET / HTTP/1.1\nHost: localhost\n$COOKIE\n"))
                .startsWith("HTTP/1.1 200 OK\r\n"));
}

void tst_WebViewServer::accessIsGuarded_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    const QByteArray page = "GET / HTTP/1.1\nHost: 127.0.0.1:$PORT\n";
    const QByteArray socket = "GET /ws HTTP/1.1\nHost: 127.0.0.1:$PORT\nOrigin: http://127.0.0.1:$PORT\n" + Upgrade;
    QTest::newRow("page without token or cookie") << page << QByteArray("403 Forbidden");
    QTest::newRow("page with a wrong token") << QByteArray(page).replace("/ ", "/?token=0123456789abcdef0123456789abcdef ")
                                             << QByteArray("403 Forbidden");
    QTest::newRow("page with the token and more") << QByteArray(page).replace("/ ", "/?token=$TOKENx ")
                                                  << QByteArray("403 Forbidden");
    QTest::newRow("page with a wrong cookie") << page + "Cookie: deskcast-$PORT=0123456789abcdef0123456789abcdef\n"
                                              << QByteArray("403 Forbidden");
    QTest::newRow("cookie of another port") << page + "Cookie: deskcast-1=$TOKEN\n" << QByteArray("403 Forbidden");
    QTest::newRow("page with the token in the link") << QByteArray(page).replace("/ ", "/?token=$TOKEN ")
                                                     << QByteArray("303 See Other");
    QTest::newRow("page with the cookie") << page + "$COOKIE\n" << QByteArray("200 OK");
    QTest::newRow("page as localhost") << QByteArray("GET / HTTP/1.1\nHost: LocalHost:$PORT\n$COOKIE\n") << QByteArray("200 OK");
    QTest::newRow("page as IPv6 loopback") << QByteArray("GET / HTTP/1.1\nHost: [::1]:$PORT\n$COOKIE\n") << QByteArray("200 OK");
    QTest::newRow("page as this machine's name") << QByteArray("GET / HTTP/1.1\nHost: $HOST:$PORT\n$COOKIE\n") << QByteArray("200 OK");
    QTest::newRow("unknown page with the cookie") << QByteArray("GET /x.js HTTP/1.1\nHost: localhost\n$COOKIE\n")
                                                  << QByteArray("404 Not Found");
    QTest::newRow("unknown page without it") << QByteArray("GET /x.js HTTP/1.1\nHost: localhost\n") << QByteArray("403 Forbidden");
    QTest::newRow("socket without token or cookie") << socket << QByteArray("403 Forbidden");
    QTest::newRow("socket with the cookie") << socket + "$COOKIE\n" << QByteArray("101 Switching Protocols");
    QTest::newRow("socket with the token in its address") << QByteArray(socket).replace("/ws ", "/ws?token=$TOKEN ")
                                                          << QByteArray("101 Switching Protocols");
    QTest::newRow("socket without an origin") << QByteArray(socket).replace("Origin: http://127.0.0.1:$PORT\n", "") + "$COOKIE\n"
                                              << QByteArray("403 Forbidden");
    QTest::newRow("socket from a page of another site")
        << QByteArray(socket).replace("Origin: http://127.0.0.1:$PORT", "Origin: http://pages.example") + "$COOKIE\n"
        << QByteArray("403 Forbidden");
    // DNS rebinding: another site's name made to resolve to this machine; its page's origin then
    // matches the Host it sends, and the browser would even send a cookie set for that name.
    QTest::newRow("socket under a rebinding name")
        << "GET /ws HTTP/1.1\nHost: rebind.example:$PORT\nOrigin: http://rebind.example:$PORT\n" + Upgrade + "$COOKIE\n"
        << QByteArray("421 Misdirected Request");
    QTest::newRow("page under a rebinding name") << QByteArray("GET /?token=$TOKEN HTTP/1.1\nHost: rebind.example:$PORT\n")
                                                 << QByteArray("421 Misdirected Request");
    QTest::newRow("no host") << QByteArray("GET /?token=$TOKEN HTTP/1.1\n") << QByteArray("421 Misdirected Request");
}

void tst_WebViewServer::accessIsGuarded()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    CoutCapture cout;
    WebViewServer server(0, QHostAddress::Any);
    QVERIFY(server.serverPort() != 0);
    // The link printed at start-up carries the token.
    QVERIFY2(cout.lines().constFirst().startsWith(QStringLiteral("Web view: http://localhost:%1/?token=%2 (")
                                                     .arg(server.serverPort())
                                                     .arg(server.token())),
             qPrintable(cout.lines().join(QLatin1Char('\n'))));
    const QByteArray answer = exchange(server.serverPort(), ::request(server, request)).left(2000);
    QVERIFY2(answer.startsWith("HTTP/1.1 " + status + "\r\n"), answer.constData());
    if (status.startsWith("200"))
        QVERIFY(answer.contains("<canvas"));
    if (status.startsWith("303")) {
        // The token becomes a cookie only scripts of no page can read, and leaves the address.
        QVERIFY2(answer.contains("\r\nLocation: /\r\n"), answer.constData());
        const QByteArray cookie = "\r\nSet-Cookie: deskcast-" + QByteArray::number(server.serverPort()) + '='
                                  + server.token().toLatin1() + "; Path=/; HttpOnly; SameSite=Strict\r\n";
        QVERIFY2(answer.contains(cookie), answer.constData());
        // The cookie alone then opens the page.
        const QByteArray next = exchange(server.serverPort(), ::request(server, "GET / HTTP/1.1\nHost: localhost\n$COOKIE\n"));
        QVERIFY2(next.startsWith("HTTP/1.1 200 OK\r\n"), next.left(300).constData());
    }
    if (!status.startsWith("2") && !status.startsWith("1") && !status.startsWith("3")) {
        QVERIFY(!answer.contains("<canvas"));
        QVERIFY(!answer.contains("Set-Cookie"));
        QCOMPARE(cout.lines().size(), 2);
        QVERIFY2(cout.lines().last().startsWith(QStringLiteral("Web view: refused 127.0.0.1: ")),
                 qPrintable(cout.lines().last()));
    }
}

void tst_WebViewServer::tokensAreSecretAndNewEachRun()
{
    CoutCapture cout;
    WebViewServer first(0, QHostAddress::LocalHost);
    WebViewServer second(0, QHostAddress::LocalHost);
    WebViewServer given(0, QHostAddress::LocalHost, nullptr, {QStringLiteral("given-token_0123456789ab"), false});
    QCOMPARE(first.token().size(), 2 * WebViewServer::TokenBytes);
    QVERIFY(first.token() != second.token());
    QCOMPARE(given.token(), QStringLiteral("given-token_0123456789ab"));
    QVERIFY(given.pageUrl().endsWith(QStringLiteral("/?token=given-token_0123456789ab")));
}

void tst_WebViewServer::refusalsPrintALineASecondAtMost()
{
    CoutCapture cout;
    WebViewServer server(0, QHostAddress::LocalHost);
    QElapsedTimer clock;
    clock.start();
    constexpr int Requests = 40;
    for (int i = 0; i < Requests; ++i)
        QVERIFY(exchange(server.serverPort(), "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n").startsWith("HTTP/1.1 403 "));
    const int lines = int(cout.lines().size()) - 1; // after the start-up line
    QVERIFY(lines >= 1);
    QVERIFY2(lines <= 1 + clock.elapsed() / 1000, qPrintable(cout.lines().join(QLatin1Char('\n'))));
    QVERIFY(lines < Requests);
}

void tst_WebViewServer::browserPictureFollowsTheFrames_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("lossless");
    QTest::addColumn<bool>("keepUp");      // the browser is ready for every frame
    QTest::addColumn<bool>("withViewer");  // a TCP viewer takes the stream too
    QTest::addColumn<int>("maxDeltaRows"); // rows a frame after the first may send (-1: any)
    QTest::addColumn<int>("jpeg"); // 1: some pieces go as JPEG, 0: none, -1: either
    QTest::addColumn<bool>("givenJpeg"); // JPEG pieces come from another producer
    QTest::addColumn<bool>("fromCoder"); // frames are coded once first, as the session sends them
    QTest::newRow("small change in one band") << "cursor" << false << true << false << 16 << 0 << false << false;
    QTest::newRow("small change, with a TCP viewer") << "cursor" << false << true << true << 16 << 0 << false << false;
    QTest::newRow("video in some bands goes lossy, then exact") << "video" << false << true << false << -1 << 1 << false << false;
    QTest::newRow("video playing until the capture stops") << "video to the end" << false << true << false << -1 << 1 << false << false;
    QTest::newRow("video, JPEG from another producer") << "video" << false << true << false << -1 << 1 << true << false;
    QTest::newRow("video with a TCP viewer") << "video" << false << true << true << -1 << 1 << false << false;
    QTest::newRow("video, exact pixels only") << "video" << true << true << false << -1 << 0 << false << false;
    QTest::newRow("browser falls behind") << "video" << false << false << false << -1 << -1 << false << false;
    // Two separate runs of lossy bands are coded at once on the band threads; the shared coder
    // that coded them spreads its own work over the same threads.
    QTest::newRow("two videos, JPEG joined from the shared coding")
        << "two videos" << false << true << false << -1 << 1 << true << true;
    QTest::newRow("size changes") << "resize" << false << true << false << -1 << 0 << false << false;
}

void tst_WebViewServer::browserPictureFollowsTheFrames()
{
    QFETCH(QString, content);
    QFETCH(bool, lossless);
    QFETCH(bool, keepUp);
    QFETCH(bool, withViewer);
    QFETCH(int, maxDeltaRows);
    QFETCH(int, jpeg);
    QFETCH(bool, givenJpeg);
    QFETCH(bool, fromCoder);
    CoutCapture cout;
    JpegBandsCoder coder(WebFrameComposer::LossyQuality);
    coder.setMode(JpegBandsCoder::Mode::WideChanges);
    TcpServerImagehandler stream(0, QHostAddress::LocalHost);
    WebViewServer web(0, QHostAddress::LocalHost, nullptr, {QString(), lossless});
    WebFrameBroadcaster broadcaster(&web);
    std::atomic<int> given{0};
    if (givenJpeg) {
        broadcaster.setLossyBandSource([&given](const QImage &frame, int firstBand, int bandCount) {
            ++given;
            return WebFrameComposer::encodeLossy(frame, firstBand, bandCount);
        });
    }
    QTcpSocket viewer;
    connect(&viewer, &QIODevice::readyRead, &viewer, [&viewer] { viewer.readAll(); });
    if (withViewer) {
        viewer.connectToHost(QHostAddress::LocalHost, stream.serverPort());
        QTRY_COMPARE(stream.viewerCount(), 1);
    }
    TestBrowser browser(web, true);
    QTRY_COMPARE(web.viewerCount(), 1);
    QTRY_COMPARE(browser.state, QStringLiteral("waiting"));
    stream.startHandling(nullptr);
    broadcaster.startHandling(nullptr);
    QTRY_COMPARE(browser.state, QStringLiteral("capturing"));

    // 10 bands; a video plays in bands 2 to 5, a "cursor" blinks in band 6.
    const QImage desktop = patternImage(320, 160, 1);
    QImage previous;
    constexpr int Frames = 14;
    for (int i = 0; i < Frames; ++i) {
        QImage frame = desktop.copy();
        QPainter painter(&frame);
        if ((content == QLatin1String("video") && i < Frames - 3) || content == QLatin1String("video to the end"))
            painter.drawImage(0, 32, photoLikeImage(320, 64, i));
        if (content == QLatin1String("two videos") && i < Frames - 3) {
            painter.drawImage(0, 16, photoLikeImage(320, 32, i));
            painter.drawImage(0, 96, photoLikeImage(320, 32, i + 100));
        }
        if (content == QLatin1String("cursor"))
            painter.fillRect(40 + i * 10, 100, 4, 10, QColor(255, 255, 255));
        painter.end();
        if (content == QLatin1String("resize") && i >= Frames / 2)
            frame = patternImage(200 + i, 100 + i, i);
        if (keepUp)
            QTRY_VERIFY(web.wantsFrame());
        CapturedFrame captured{frame, BandMap::compare(frame, previous), i};
        stream.handleFrame(captured);
        if (fromCoder) {
            coder.code(captured, [&broadcaster](const CapturedFrame &coded, const CodedJpeg &coding) {
                broadcaster.handleCodedFrame(coded, coding.bands);
            });
            coder.drain();
        } else {
            broadcaster.handleFrame(captured);
        }
        if (keepUp) {
            QTRY_COMPARE(browser.frames.size(), i + 1);
            if (i > 0 && maxDeltaRows >= 0) {
                const QByteArray &message = browser.frames.last();
                int rows = 0;
                for (qsizetype at = 12; at + 13 <= message.size(); at += 13 + qFromBigEndian<quint32>(message.constData() + at + 9))
                    rows += int(qFromBigEndian<quint32>(message.constData() + at + 4));
                QVERIFY2(rows <= maxDeltaRows, qPrintable(QStringLiteral("frame %1 sent %2 rows").arg(i).arg(rows)));
            }
        }
        previous = frame;
    }
    stream.stopHandling();
    broadcaster.stopHandling();
    QTRY_COMPARE(browser.state, QStringLiteral("waiting"));
    // Once the capture has stopped, the browser shows the last frame exactly.
    QTRY_COMPARE(browser.picture, previous);
    QVERIFY(browser.valid);
    QVERIFY(browser.pieces[0] > 0);
    if (jpeg >= 0)
        QCOMPARE(browser.pieces[1] > 0, jpeg == 1);
    if (fromCoder) {
        QCOMPARE(given.load(), 0); // every JPEG piece was joined from the shared coder's bands
    } else {
        QCOMPARE(given > 0, givenJpeg);
        if (givenJpeg)
            QVERIFY(given >= browser.pieces[1]);
    }
}

void tst_WebViewServer::framesInFlightPerBrowserAreCapped()
{
    constexpr int inFlight = WebViewServer::MaxFramesInFlight;
    CoutCapture cout;
    WebViewServer web(0, QHostAddress::LocalHost);
    TestBrowser fast(web, true);
    TestBrowser slow(web, false);
    QTRY_COMPARE(web.viewerCount(), 2);

    const QByteArray frame(300000, 'f');
    for (int i = 0; i < 5; ++i) {
        // The one that never answers takes frames until `inFlight` of them wait for its answer.
        const bool slowTakes = i < inFlight;
        QTRY_COMPARE(web.notReadyCount(), slowTakes ? 0 : 1);
        QCOMPARE(sendToReady(web, frame), slowTakes ? 2 : 1);
        QTRY_COMPARE(fast.frames.size(), i + 1);
    }
    QTRY_COMPARE(slow.frames.size(), inFlight);
    QCOMPARE(slow.frames.constFirst(), frame);

    // One answer makes room for one frame more.
    slow.socket.sendTextMessage(QStringLiteral("ready"));
    QTRY_COMPARE(web.notReadyCount(), 0);
    fast.socket.close();
    QTRY_COMPARE(web.viewerCount(), 1);
    QCOMPARE(sendToReady(web, frame), 1);
    QTRY_COMPARE(slow.frames.size(), inFlight + 1);
    QVERIFY(!web.wantsFrame());
    QCOMPARE(sendToReady(web, frame), 0);
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
    TestBrowser good(web, true);
    QTRY_COMPARE(web.viewerCount(), 1);
    TestBrowser bad(web, true);
    QTRY_COMPARE(web.viewerCount(), 2);
    // The server takes a browser before the browser has read the handshake's answer; a message
    // sent before that never leaves.
    QTRY_COMPARE(bad.socket.state(), QAbstractSocket::ConnectedState);
    const int lines = int(cout.lines().size());

    if (binary)
        bad.socket.sendBinaryMessage(message);
    else
        bad.socket.sendTextMessage(QString::fromLatin1(message));
    QTRY_VERIFY(bad.closed);
    QTRY_COMPARE(web.viewerCount(), 1);
    QCOMPARE(cout.lines().size(), lines + 1);
    QVERIFY(!good.closed);
    QCOMPARE(sendToReady(web, "frame"), 1);
    QTRY_COMPARE(good.frames.size(), 1);
}

void tst_WebViewServer::browsersCountTowardTheViewerLimit()
{
    CoutCapture cout;
    ViewerLimit limit; // outlives both servers
    TcpServerImagehandler stream(0, QHostAddress::LocalHost);
    WebViewServer web(0, QHostAddress::LocalHost);
    stream.setViewerLimit(&limit);
    web.setViewerLimit(&limit);
    std::vector<std::unique_ptr<QTcpSocket>> viewers;
    for (int i = 0; i < TcpServerImagehandler::MaxViewers - 1; ++i) {
        viewers.push_back(std::make_unique<QTcpSocket>());
        viewers.back()->connectToHost(QHostAddress::LocalHost, stream.serverPort());
    }
    QTRY_COMPARE(stream.viewerCount(), TcpServerImagehandler::MaxViewers - 1);
    TestBrowser last(web, true);
    QTRY_COMPARE(web.viewerCount(), 1);
    TestBrowser refusedBrowser(web, true);
    QTRY_VERIFY(refusedBrowser.closed);
    // It is told why, as a refused TCP viewer is.
    QVERIFY2(refusedBrowser.socket.closeReason().startsWith(QStringLiteral("refused: already serving ")),
             qPrintable(refusedBrowser.socket.closeReason()));
    QTcpSocket refusedViewer;
    refusedViewer.connectToHost(QHostAddress::LocalHost, stream.serverPort());
    QTRY_COMPARE(refusedViewer.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(web.viewerCount(), 1);
    QCOMPARE(stream.viewerCount(), TcpServerImagehandler::MaxViewers - 1);
}

void tst_WebViewServer::slowRequestsDoNotKeepBrowsersOut_data()
{
    QTest::addColumn<int>("silent");        // connections that send nothing, then one more
    QTest::addColumn<QString>("silentFrom"); // their addresses, in turn (the last one from the first)
    QTest::addColumn<int>("evicted");       // of them, cut at once to make room
    QTest::newRow("every slot taken, then a browser")
        << int(WebViewServer::MaxRequests) << "127.0.0.2 127.0.0.3 127.0.0.4 127.0.0.5" << 2;
    QTest::newRow("one address takes its share only") << 8 << "127.0.0.2" << 9 - WebViewServer::MaxRequestsPerPeer;
    QTest::newRow("one silent connection") << 1 << "127.0.0.2" << 0;
}

void tst_WebViewServer::slowRequestsDoNotKeepBrowsersOut()
{
    QFETCH(int, silent);
    QFETCH(QString, silentFrom);
    QFETCH(int, evicted);
    CoutCapture cout;
    WebViewServer server(0, QHostAddress::LocalHost);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    const QStringList from = silentFrom.split(QLatin1Char(' '));
    const auto connectSilent = [&](const QString &address) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->bind(QHostAddress(address));
        clients.back()->connectToHost(QHostAddress::LocalHost, server.serverPort());
    };
    for (int i = 0; i < silent; ++i)
        connectSilent(from[i % from.size()]);
    const auto cut = [&] {
        return int(std::count_if(clients.begin(), clients.end(), [](const std::unique_ptr<QTcpSocket> &c) {
            return c->state() == QAbstractSocket::UnconnectedState;
        }));
    };
    for (const auto &client : clients)
        QTRY_VERIFY(client->state() == QAbstractSocket::ConnectedState || client->state() == QAbstractSocket::UnconnectedState);
    // An address's share counts the requests that have waited a while: the rule is about time.
    QTest::qWait(WebViewServer::PeerGraceMs + 100);
    connectSilent(from.constFirst());
    QTRY_VERIFY(clients.back()->state() == QAbstractSocket::ConnectedState);
    ++silent;

    // A browser's request gets its answer, however many wait without a whole request.
    const QByteArray answer = exchange(server.serverPort(), request(server, "GET / HTTP/1.1\nHost: localhost\n$COOKIE\n"));
    QVERIFY2(answer.startsWith("HTTP/1.1 200 OK\r\n"), answer.left(200).constData());
    QTRY_COMPARE(cut(), evicted);
    // The rest are cut once the time for a request head has run out.
    QTRY_VERIFY_WITH_TIMEOUT(cut() == silent, WebViewServer::RequestTimeoutMs + 2000);
    for (const auto &client : clients)
        QVERIFY2(client->readAll().startsWith("HTTP/1.1 408 Request Timeout\r\n"), qPrintable(silentFrom));
}

void tst_WebViewServer::onlyLiveBrowsersCount_data()
{
    QTest::addColumn<int>("silent"); // WebSockets opened by clients that never read nor answer
    QTest::addColumn<int>("live");   // browsers that answer pings but are sent no frame
    QTest::addColumn<bool>("early"); // a newcomer comes long before the timeout
    QTest::newRow("a silent client goes, a live browser stays") << 1 << 1 << false;
    QTest::newRow("sixteen silent clients lock nobody out") << int(WebViewServer::DefaultMaxBrowsers) << 0 << false;
    QTest::newRow("a newcomer takes a silent client's place") << int(WebViewServer::DefaultMaxBrowsers) - 1 << 1 << true;
}

void tst_WebViewServer::onlyLiveBrowsersCount()
{
    QFETCH(int, silent);
    QFETCH(int, live);
    QFETCH(bool, early);
    const int TimeoutMs = early ? 60000 : 1000;
    CoutCapture cout;
    WebViewServer web(0, QHostAddress::LocalHost);
    web.setViewerTimeout(TimeoutMs);
    std::vector<std::unique_ptr<TestBrowser>> browsers;
    for (int i = 0; i < live; ++i)
        browsers.push_back(std::make_unique<TestBrowser>(web, false));
    QTRY_COMPARE(web.viewerCount(), live);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < silent; ++i)
        clients.push_back(openSilentSocket(web));
    QTRY_COMPARE(web.viewerCount(), live + silent);

    if (early) {
        // Every place taken: once the silent ones have had their time to answer the ping they
        // got, a newcomer makes them go, long before the timeout.
        QTest::qWait(WebViewServer::AnswerMs + 100); // the rule is about time
        TestBrowser newcomer(web, true);
        QTRY_COMPARE(newcomer.state, QStringLiteral("waiting"));
        QCOMPARE(web.viewerCount(), live + 1);
        QTRY_COMPARE(cout.lines().filter(QStringLiteral(" disconnected: it answered nothing in ")).size(), silent);
        for (const auto &browser : browsers)
            QVERIFY(!browser->closed);
        return;
    }

    // The silent ones go after the timeout; the live ones, there longer, have answered its ping.
    QTRY_COMPARE_WITH_TIMEOUT(web.viewerCount(), live, 3 * TimeoutMs);
    for (const auto &browser : browsers)
        QVERIFY(!browser->closed);
    QTRY_COMPARE(cout.lines().filter(QStringLiteral(" disconnected: it gave no sign of life")).size(), silent);
    // Their connections end too (reset: what waits for them is not kept), though they read nothing.
    for (const auto &client : clients) {
        QTRY_VERIFY([&] {
            tcp_info info{};
            socklen_t size = sizeof info;
            return client->state() == QAbstractSocket::UnconnectedState
                   || (::getsockopt(int(client->socketDescriptor()), IPPROTO_TCP, TCP_INFO, &info, &size) == 0
                       && info.tcpi_state != TCP_ESTABLISHED);
        }());
    }
    // A newcomer gets in.
    TestBrowser late(web, true);
    QTRY_COMPARE(late.state, QStringLiteral("waiting"));
    QCOMPARE(web.viewerCount(), live + 1);
}

void tst_WebViewServer::pingsAreAnsweredButNotHoarded_data()
{
    QTest::addColumn<bool>("reads");
    QTest::newRow("a ping of the largest legal size gets its pong") << true;
    QTest::newRow("a client that pings and never reads is cut") << false;
}

void tst_WebViewServer::pingsAreAnsweredButNotHoarded()
{
    QFETCH(bool, reads);
    CoutCapture cout;
    WebViewServer web(0, QHostAddress::LocalHost);
    if (reads) {
        TestBrowser browser(web, true);
        QTRY_COMPARE(browser.state, QStringLiteral("waiting"));
        QSignalSpy pongs(&browser.socket, &QWebSocket::pong);
        browser.socket.ping(QByteArray(WebViewServer::MaxControlFrameBytes, 'p'));
        QTRY_COMPARE(pongs.size(), 1);
        QCOMPARE(pongs.first().at(1).toByteArray(), QByteArray(WebViewServer::MaxControlFrameBytes, 'p'));
        QVERIFY(!browser.closed);
        QCOMPARE(web.viewerCount(), 1);
        return;
    }
    const std::unique_ptr<QTcpSocket> client = openSilentSocket(web);
    QTRY_COMPARE(web.viewerCount(), 1);
    // Pings in batches, until the server gives up on the client (or far more than the system's
    // buffers take have gone).
    const QByteArray batch = pingFrame(WebViewServer::MaxControlFrameBytes).repeated(1000);
    qint64 sent = 0;
    while (web.viewerCount() == 1 && sent < 64 * 1024 * 1024) {
        if (client->bytesToWrite() < batch.size()) {
            client->write(batch);
            sent += batch.size();
        }
        // Until the batch has left or the server has dropped the client.
        (void)QTest::qWaitFor([&] { return client->bytesToWrite() < batch.size() || web.viewerCount() == 0; }, 1000);
    }
    QCOMPARE(web.viewerCount(), 0);
    QTRY_COMPARE(cout.lines().filter(QStringLiteral(" disconnected: it does not read what it is sent (")).size(), 1);
}

void tst_WebViewServer::clientFramesMustBeMasked_data()
{
    QTest::addColumn<QByteArray>("frames");
    QTest::addColumn<bool>("piecewise"); // a byte at a time
    QTest::addColumn<int>("pongs");
    QTest::addColumn<int>("closeCode"); // -1: the browser is kept
    const int unmasked = QWebSocketProtocol::CloseCodeProtocolError;
    const QByteArray maskedPing = clientFrame(0x89, "ping", true);
    const QByteArray unmaskedPing = clientFrame(0x89, "ping", false);
    QTest::newRow("unmasked text") << clientFrame(0x81, "ready", false) << false << 0 << unmasked;
    QTest::newRow("unmasked ping") << unmaskedPing << false << 0 << unmasked;
    QTest::newRow("unmasked continuation after a masked start")
        << clientFrame(0x01, "re", true) + clientFrame(0x80, "ady", false) << false << 0 << unmasked;
    // What comes in one piece with an unmasked frame is not read either.
    QTest::newRow("unmasked ping behind a masked one") << maskedPing + unmaskedPing << false << 0 << unmasked;
    QTest::newRow("masked frames a byte at a time, then an unmasked one")
        << clientFrame(0x89, {}, true) + clientFrame(0x89, QByteArray(125, 'p'), true) + unmaskedPing << true << 2
        << unmasked;
    QTest::newRow("masked ping answered, browser kept") << maskedPing << false << 1 << -1;
    QTest::newRow("masked frames a byte at a time, browser kept")
        << clientFrame(0x89, QByteArray(125, 'p'), true) + maskedPing << true << 2 << -1;
    // Heads with 16- and 64-bit lengths: the payload is no frame head, and the frame is refused
    // for its size.
    const QByteArray payload(100, 'a');
    QTest::newRow("masked frame with a 16-bit length")
        << QByteArray("\x82\xfe\x03\xe8\x12\x34\x56\x78", 8) + payload << false << 0
        << int(QWebSocketProtocol::CloseCodeTooMuchData);
    QTest::newRow("masked frame with a 64-bit length")
        << QByteArray("\x82\xff\0\0\0\0\0\x01\x11\x70\x12\x34\x56\x78", 14) + payload << false << 0
        << int(QWebSocketProtocol::CloseCodeTooMuchData);
}

void tst_WebViewServer::clientFramesMustBeMasked()
{
    QFETCH(QByteArray, frames);
    QFETCH(bool, piecewise);
    QFETCH(int, pongs);
    QFETCH(int, closeCode);
    CoutCapture cout;
    WebViewServer web(0, QHostAddress::LocalHost);
    QTcpSocket client;
    QByteArray received;
    connect(&client, &QIODevice::readyRead, &client, [&] { received += client.readAll(); });
    client.connectToHost(QHostAddress::LocalHost, web.serverPort());
    QVERIFY(client.waitForConnected(10000));
    client.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    const QByteArray handshake =
        request(web, "GET /ws HTTP/1.1\nHost: 127.0.0.1:$PORT\nOrigin: http://127.0.0.1:$PORT\n" + Upgrade + "$COOKIE\n");

    client.write(handshake);
    QTRY_COMPARE(web.viewerCount(), 1);
    QTRY_VERIFY(received.contains("\r\n\r\n"));
    QVERIFY(received.startsWith("HTTP/1.1 101 "));
    if (piecewise) {
        for (const char byte : std::as_const(frames)) {
            if (client.state() != QAbstractSocket::ConnectedState)
                break; // closed at the unmasked frame's head
            client.write(&byte, 1);
            client.flush(); // on its way: the server reads it before the next one, as a piece of its own
            QCoreApplication::processEvents();
        }
    } else {
        client.write(frames);
    }

    const QString maskLine = QStringLiteral("Browser 127.0.0.1 disconnected: it sent a frame without a mask");
    if (closeCode >= 0) {
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        const ServerFrames seen = parseServerFrames(received);
        QCOMPARE(seen.closeCode, closeCode);
        QCOMPARE(seen.pongs, pongs); // nothing of an unmasked frame was answered
        QCOMPARE(web.viewerCount(), 0);
        QCOMPARE(cout.lines().filter(maskLine).size(),
                 closeCode == QWebSocketProtocol::CloseCodeProtocolError ? 1 : 0);
        return;
    }
    QTRY_COMPARE(parseServerFrames(received).pongs, pongs);
    QCOMPARE(web.viewerCount(), 1);
    QCOMPARE(sendToReady(web, "frame"), 1);
    QTRY_COMPARE(parseServerFrames(received).binary, 1);
    QCOMPARE(parseServerFrames(received).closeCode, -1);
}

QTEST_MAIN(tst_WebViewServer)
#include "tst_webviewserver.moc"
