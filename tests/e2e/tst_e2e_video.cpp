// capture_server recording video, killed with SIGKILL: the file it leaves decodes, up to its
// last written cluster, to whole frames of what was on the screen, in time order.
#include "testsupport.h"
#include "videodecode.h"
#include "videorecording.h"

#include <QProcess>
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
    VideoRecording recording(photoLikeImage(size.width(), size.height(), 3));
    QVERIFY(recording.start(QStringLiteral(CAPTURE_SERVER_PATH)));
    QProcess &server = recording.server();
    const QString file = recording.firstFile();
    // Clusters reach the file while the capture runs.
    QTRY_VERIFY_WITH_TIMEOUT(int(decodeVideo(file).frames.size()) >= framesBeforeKill, 30000);
    server.kill();
    QVERIFY(server.waitForFinished(20000));
    QCOMPARE(server.exitStatus(), QProcess::CrashExit);

    size_t frames = 0;
    const QString problem = recording.problemWith(file, QRect(QPoint(0, 0), size), 35.0, &frames);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY(int(frames) >= framesBeforeKill);
}

QTEST_MAIN(tst_E2eVideo)
#include "tst_e2e_video.moc"
