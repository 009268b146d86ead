// Runs the real capture_server following a window with a known pattern while xdotool moves or
// resizes it, then closes the window: every saved frame holds the window exactly, one size for
// the whole run, and the capture ends with the window, its files complete.
#include "jpegcodec.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// As the saver stores it: same encoder, same settings.
QImage jpegRoundTrip(const QImage &image)
{
    return QImage::fromData(encodeJpeg(image, -1, ChromaSubsampling::Half), "jpg").convertToFormat(QImage::Format_RGB32);
}

// `content` shown at `place` on the screen: black where it lies off the screen.
QImage onScreen(const QImage &content, const QRect &place)
{
    QImage image(content.size(), QImage::Format_RGB32);
    image.fill(Qt::black);
    const QRect visible = place & QGuiApplication::primaryScreen()->geometry();
    for (int y = visible.top(); y <= visible.bottom(); ++y) {
        for (int x = visible.left(); x <= visible.right(); ++x)
            image.setPixel(x - place.x(), y - place.y(), content.pixel(x - place.x(), y - place.y()));
    }
    return image;
}

// `content`, twice the size of `frame` along its fitting side, shrunk to half (each pixel the
// rounded mean of a 2x2 block) and centred on black.
QImage halvedIntoFrame(const QImage &content, const QSize &frame)
{
    QImage image(frame, QImage::Format_RGB32);
    image.fill(Qt::black);
    const QPoint at((frame.width() - content.width() / 2) / 2, (frame.height() - content.height() / 2) / 2);
    for (int y = 0; y < content.height() / 2; ++y) {
        for (int x = 0; x < content.width() / 2; ++x) {
            int sum[3] = {};
            for (const QPoint d : {QPoint(0, 0), QPoint(1, 0), QPoint(0, 1), QPoint(1, 1)}) {
                const QRgb p = content.pixel(2 * x + d.x(), 2 * y + d.y());
                sum[0] += qRed(p);
                sum[1] += qGreen(p);
                sum[2] += qBlue(p);
            }
            image.setPixel(at.x() + x, at.y() + y, qRgb((sum[0] + 2) / 4, (sum[1] + 2) / 4, (sum[2] + 2) / 4));
        }
    }
    return image;
}

int savedFrames(const QDir &dir)
{
    return int(dir.entryList({QStringLiteral("pic*.jpg")}, QDir::Files).size());
}

} // namespace

class tst_E2eFollow : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void framesFollowTheWindow_data();
    void framesFollowTheWindow();
    void windowThatIsNotThereIsABadOption_data();
    void windowThatIsNotThereIsABadOption();
};

void tst_E2eFollow::framesFollowTheWindow_data()
{
    QTest::addColumn<bool>("byName");   // --window-name with its title, else --window with its id
    QTest::addColumn<QRect>("moveTo");  // the window's place and size after the move or resize
    // The control window sits at x >= 1000, clear of every place below.
    QTest::newRow("moved, followed by id: the same pixels in every frame") << false << QRect(420, 560, 320, 240);
    QTest::newRow("moved partly off the left edge, followed by name: black there") << true << QRect(-120, 300, 320, 240);
    QTest::newRow("moved, then resized wider: scaled into the first frame's size, centred, black above and below")
        << false << QRect(300, 420, 640, 288);
}

