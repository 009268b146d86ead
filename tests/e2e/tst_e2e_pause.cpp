// capture_server paused and resumed with SIGUSR1 in each handler: while paused the screen shows
// a colour that no output may ever show; the files' numbering goes on without a gap, a viewer
// stays connected, the video file is one file whose time line has no hole, and so is the stream
// a reader takes from a relay over the same connection.
#include "framebytes.h"
#include "relay.h"
#include "testsupport.h"
#include "videodecode.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

constexpr int Fps = 20;
const QSize AreaSize(320, 240);
const QRgb PauseColour = qRgb(255, 0, 255);

// Whether a frame shows the screen of the pause: most of a grid of its pixels are that colour.
bool showsThePause(const QImage &frame)
{
    int hits = 0;
    int samples = 0;
    for (int y = 4; y < frame.height(); y += 16) {
        for (int x = 4; x < frame.width(); x += 16, ++samples) {
            const QRgb pixel = frame.pixel(x, y);
            hits += qRed(pixel) > 200 && qGreen(pixel) < 60 && qBlue(pixel) > 200;
        }
    }
    return samples > 0 && hits * 4 > samples;
}

// Frame times of a video with no step near a pause of `pauseMs`, and no frame of the pause.
void checkWithoutThePause(const QString &file, int pauseMs)
{
    const DecodedVideo video = decodeVideo(file);
    QVERIFY2(video.opened && video.error.isEmpty(), qPrintable(file + QLatin1String(": ") + video.error));
    QVERIFY2(int(video.frames.size()) >= 20, qPrintable(QStringLiteral("%1: %2 frames").arg(file).arg(video.frames.size())));
    qint64 longestStep = 0;
    for (size_t i = 1; i < video.timesMs.size(); ++i)
        longestStep = std::max(longestStep, video.timesMs[i] - video.timesMs[i - 1]);
    QVERIFY2(longestStep < pauseMs / 3, qPrintable(QStringLiteral("%1: a step of %2 ms").arg(file).arg(longestStep)));
    for (size_t i = 0; i < video.frames.size(); ++i)
        QVERIFY2(!showsThePause(video.frames[i]), qPrintable(QStringLiteral("%1: frame %2 shows the pause").arg(file).arg(i)));
}

} // namespace

class tst_E2ePause : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pauseLeavesNoTraceInTheOutput_data();
    void pauseLeavesNoTraceInTheOutput();
};

void tst_E2ePause::pauseLeavesNoTraceInTheOutput_data()
{
    QTest::addColumn<QString>("handler");
    QTest::addColumn<int>("pauseMs"); // how long the pause lasts
    QTest::addColumn<bool>("relay");  // also publish to a relay, read back by a player
    QTest::newRow("JPEG files: numbering goes on without a gap") << QStringLiteral("saver") << 1500 << false;
    QTest::newRow("TCP viewer: stays connected, sees no paused frame") << QStringLiteral("tcp") << 1500 << false;
    QTest::newRow("video file: one time line without the pause") << QStringLiteral("video") << 2500 << false;
    QTest::newRow("relay: one connection, its stream without the pause") << QStringLiteral("video") << 2500 << true;
}

