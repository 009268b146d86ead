// Starts the real capture_server with its web view over a window with a known picture, and
// opens the page in a real (headless) Chromium: the page must show the picture, scaled to fit
// with its aspect kept, and its status line must count the frames shown. Then frames in which
// only some bands change go to the page from a server in this process: the canvas must end up
// with exactly the last frame's pixels.
#include "glformat.h"
#include "headlesschromium.h"
#include "testsupport.h"
#include "webframebroadcaster.h"
#include "webviewserver.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class tst_E2eWeb : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void browserShowsTheCapture_data();
    void browserShowsTheCapture();
    void statusCountsFramesThatChangeThePicture_data();
    void statusCountsFramesThatChangeThePicture();
    void refusedPageSaysWhy();
    void canvasEqualsTheLastFrame_data();
    void canvasEqualsTheLastFrame();
};

namespace {

const QColor Quadrants[4] = {QColor(230, 30, 30), QColor(30, 200, 60), QColor(40, 60, 220), QColor(240, 220, 40)};

// Four solid quadrants (top-left, top-right, bottom-left, bottom-right): survives scaling, and
// shows a flipped or mirrored picture.
QImage quadrantPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    for (int i = 0; i < 4; ++i)
        painter.fillRect(QRect((i % 2) * width / 2, (i / 2) * height / 2, width / 2, height / 2), Quadrants[i]);
    return image;
}

bool near(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) <= 12 && qAbs(a.green() - b.green()) <= 12 && qAbs(a.blue() - b.blue()) <= 12;
}

// A window over the captured area whose colour changes 50 times a second, or never.
class ChangingWindow : public QWidget
{
public:
    ChangingWindow(const QRect &geometry, bool changing)
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::WindowStaysOnTopHint)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setGeometry(geometry);
        if (changing) {
            connect(&m_timer, &QTimer::timeout, this, [this] {
                ++m_step;
                update();
            });
            m_timer.start(20);
        }
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(rect(), QColor::fromHsv(m_step * 37 % 360, 200, 220));
    }

private:
    QTimer m_timer;
    int m_step = 0;
};

// Starts capture_server with its web view, capturing at once, and returns the page's address
// (empty when none was printed); `output` gets what it printed so far.
QString startWebView(QProcess &server, const QString &workingDirectory, const QStringList &arguments, QByteArray &output)
{
    server.setWorkingDirectory(workingDirectory);
    server.setProcessChannelMode(QProcess::SeparateChannels);
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                             QStringLiteral("--web"), QStringLiteral("0"), QStringLiteral("--start")}
                     + arguments);
    if (!server.waitForStarted())
        return {};
    QString url;
    const QRegularExpression webLine(QStringLiteral("^Web view: (http://\\S+) \\(127\\.0\\.0\\.1 only: the screen is offered to this machine only\\)$"),
                                     QRegularExpression::MultilineOption);
    (void)QTest::qWaitFor(
        [&] {
            output += server.readAllStandardOutput();
            url = webLine.match(QString::fromLatin1(output)).captured(1);
            return !url.isEmpty() || server.state() == QProcess::NotRunning;
        },
        20000);
    return url;
}

} // namespace

void tst_E2eWeb::browserShowsTheCapture_data()
{
    QTest::addColumn<QString>("handler");
    QTest::newRow("to TCP viewers") << "tcp";
    QTest::newRow("into files") << "saver";
}

