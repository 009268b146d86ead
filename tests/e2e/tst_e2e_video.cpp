// capture_server recording video, killed with SIGKILL: the file it leaves decodes, up to its
// last written cluster, to whole frames of what was on the screen, in time order.
#include "testsupport.h"
#include "videodecode.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class tst_E2eVideo : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void killedRunLeavesAPlayableFile_data();
    void killedRunLeavesAPlayableFile();
};

void tst_E2eVideo::killedRunLeavesAPlayableFile_data()
{
    QTest::addColumn<int>("framesBeforeKill"); // decodable from the file while it is written
    QTest::newRow("after the first cluster") << 1;
    QTest::newRow("a few clusters in") << 60;
}

void tst_E2eVideo::killedRunLeavesAPlayableFile()
{
    QFETCH(int, framesBeforeKill);
    const QSize size(320, 240);
    const QImage picture = photoLikeImage(size.width(), size.height(), 3);
    PatternWindow pattern(picture, QPoint(0, 0));
    pattern.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pattern));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 {QStringLiteral("-geometry"), QStringLiteral("400x500+1400+0"), QStringLiteral("--port"),
                  QStringLiteral("0"), QStringLiteral("--handler"), QStringLiteral("video"), QStringLiteral("--area"),
                  QStringLiteral("0,0,320,240"), QStringLiteral("--fps"), QStringLiteral("30"), QStringLiteral("--start")});
    QVERIFY(server.waitForStarted());
    const QString file = dir.filePath(QStringLiteral("capture/capture0.mkv"));
    // Clusters reach the file while the capture runs.
    QTRY_VERIFY_WITH_TIMEOUT(int(decodeVideo(file).frames.size()) >= framesBeforeKill, 30000);
    server.kill();
    QVERIFY(server.waitForFinished(20000));
    QCOMPARE(server.exitStatus(), QProcess::CrashExit);

    const DecodedVideo video = decodeVideo(file);
    QVERIFY2(video.opened && video.error.isEmpty(), qPrintable(video.error));
    QVERIFY(int(video.frames.size()) >= framesBeforeKill);
    for (size_t i = 0; i < video.frames.size(); ++i) {
        QVERIFY(i == 0 || video.timesMs[i] > video.timesMs[i - 1]);
        const double value = psnr(video.frames[i].copy(QRect(QPoint(0, 0), size)), picture);
        QVERIFY2(value >= 35.0, qPrintable(QStringLiteral("frame %1: PSNR %2 dB").arg(i).arg(value)));
    }
}

QTEST_MAIN(tst_E2eVideo)
#include "tst_e2e_video.moc"