void tst_E2ePause::pauseLeavesNoTraceInTheOutput()
{
    QFETCH(QString, handler);
    QFETCH(int, pauseMs);
    QFETCH(bool, relay);
    if (relay
        && (!QFile::exists(QStringLiteral("/usr/lib/nginx/modules/ngx_rtmp_module.so"))
            || QStandardPaths::findExecutable(QStringLiteral("nginx")).isEmpty()))
        QSKIP("needs nginx with libnginx-mod-rtmp (scripts/install-deps.sh)");
    const QImage picture = photoLikeImage(AreaSize.width(), AreaSize.height(), 5);
    PatternWindow recorded(picture, QPoint(0, 0));
    recorded.show();
    QVERIFY(QTest::qWaitForWindowExposed(&recorded));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Relay relayServer(dir.path());
    QString url;
    QStringList options{QStringLiteral("-geometry"), QStringLiteral("400x500+1400+0"), QStringLiteral("--port"), QStringLiteral("0"),
                        QStringLiteral("--bind"), QStringLiteral("127.0.0.1"), QStringLiteral("--handler"), handler,
                        QStringLiteral("--area"), QStringLiteral("0,0,%1,%2").arg(AreaSize.width()).arg(AreaSize.height()),
                        QStringLiteral("--fps"), QString::number(Fps), QStringLiteral("--start")};
    if (relay) {
        const quint16 port = freePort();
        QVERIFY(relayServer.start(port));
        url = QStringLiteral("rtmp://127.0.0.1:%1/live/paused").arg(port);
        options << QStringLiteral("--publish") << url;
    }
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.start(QStringLiteral(CAPTURE_SERVER_PATH), options);
    QVERIFY(server.waitForStarted());
    QString output;
    const auto readOutput = [&] {
        output += QString::fromLatin1(server.readAllStandardOutput());
        return output;
    };
    const auto grabs = [&] { return int(readOutput().count(QStringLiteral("Captures/s"))); };

    // A viewer from the start to the end, for the TCP server.
    QTcpSocket viewer;
    std::vector<QImage> received;
    bool viewerLost = false;
    if (handler == QLatin1String("tcp")) {
        const QRegularExpression portLine(QStringLiteral("^Port: (\\d+)$"), QRegularExpression::MultilineOption);
        quint16 port = 0;
        QTRY_VERIFY_WITH_TIMEOUT((port = quint16(portLine.match(readOutput()).captured(1).toUInt())) != 0, 20000);
        onEachImage(viewer, [&](const QImage &frame) { received.push_back(frame.convertToFormat(QImage::Format_RGB32)); });
        connect(&viewer, &QAbstractSocket::disconnected, this, [&] { viewerLost = true; });
        viewer.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(viewer.waitForConnected(10000));
    }
    const auto outputFrames = [&]() -> int {
        if (handler == QLatin1String("saver"))
            return int(QDir(dir.filePath(QStringLiteral("capture"))).entryList({QStringLiteral("pic*.jpg")}).size());
        if (handler == QLatin1String("tcp"))
            return int(received.size());
        return grabs(); // the video file takes whole clusters: the grabs tell sooner
    };

    // A player of the relay's stream, from before the pause to the end of the publishing.
    QProcess player;
    const QString played = dir.filePath(QStringLiteral("played.mkv"));
    if (relay) {
        QTRY_VERIFY_WITH_TIMEOUT(readOutput().contains(QStringLiteral("Publishing to ")), 20000);
        // It ends by itself once the stream has been quiet for longer than the pause.
        player.start(QStringLiteral("ffmpeg"), {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                                                QStringLiteral("-rw_timeout"), QString::number((pauseMs + 1500) * 1000),
                                                QStringLiteral("-i"), url,
                                                QStringLiteral("-c"), QStringLiteral("copy"), QStringLiteral("-an"),
                                                QStringLiteral("-flush_packets"), QStringLiteral("1"), played});
        QVERIFY(player.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(decodeVideo(played).frames.size() >= 2, 30000);
    }

    QTRY_VERIFY_WITH_TIMEOUT(outputFrames() >= 10, 30000);
    QVERIFY(signalProcess(server, SIGUSR1));
    QTRY_VERIFY_WITH_TIMEOUT(readOutput().contains(QStringLiteral("\nPaused\n")), 10000);
    const int framesAtPause = outputFrames();
    const int grabsAtPause = grabs();

    // The pause: the screen shows its colour, and nothing is grabbed meanwhile (frames grabbed
    // before may still be on their way out).
    QImage pauseScreen(AreaSize, QImage::Format_RGB32);
    pauseScreen.fill(PauseColour);
    auto covering = std::make_unique<PatternWindow>(pauseScreen, QPoint(0, 0));
    covering->show();
    QVERIFY(QTest::qWaitForWindowExposed(covering.get()));
    QElapsedTimer paused;
    paused.start();
    QVERIFY2(!QTest::qWaitFor([&] { return grabs() > grabsAtPause; }, pauseMs), "frames were grabbed while paused");
    covering.reset();
    QScreen *screen = QGuiApplication::primaryScreen();
    QTRY_VERIFY(!showsThePause(screen->grabWindow(0, 0, 0, AreaSize.width(), AreaSize.height()).toImage()));
    QVERIFY(signalProcess(server, SIGUSR1));
    const QRegularExpression resumedLine(QStringLiteral("\nResumed after (\\d+\\.\\d) s\n"));
    QTRY_VERIFY_WITH_TIMEOUT(resumedLine.match(readOutput()).hasMatch(), 10000);
    const double resumedAfter = resumedLine.match(output).captured(1).toDouble();
    QVERIFY2(std::abs(resumedAfter * 1000.0 - double(paused.elapsed())) < 500.0, qPrintable(output.right(300)));

    QTRY_VERIFY_WITH_TIMEOUT(outputFrames() >= framesAtPause + 10, 30000);
    server.terminate();
    QVERIFY(server.waitForFinished(30000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);

    if (handler == QLatin1String("saver")) {
        // pic0 .. picN-1, every one there, none of the pause.
        const int files = outputFrames();
        for (int i = 0; i < files; ++i) {
            const QImage file = QImageReader(dir.filePath(QStringLiteral("capture/pic%1.jpg").arg(i))).read();
            QVERIFY2(!file.isNull(), qPrintable(QStringLiteral("pic%1.jpg missing of %2").arg(i).arg(files)));
            QVERIFY2(!showsThePause(file), qPrintable(QStringLiteral("pic%1.jpg shows the pause").arg(i)));
        }
    } else if (handler == QLatin1String("tcp")) {
        QVERIFY(!viewerLost);
        QVERIFY(int(received.size()) >= framesAtPause + 10);
        for (size_t i = 0; i < received.size(); ++i)
            QVERIFY2(!showsThePause(received[i]), qPrintable(QStringLiteral("frame %1 shows the pause").arg(i)));
    } else {
        // One file; no step between frames near the pause's length: the pause is cut, not frozen.
        const QDir captures(dir.filePath(QStringLiteral("capture")));
        QCOMPARE(captures.entryList({QStringLiteral("*.mkv")}), QStringList{QStringLiteral("capture0.mkv")});
        checkWithoutThePause(captures.filePath(QStringLiteral("capture0.mkv")), pauseMs);
        if (QTest::currentTestFailed())
            return;
    }
    if (relay) {
        // One connection to the relay from start to stop, and what its player got leaves the
        // pause out as the file does.
        QCOMPARE(output.count(QStringLiteral("Publishing to ")), 1);
        QVERIFY(player.waitForFinished(30000));
        QCOMPARE(player.exitCode(), 0);
        checkWithoutThePause(played, pauseMs);
    }
}

QTEST_MAIN(tst_E2ePause)
#include "tst_e2e_pause.moc"