void tst_E2eWeb::browserShowsTheCapture()
{
    QFETCH(QString, handler);
    if (HeadlessChromium::program().isEmpty())
        QSKIP("chromium is not installed");

    const QImage picture = quadrantPicture(320, 240);
    const QPoint at(1500, 800);
    PatternWindow window(picture, at);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QScreen *screen = QGuiApplication::primaryScreen();
    QTRY_COMPARE(screen->grabWindow(0, at.x(), at.y(), picture.width(), picture.height())
                     .toImage()
                     .convertToFormat(QImage::Format_RGB32),
                 picture);

    QTemporaryDir folder; // the saver's files go below it
    QProcess server;
    QByteArray output;
    const QString area = QStringLiteral("%1,%2,%3,%4").arg(at.x()).arg(at.y()).arg(picture.width()).arg(picture.height());
    const QString url = startWebView(server, folder.path(),
                                     {QStringLiteral("--handler"), handler, QStringLiteral("--area"), area,
                                      QStringLiteral("--fps"), QStringLiteral("20")},
                                     output);
    QVERIFY2(!url.isEmpty(), output.constData());
    window.raise();

    // Wider than the picture's 4:3: the picture fills the height, with black bars either side.
    const QSize page(800, 480);
    HeadlessChromium browser;
    QString error;
    QVERIFY2(browser.open(url, page.width(), page.height(), &error), qPrintable(error));

    const QRegularExpression shownText(QStringLiteral("^connected, (\\d+) frames shown"));
    QString status;
    QTRY_VERIFY2_WITH_TIMEOUT(
        [&] {
            status = browser.evaluate(QStringLiteral("document.getElementById('status').textContent")).toString();
            const QRegularExpressionMatch match = shownText.match(status);
            return match.hasMatch() && match.captured(1).toInt() >= 1;
        }(),
        qPrintable(status), 30000);

    const QImage shot = browser.screenshot();
    QCOMPARE(shot.size(), page);
    // 320x240 scaled to 640x480, centred: x from 80 to 720.
    const QPoint centres[4] = {{240, 120}, {560, 120}, {240, 360}, {560, 360}};
    for (int i = 0; i < 4; ++i) {
        const QColor seen = shot.pixelColor(centres[i]);
        QVERIFY2(near(seen, Quadrants[i]),
                 qPrintable(QStringLiteral("quadrant %1 shows %2").arg(i).arg(seen.name())));
    }
    for (const QPoint bar : {QPoint(40, 240), QPoint(760, 240)})
        QVERIFY2(near(shot.pixelColor(bar), Qt::black), qPrintable(shot.pixelColor(bar).name()));

    server.terminate();
    QVERIFY(server.waitForFinished(30000));
    QCOMPARE(server.exitCode(), 0);
    output += server.readAllStandardOutput();
    QVERIFY(output.contains("Browser 127.0.0.1 connected!"));
}

void tst_E2eWeb::statusCountsFramesThatChangeThePicture_data()
{
    QTest::addColumn<bool>("changing");
    QTest::newRow("still screen: no frame rate") << false;
    QTest::newRow("changing screen: the capture's rate") << true;
}

void tst_E2eWeb::statusCountsFramesThatChangeThePicture()
{
    QFETCH(bool, changing);
    if (HeadlessChromium::program().isEmpty())
        QSKIP("chromium is not installed");
    constexpr int Fps = 10;
    const QRect area(1500, 100, 160, 120);
    ChangingWindow window(area, changing);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTemporaryDir folder;
    QProcess server;
    QByteArray output;
    const QString url = startWebView(server, folder.path(),
                                     {QStringLiteral("--handler"), QStringLiteral("tcp"), QStringLiteral("--fps"),
                                      QString::number(Fps), QStringLiteral("--area"),
                                      QStringLiteral("%1,%2,%3,%4").arg(area.x()).arg(area.y()).arg(area.width()).arg(area.height())},
                                     output);
    QVERIFY2(!url.isEmpty(), output.constData());
    HeadlessChromium browser;
    QString error;
    QVERIFY2(browser.open(url, 640, 480, &error), qPrintable(error));

    // Three seconds' worth of frames, whatever they hold: the page's rate looks back two.
    QTRY_VERIFY_WITH_TIMEOUT(browser.evaluate(QStringLiteral("window.deskcast.received")).toInt() >= 3 * Fps, 30000);
    const QRegularExpression statusText(QStringLiteral("^connected, (\\d+) frames shown, ([0-9.]+) frames/s"));
    QString status;
    const auto rate = [&] {
        status = browser.evaluate(QStringLiteral("document.getElementById('status').textContent")).toString();
        const QRegularExpressionMatch match = statusText.match(status);
        return match.hasMatch() ? match.captured(2).toDouble() : -1.0;
    };
    if (changing) {
        // The page's status refreshes every quarter second; loaded machines drop a frame or two.
        QTRY_VERIFY2_WITH_TIMEOUT(rate() >= 0.6 * Fps && rate() <= 1.25 * Fps, qPrintable(status), 10000);
    } else {
        QTRY_VERIFY2_WITH_TIMEOUT(rate() >= 0.0, qPrintable(status), 10000);
        QVERIFY2(rate() < 1.0, qPrintable(status));
        const int shown = statusText.match(status).captured(1).toInt();
        QVERIFY2(shown >= 1 && shown <= 3, qPrintable(status)); // the first frame, whole
    }
    server.terminate();
    QVERIFY(server.waitForFinished(30000));
}

