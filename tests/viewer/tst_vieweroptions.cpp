#include "shownframerecorder.h"
#include "vieweroptions.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_ViewerOptions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void goodValues_data();
    void goodValues();
    void saveCreatesTheFolder();
    void timingLogIsAppendedTo();
    void programExitStatus_data();
    void programExitStatus();

private:
    QTemporaryDir m_dir;
};

void tst_ViewerOptions::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

// The help says the timing log is appended to: a second run must not wipe the first's lines.
void tst_ViewerOptions::timingLogIsAppendedTo()
{
    const QString path = m_dir.filePath(QStringLiteral("timing.log"));
    QFile earlier(path);
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("7 1234\n");
    earlier.close();
    ViewerOptions options;
    options.timingLog = path;
    {
        ShownFrameRecorder recorder(options);
        QString error;
        QVERIFY2(recorder.open(error), qPrintable(error));
    }
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), QByteArray("7 1234\n"));
}

void tst_ViewerOptions::goodValues_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("host");   // empty: no --host, the dialog asks
    QTest::addColumn<int>("port");       // -1: no --port, the dialog asks
    QTest::addColumn<int>("frames");
    QTest::addColumn<QString>("timing");

    QTest::newRow("no options keep both dialogs") << QStringList{} << QString() << -1 << 0 << QString();
    QTest::newRow("host alone keeps the port dialog")
        << QStringList{"--host", "viewer.example"} << "viewer.example" << -1 << 0 << QString();
    QTest::newRow("port alone keeps the host dialog") << QStringList{"--port", "3000"} << QString() << 3000 << 0
                                                      << QString();
    QTest::newRow("port above the dialog's 65000") << QStringList{"--port=65535"} << QString() << 65535 << 0
                                                   << QString();
    QTest::newRow("address, frames and timing log")
        << QStringList{"--host", "127.0.0.1", "--port", "1", "--frames", "7", "--timing-log", "t.log"}
        << "127.0.0.1" << 1 << 7 << "t.log";
}

void tst_ViewerOptions::goodValues()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, frames);
    QFETCH(QString, timing);

    ViewerOptions options;
    QString message;
    QCOMPARE(parseViewerOptions(QStringList{"stream_viewer"} + arguments, options, message),
             OptionsResult::Run);
    QCOMPARE(options.host.value_or(QString()), host);
    QCOMPARE(options.port.value_or(-1), port);
    QCOMPARE(options.frames, frames);
    QCOMPARE(options.timingLog, timing);
    QVERIFY(options.saveDir.isEmpty());
}

void tst_ViewerOptions::saveCreatesTheFolder()
{
    const QString dir = m_dir.filePath(QStringLiteral("a/b/frames"));
    ViewerOptions options;
    QString message;
    QCOMPARE(parseViewerOptions({"stream_viewer", "--save", dir}, options, message), OptionsResult::Run);
    QCOMPARE(options.saveDir, dir);
    QVERIFY(QFileInfo(dir).isDir());
}

void tst_ViewerOptions::programExitStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("mentions"); // texts the program's output must contain

    const QString file = m_dir.filePath(QStringLiteral("plain-file"));
    QFile plain(file);
    plain.open(QIODevice::WriteOnly);

    QTest::newRow("help lists every option") << QStringList{"--help"} << 0
                                             << QStringList{"--host", "--port", "--frames", "--save", "--version"};
    QTest::newRow("help tells how the port range differs from the dialog's")
        << QStringList{"--help"} << 0 << QStringList{"1-65535", "0-65000"};
    QTest::newRow("version") << QStringList{"--version"} << 0 << QStringList{"stream_viewer 1.0.0"};
    QTest::newRow("port not a number") << QStringList{"--port", "abc"} << 2 << QStringList{"--port", "abc"};
    QTest::newRow("port 0 cannot be connected to") << QStringList{"--port", "0"} << 2 << QStringList{"--port"};
    QTest::newRow("port above 65535") << QStringList{"--port", "70000"} << 2 << QStringList{"--port", "70000"};
    QTest::newRow("empty host") << QStringList{"--host", ""} << 2 << QStringList{"--host"};
    QTest::newRow("host missing its value") << QStringList{"--host"} << 2 << QStringList{"host"};
    QTest::newRow("frames 0") << QStringList{"--frames", "0"} << 2 << QStringList{"--frames"};
    QTest::newRow("negative frames") << QStringList{"--frames", "-3"} << 2 << QStringList{"--frames", "-3"};
    QTest::newRow("frames not a number") << QStringList{"--frames", "many"} << 2 << QStringList{"--frames"};
    QTest::newRow("save below a plain file") << QStringList{"--save", file + "/sub"} << 2 << QStringList{"--save"};
    QTest::newRow("save onto a plain file") << QStringList{"--save", file} << 2 << QStringList{"--save"};
    QTest::newRow("timing log is a folder") << QStringList{"--timing-log", m_dir.path()} << 2
                                            << QStringList{"--timing-log"};
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << QStringList{"bogus"};
    QTest::newRow("stray argument") << QStringList{"localhost"} << 2 << QStringList{"localhost"};
}

void tst_ViewerOptions::programExitStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QStringList, mentions);

    QProcess viewer;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    viewer.setProcessEnvironment(environment);
    viewer.start(QStringLiteral(STREAM_VIEWER_PATH), arguments);
    QVERIFY(viewer.waitForFinished(30000));
    const QString output = QString::fromLocal8Bit(viewer.readAllStandardOutput() + viewer.readAllStandardError());
    QCOMPARE(viewer.exitStatus(), QProcess::NormalExit);
    QCOMPARE(viewer.exitCode(), status);
    for (const QString &text : mentions)
        QVERIFY2(output.contains(text), qPrintable(output));
    // Nothing was started: no connection attempt was made.
    QVERIFY2(!output.contains(QLatin1String("Client created")), qPrintable(output));
}

QTEST_GUILESS_MAIN(tst_ViewerOptions)
#include "tst_vieweroptions.moc"
