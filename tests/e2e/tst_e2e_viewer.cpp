// Runs the real capture_server with its TCP server over a window with a known pattern and the
// real stream_viewer connected to it, and checks that the frames the viewer showed hold
// exactly the pattern's pixels.
#include "testsupport.h"

#include <QDir>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class tst_E2eViewer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void savedFramesHoldThePattern_data();
    void savedFramesHoldThePattern();
};

void tst_E2eViewer::savedFramesHoldThePattern_data()
{
    QTest::addColumn<QRect>("patternRect");
    QTest::addColumn<QRect>("selection");
    QTest::newRow("whole pattern") << QRect(100, 120, 320, 240) << QRect(100, 120, 320, 240);
    QTest::newRow("odd-sized part of the pattern") << QRect(100, 120, 320, 240) << QRect(131, 177, 203, 61);
}

void tst_E2eViewer::savedFramesHoldThePattern()
{
    QFETCH(QRect, patternRect);
    QFETCH(QRect, selection);
    constexpr int Frames = 4;

    const QImage pattern = patternImage(patternRect.width(), patternRect.height(), 11);
    PatternWindow window(pattern, patternRect.topLeft());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(100); // let the X server settle the first paint

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    server.setWorkingDirectory(dir.path());
    const QString area = QStringLiteral("%1,%2,%3,%4").arg(selection.x()).arg(selection.y()).arg(selection.width()).arg(selection.height());
    // Both programs' windows stay clear of the pattern.
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 {"-geometry", "560x640+1300+0", "--port", "0", "--bind", "127.0.0.1", "--handler", "tcp",
                  "--area", area, "--fps", "20", "--start"});
    QVERIFY(server.waitForStarted());
    QString serverOutput;
    int port = 0;
    const QRegularExpression portLine(QStringLiteral("Port: (\\d+)"));
    QTRY_VERIFY_WITH_TIMEOUT((serverOutput += QString::fromLatin1(server.readAllStandardOutput()),
                              port = portLine.match(serverOutput).captured(1).toInt()) > 0,
                             20000);

    QProcess viewer;
    const QString saveDir = dir.filePath(QStringLiteral("shown"));
    viewer.start(QStringLiteral(STREAM_VIEWER_PATH),
                 {"-geometry", "+1000+560", "--host", "127.0.0.1", "--port", QString::number(port), "--save", saveDir,
                  "--frames", QString::number(Frames)});
    const bool viewerDone = viewer.waitForFinished(60000);
    server.terminate();
    if (!server.waitForFinished(10000))
        server.kill();
    QVERIFY(viewerDone);
    const QString viewerOutput = QString::fromLatin1(viewer.readAllStandardOutput());
    QCOMPARE(viewer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(viewer.exitCode(), 0);

    const QStringList lines = viewerOutput.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // Start-up says once how the window draws, then the connection's line.
    QVERIFY2(lines.size() > 1 && lines[0].startsWith(QLatin1String("Preview: "))
                 && lines.filter(QStringLiteral("Preview: ")).size() == 1
                 && lines[1] == QLatin1String("Client created: Unknown error"),
             qPrintable(viewerOutput.left(2000)));
    const QString sizeLine = QStringLiteral("%1 %2").arg(selection.height()).arg(selection.width());
    QVERIFY(lines.count(QStringLiteral("TEXTURE UPDATED")) >= Frames);
    QVERIFY(lines.count(sizeLine) >= Frames);
    QVERIFY(lines.filter(QStringLiteral("Protocol error")).isEmpty());
    QVERIFY(lines.filter(QStringLiteral("Skipped")).isEmpty());

    const QImage wanted = pattern.copy(selection.translated(-patternRect.topLeft()));
    for (int i = 0; i < Frames; ++i) {
        const QImage frame = QImageReader(QDir(saveDir).filePath(QStringLiteral("frame%1.png").arg(i))).read();
        QCOMPARE(frame.size(), selection.size());
        QVERIFY2(maxChannelDifference(frame, wanted) == 0,
                 qPrintable(QStringLiteral("frame %1 differs by up to %2").arg(i).arg(maxChannelDifference(frame, wanted))));
    }
    QVERIFY(!QFile::exists(QDir(saveDir).filePath(QStringLiteral("frame%1.png").arg(Frames))));
}

QTEST_MAIN(tst_E2eViewer)
#include "tst_e2e_viewer.moc"
