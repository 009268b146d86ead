// capture_server's exit status tells a script whether a scripted run did its job: a --frames
// run that saved no frame exits 1, a TCP run that cannot listen exits 2 at once.
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <QFileInfo>

class tst_E2eExitStatus : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void exitStatusTellsTheOutcome_data();
    void exitStatusTellsTheOutcome();
    void runsWithoutADisplay_data();
    void runsWithoutADisplay();
};

void tst_E2eExitStatus::exitStatusTellsTheOutcome_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("captureIsAFile");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line"); // on standard output or standard error
    const QStringList saver{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"),
                            QStringLiteral("saver"), QStringLiteral("--frames"), QStringLiteral("3")};
    QTest::newRow("--frames run that saved its frames") << saver << false << 0 << QStringLiteral("Writing: ./capture/pic2.jpg");
    QTest::newRow("--frames run that saved nothing (./capture is a file)")
        << saver << true << 1 << QStringLiteral("Could not write: ./capture/pic0.jpg: Not a directory");
    const QStringList video{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"),
                            QStringLiteral("video"), QStringLiteral("--frames"), QStringLiteral("20")};
    QTest::newRow("video --frames run that recorded nothing (./capture is a file)")
        << video << true << 1 << QStringLiteral("Could not record to ./capture/captureN.mkv: ");
    const QStringList tcp{QStringLiteral("--handler"), QStringLiteral("tcp"), QStringLiteral("--frames"),
                          QStringLiteral("3")};
    QTest::newRow("--bind to an address this machine does not have")
        << (tcp + QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--bind"),
                              QStringLiteral("192.0.2.1")})
        << false << 2 << QStringLiteral("capture_server: cannot serve viewers: ");
    QTest::newRow("a taken port") << (tcp + QStringList{QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                                                        QStringLiteral("--port"), QStringLiteral("taken")})
                                  << false << 2 << QStringLiteral("capture_server: cannot serve viewers: ");
}

void tst_E2eExitStatus::exitStatusTellsTheOutcome()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, captureIsAFile);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (captureIsAFile) {
        QFile file(dir.filePath(QStringLiteral("capture")));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QTcpServer taken;
    QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
    arguments.replaceInStrings(QStringLiteral("taken"), QString::number(taken.serverPort()));

    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(CAPTURE_SERVER_PATH),
                  QStringList{QStringLiteral("--area"), QStringLiteral("0,0,64,48"), QStringLiteral("--fps"),
                              QStringLiteral("30"), QStringLiteral("--start")}
                      + arguments);
    QVERIFY(process.waitForFinished(30000));
    const QString output = QString::fromLatin1(process.readAllStandardOutput() + process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == exitCode, qPrintable(output));
    QVERIFY2(output.contains(line), qPrintable(output));
    if (exitCode == 2)
        QVERIFY2(!output.contains(QStringLiteral("Captures/s")), "captured to nobody");
}

void tst_E2eExitStatus::runsWithoutADisplay_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("display"); // empty: DISPLAY unset; "dead": a display nobody serves
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");    // on standard output or standard error
    const QString server = QStringLiteral(CAPTURE_SERVER_PATH);
    const QString viewer = QStringLiteral(STREAM_VIEWER_PATH);
    const QStringList capture{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"),
                              QStringLiteral("saver"), QStringLiteral("--start")};
    const QStringList view{QStringLiteral("--host"), QStringLiteral("localhost"), QStringLiteral("--port"),
                           QStringLiteral("1")};
    QTest::newRow("server --help without DISPLAY")
        << server << QStringList{QStringLiteral("--help")} << QString() << 0 << QStringLiteral("--viewer-timeout");
    QTest::newRow("server option error after a Qt window option, without DISPLAY")
        << server << QStringList{QStringLiteral("-geometry"), QStringLiteral("100x100+0+0"), QStringLiteral("--fps"),
                                 QStringLiteral("99")}
        << QString() << 2 << QStringLiteral("capture_server: Invalid value for --fps");
    QTest::newRow("server run without DISPLAY")
        << server << capture << QString() << 2 << QStringLiteral("capture_server: no display: DISPLAY is not set");
    QTest::newRow("server run on a dead display")
        << server << capture << QStringLiteral("dead") << 2 << QStringLiteral("capture_server: cannot open the display :");
    QTest::newRow("viewer --version on a dead display")
        << viewer << QStringList{QStringLiteral("--version")} << QStringLiteral("dead") << 0
        << QStringLiteral("stream_viewer ");
    QTest::newRow("viewer run on a dead display")
        << viewer << view << QStringLiteral("dead") << 2 << QStringLiteral("stream_viewer: cannot open the display :");
}

void tst_E2eExitStatus::runsWithoutADisplay()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(QString, display);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    QTemporaryDir dir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("DISPLAY"));
    if (!display.isEmpty()) {
        int number = 4711;
        while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            ++number;
        environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":%1").arg(number));
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(dir.path());
    process.start(program, arguments);
    QVERIFY(process.waitForFinished(30000));
    const QString output = QString::fromLatin1(process.readAllStandardOutput() + process.readAllStandardError());
    QVERIFY2(process.exitStatus() == QProcess::NormalExit, qPrintable(output));
    QVERIFY2(process.exitCode() == exitCode, qPrintable(output));
    QVERIFY2(output.contains(line), qPrintable(output));
}

QTEST_GUILESS_MAIN(tst_E2eExitStatus)
#include "tst_e2e_exitstatus.moc"
