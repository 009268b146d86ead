// Interrupting capture_server during a capture ends the run like "Start/Stop" and exits 0.
#include "testsupport.h"

#include <QDir>
#include <QImageReader>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <signal.h>

class tst_E2eShutdown : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void signalStopsCaptureAndExitsCleanly_data();
    void signalStopsCaptureAndExitsCleanly();
    void signalWhileThePortDialogIsOpen_data();
    void signalWhileThePortDialogIsOpen();
    void signalBeforeStartUpIsHandled_data();
    void signalBeforeStartUpIsHandled();
};

void tst_E2eShutdown::signalStopsCaptureAndExitsCleanly_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QString>("handler");
    QTest::newRow("SIGINT, saver") << int(SIGINT) << QStringLiteral("saver");
    QTest::newRow("SIGTERM, saver") << int(SIGTERM) << QStringLiteral("saver");
    QTest::newRow("SIGINT, tcp server") << int(SIGINT) << QStringLiteral("tcp");
    QTest::newRow("SIGTERM, tcp server") << int(SIGTERM) << QStringLiteral("tcp");
}

void tst_E2eShutdown::signalStopsCaptureAndExitsCleanly()
{
    QFETCH(int, signalNumber);
    QFETCH(QString, handler);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(CAPTURE_SERVER_PATH),
                  {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"), handler,
                   QStringLiteral("--fps"), QStringLiteral("60"), QStringLiteral("--start")});
    QVERIFY(process.waitForStarted());
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += process.readAllStandardOutput()).count("Captures/s ") >= 5, 20000);
    // A pid of 0 would signal our own process group (ctest with it): the program must still run.
    QVERIFY2(process.processId() > 0, process.readAllStandardError().constData());
    QVERIFY(signalProcess(process, signalNumber));
    QVERIFY(process.waitForFinished(20000));
    output += process.readAllStandardOutput();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);

    const QStringList lines = QString::fromLatin1(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (handler == QLatin1String("tcp")) {
        QCOMPARE(lines.count(QStringLiteral("Server ended loop.")), 1);
        QCOMPARE(lines.constLast(), QStringLiteral("Server ended loop."));
    } else {
        const QStringList written = lines.filter(QStringLiteral("Writing: "));
        QVERIFY(written.size() >= 5);
        // Every announced file is complete, and no other file was left behind.
        for (const QString &line : written) {
            const QString file = dir.filePath(line.mid(int(qstrlen("Writing: "))));
            QImageReader reader(file);
            QVERIFY2(!reader.read().isNull(), qPrintable(file + QLatin1String(": ") + reader.errorString()));
        }
        QCOMPARE(QDir(dir.filePath(QStringLiteral("capture"))).entryList(QDir::Files).size(), written.size());
    }
}

void tst_E2eShutdown::signalWhileThePortDialogIsOpen_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM while the port dialog waits") << int(SIGTERM);
    QTest::newRow("SIGINT while the port dialog waits") << int(SIGINT);
}

void tst_E2eShutdown::signalWhileThePortDialogIsOpen()
{
    QFETCH(int, signalNumber);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess process;
    process.setWorkingDirectory(dir.path());
    // No --port: the dialog asks for it, and would start capturing once answered.
    process.start(QStringLiteral(CAPTURE_SERVER_PATH),
                  {QStringLiteral("--handler"), QStringLiteral("saver"), QStringLiteral("--start")});
    QVERIFY(process.waitForStarted());
    const auto dialogShown = [&process] {
        return runSystemTool(QStringLiteral("xdotool"),
                                 {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
                                  QString::number(process.processId()), QStringLiteral("--name"),
                                  QStringLiteral("^QInputDialog::getInteger\\(\\)$")})
               == 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(dialogShown(), 20000);
    // A pid of 0 would signal our own process group (ctest with it): the program must still run.
    QVERIFY2(process.processId() > 0, process.readAllStandardError().constData());
    QVERIFY(signalProcess(process, signalNumber));
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QByteArray output = process.readAllStandardOutput();
    QVERIFY2(!output.contains("Server status:") && !output.contains("Capturing images"), output.constData());
    QVERIFY(!QDir(dir.filePath(QStringLiteral("capture"))).exists());
}

void tst_E2eShutdown::signalBeforeStartUpIsHandled_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM before main() has run") << int(SIGTERM);
    QTest::newRow("SIGINT before main() has run") << int(SIGINT);
}

void tst_E2eShutdown::signalBeforeStartUpIsHandled()
{
    // The program starts with the signal blocked, and the signal is sent before it has run a line:
    // it is delivered at the moment the program takes it, which must be before anything it could
    // kill it in (the default action would end it with 128 + the signal).
    QFETCH(int, signalNumber);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.setChildProcessModifier([signalNumber] {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, signalNumber);
        ::sigprocmask(SIG_BLOCK, &blocked, nullptr);
    });
    process.start(QStringLiteral(CAPTURE_SERVER_PATH),
                  {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"), QStringLiteral("saver"),
                   QStringLiteral("--area"), QStringLiteral("0,0,64,48"), QStringLiteral("--start")});
    QVERIFY(process.waitForStarted());
    QVERIFY(process.processId() > 0);
    QVERIFY(signalProcess(process, signalNumber));
    QVERIFY2(process.waitForFinished(20000), "the signal was never taken");
    const QByteArray output = process.readAllStandardOutput();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == 0, output.constData());
    QVERIFY2(!output.contains("Captures/s"), output.constData());
}

QTEST_GUILESS_MAIN(tst_E2eShutdown)
#include "tst_e2e_shutdown.moc"