void tst_E2eFollow::framesFollowTheWindow()
{
    QFETCH(bool, byName);
    QFETCH(QRect, moveTo);
    const QRect start(100, 100, 320, 240);
    const QImage pattern = patternImage(start.width(), start.height(), 5);
    auto window = std::make_unique<PatternWindow>(pattern, start.topLeft());
    const QString title = QStringLiteral("deskcast follow test %1").arg(QCoreApplication::applicationPid());
    window->setWindowTitle(title);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    const QString id = QString::number(window->winId());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QDir capture(dir.filePath(QStringLiteral("capture")));
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 {QStringLiteral("-geometry"), QStringLiteral("560x640+1000+0"), QStringLiteral("--port"), QStringLiteral("0"),
                  QStringLiteral("--fps"), QStringLiteral("10"), QStringLiteral("--start"),
                  byName ? QStringLiteral("--window-name") : QStringLiteral("--window"), byName ? title : id});
    QVERIFY(server.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(savedFrames(capture) >= 3, 20000);

    const bool resized = moveTo.size() != start.size();
    QCOMPARE(runSystemTool(QStringLiteral("xdotool"), {QStringLiteral("windowmove"), QStringLiteral("--"), id,
                                                       QString::number(moveTo.x()), QString::number(moveTo.y())}),
             0);
    if (resized) {
        QTRY_COMPARE(window->pos(), moveTo.topLeft());
        QCOMPARE(runSystemTool(QStringLiteral("xdotool"), {QStringLiteral("windowsize"), id, QString::number(moveTo.width()),
                                                           QString::number(moveTo.height())}),
                 0);
    }
    QTRY_COMPARE(window->geometry(), moveTo);
    const int framesBefore = savedFrames(capture);
    QTRY_VERIFY_WITH_TIMEOUT(savedFrames(capture) >= framesBefore + 5, 20000);

    // What the window shows now, as the screen has it (the test window painted its new size).
    const QImage after = resized
        ? halvedIntoFrame(QGuiApplication::primaryScreen()->grabWindow(0, moveTo.x(), moveTo.y(), moveTo.width(), moveTo.height())
                              .toImage()
                              .convertToFormat(QImage::Format_RGB32),
                          start.size())
        : onScreen(pattern, moveTo);
    window.reset(); // closes it: the capture stops, the program ends
    const bool finished = server.waitForFinished(20000);
    if (!finished) {
        server.kill();
        server.waitForFinished();
    }
    QVERIFY2(finished, "capture_server did not end when the window closed");
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    const QString output = QString::fromLatin1(server.readAllStandardOutput());
    QVERIFY2(output.contains(QStringLiteral("The followed window 0x%1 closed: capture stopped").arg(id.toULongLong(), 0, 16)),
             qPrintable(output.right(2000)));

    // Every frame is the window before the change or after it; frames grabbed while the test
    // window repainted its new size may be neither, only then and only a few. Every frame
    // written is whole, numbered without a gap.
    const QImage wantedBefore = jpegRoundTrip(pattern);
    const QImage wantedAfter = jpegRoundTrip(after);
    const int frames = savedFrames(capture);
    int beforeCount = 0;
    int afterCount = 0;
    int between = 0;
    for (int i = 0; i < frames; ++i) {
        const QImage frame = QImageReader(capture.filePath(QStringLiteral("pic%1.jpg").arg(i))).read().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(frame.size(), start.size());
        if (afterCount == 0 && maxChannelDifference(frame, wantedBefore) <= 2) {
            QCOMPARE(between, 0);
            ++beforeCount;
        } else if (maxChannelDifference(frame, wantedAfter) <= 2) {
            ++afterCount;
        } else {
            QVERIFY2(resized && afterCount == 0 && between < 3,
                     qPrintable(QStringLiteral("frame %1 of %2 differs from the window before (%3) and after (%4)")
                                    .arg(i)
                                    .arg(frames)
                                    .arg(maxChannelDifference(frame, wantedBefore))
                                    .arg(maxChannelDifference(frame, wantedAfter))));
            ++between;
        }
    }
    // A move keeps the pixels: then every frame is the pattern.
    QVERIFY2(beforeCount >= 3 && (afterCount >= 3 || wantedAfter == wantedBefore),
             qPrintable(QStringLiteral("%1 frames before the change, %2 after").arg(beforeCount).arg(afterCount)));
}

void tst_E2eFollow::windowThatIsNotThereIsABadOption_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("line");
    QTest::newRow("--window-name that no window has")
        << QStringList{QStringLiteral("--window-name"), QStringLiteral("no window is called this")}
        << QStringLiteral("capture_server: --window-name: no window on the screen has a name containing 'no window is called this'");
    QTest::newRow("--window with an id that no window has")
        << QStringList{QStringLiteral("--window"), QStringLiteral("0x1ffffe")}
        << QStringLiteral("capture_server: --window: there is no window 0x1ffffe on this display");
    QTest::newRow("--window that is no id")
        << QStringList{QStringLiteral("--window"), QStringLiteral("firefox")}
        << QStringLiteral("capture_server: Invalid value for --window: 'firefox'");
    QTest::newRow("--window and --area together")
        << QStringList{QStringLiteral("--window"), QStringLiteral("0x400001"), QStringLiteral("--area"), QStringLiteral("0,0,10,10")}
        << QStringLiteral("capture_server: --window, --window-name and --area each say what to capture: give one of them.");
}

void tst_E2eFollow::windowThatIsNotThereIsABadOption()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, line);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.start(QStringLiteral(CAPTURE_SERVER_PATH), QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--start")} + arguments);
    QVERIFY(server.waitForFinished(20000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 2);
    const QString errors = QString::fromLocal8Bit(server.readAllStandardError());
    QVERIFY2(errors.contains(line), qPrintable(errors));
    QVERIFY(!QDir(dir.filePath(QStringLiteral("capture"))).exists());
}

QTEST_MAIN(tst_E2eFollow)
#include "tst_e2e_follow.moc"