void tst_E2eWeb::canvasEqualsTheLastFrame_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<bool>("lossless");
    QTest::newRow("a window moves over a still desktop") << "window" << false;
    QTest::newRow("video bands go lossy, then exact") << "video" << false;
    QTest::newRow("video with exact pixels only") << "video" << true;
}

void tst_E2eWeb::canvasEqualsTheLastFrame()
{
    QFETCH(QString, content);
    QFETCH(bool, lossless);
    if (HeadlessChromium::program().isEmpty())
        QSKIP("chromium is not installed");
    CoutCapture cout;
    WebViewServer web(0, QHostAddress::LocalHost, nullptr, {QString(), lossless});
    WebFrameBroadcaster stream(&web);
    stream.startHandling(nullptr);

    HeadlessChromium browser;
    QString error;
    QVERIFY2(browser.open(web.pageUrl(), 640, 400, &error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(web.viewerCount(), 1, 20000);

    // 20 bands: a video plays in bands 4 to 9 on all but the last frames, or a window moves.
    const QImage desktop = patternImage(320, 320, 3);
    QImage frame;
    QImage previous;
    constexpr int Frames = 16;
    for (int i = 0; i < Frames; ++i) {
        frame = desktop.copy();
        QPainter painter(&frame);
        if (content == QLatin1String("video") && i < Frames - 2)
            painter.drawImage(0, 64, photoLikeImage(320, 96, i));
        if (content == QLatin1String("window"))
            painter.fillRect(QRect(20 + 7 * i, 40 + 11 * i, 60, 40), QColor(250, 250, 240));
        painter.end();
        QTRY_VERIFY_WITH_TIMEOUT(web.wantsFrame(), 20000);
        stream.handleFrame(CapturedFrame{frame, BandMap::compare(frame, previous), i});
        previous = frame;
    }
    stream.stopHandling();

    const auto canvas = [&] {
        const QString url = browser.evaluate(QStringLiteral("document.getElementById('screen').toDataURL('image/png')")).toString();
        const QByteArray png = QByteArray::fromBase64(url.section(QLatin1Char(','), 1).toLatin1());
        return QImage::fromData(png, "PNG").convertToFormat(QImage::Format_RGB32);
    };
    QTRY_COMPARE_WITH_TIMEOUT(canvas(), frame, 20000);
    const int jpegPieces = browser.evaluate(QStringLiteral("window.deskcast.jpeg")).toInt();
    QCOMPARE(jpegPieces > 0, content == QLatin1String("video") && !lossless);
    QVERIFY(browser.evaluate(QStringLiteral("window.deskcast.png")).toInt() > 0);
    QVERIFY(browser.evaluate(QStringLiteral("document.getElementById('status').textContent"))
                .toString()
                .startsWith(QStringLiteral("waiting for the capture to start, ")));
}

void tst_E2eWeb::refusedPageSaysWhy()
{
    if (HeadlessChromium::program().isEmpty())
        QSKIP("chromium is not installed");
    CoutCapture cout;
    ViewerLimit full; // every place taken by viewers of another kind
    full.addKind({[] { return ViewerLimit::DefaultMaximum; }, {}});
    WebViewServer web(0, QHostAddress::LocalHost);
    web.setViewerLimit(&full);
    HeadlessChromium browser;
    QString error;
    QVERIFY2(browser.open(web.pageUrl(), 640, 200, &error), qPrintable(error));
    QString status;
    QTRY_VERIFY2_WITH_TIMEOUT(
        [&] {
            status = browser.evaluate(QStringLiteral("document.getElementById('status').textContent")).toString();
            return status.startsWith(QStringLiteral("capture_server refused this page: already serving 16 viewers, reconnecting in "));
        }(),
        qPrintable(status), 20000);
}

QTEST_MAIN(tst_E2eWeb)
#include "tst_e2e_web.moc"
