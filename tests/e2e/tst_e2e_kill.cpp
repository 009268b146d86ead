// capture_server killed (SIGKILL) while it writes JPEG files: every picN.jpg left behind is a
// whole image, the numbers run from 0 without a gap, and a later run carries on after them.
// Killed at any moment of the first seconds of a video recording: no file is left before the
// first frame left the encoder, and from then on the file opens and decodes from that first
// frame (never empty, never a header alone).
#include "testsupport.h"
#include "videorecording.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

// Noise hardly compresses: every file is large, so its write takes a while.
QImage noiseImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator rng(7);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = 0xff000000u | (rng.generate() & 0xffffffu);
    }
    return image;
}

// Blocks until `count` files have been created in the folder watched by `inotifyFd`, then
// kills `pid` at once: the kill lands while the last of them is being written.
bool killOnCreation(int inotifyFd, qint64 pid, int count, int timeoutMs)
{
    alignas(inotify_event) char buffer[4096];
    int created = 0;
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        pollfd fd{inotifyFd, POLLIN, 0};
        if (::poll(&fd, 1, int(qMax<qint64>(1, deadline.remainingTime()))) <= 0)
            continue;
        const ssize_t length = ::read(inotifyFd, buffer, sizeof buffer);
        for (ssize_t offset = 0; offset < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
            if ((event->mask & IN_CREATE) && ++created == count)
                return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0;
            offset += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    return false;
}

// The numbers of the picN.jpg files; `whole` false when any of them is not a whole JPEG.
QList<qint64> imageNumbers(const QDir &capture, const QSize &size, bool &whole)
{
    whole = true;
    const QRegularExpression name(QStringLiteral("^pic(0|[1-9][0-9]*)\\.jpg$"));
    QList<qint64> numbers;
    for (const QString &file : capture.entryList(QDir::Files)) {
        const QRegularExpressionMatch match = name.match(file);
        if (!match.hasMatch())
            continue;
        QFile bytes(capture.filePath(file));
        if (!bytes.open(QIODevice::ReadOnly))
            whole = false;
        const QByteArray content = bytes.readAll();
        // A cut-off JPEG may still decode in part: its end marker must be there too.
        if (!content.endsWith("\xff\xd9") || QImage::fromData(content, "jpg").size() != size) {
            qWarning("%s is not a whole image (%lld bytes)", qPrintable(file), qint64(content.size()));
            whole = false;
        }
        numbers.append(match.captured(1).toLongLong());
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

} // namespace

class tst_E2eKill : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void killDuringWritesLeavesOnlyWholeFiles_data();
    void killDuringWritesLeavesOnlyWholeFiles();
    void killEarlyInAVideoLeavesAPlayableFile_data();
    void killEarlyInAVideoLeavesAPlayableFile();
};

void tst_E2eKill::killDuringWritesLeavesOnlyWholeFiles_data()
{
    QTest::addColumn<int>("creations"); // files created in ./capture before the kill
    QTest::newRow("killed as the first file is written") << 1;
    QTest::newRow("killed as the second file is written") << 2;
    QTest::newRow("killed as the fifth file is written") << 5;
    QTest::newRow("killed as the twelfth file is written") << 12;
    QTest::newRow("killed as the twenty-fifth file is written") << 25;
}

void tst_E2eKill::killDuringWritesLeavesOnlyWholeFiles()
{
    QFETCH(int, creations);
    const QSize size(1280, 720);
    PatternWindow pattern(noiseImage(size.width(), size.height()), QPoint(0, 0));
    pattern.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pattern));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QDir capture(dir.filePath(QStringLiteral("capture")));
    QVERIFY(QDir().mkpath(capture.path()));
    const int inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    QVERIFY(inotifyFd >= 0);
    const auto closeInotify = qScopeGuard([inotifyFd] { ::close(inotifyFd); });
    QVERIFY(::inotify_add_watch(inotifyFd, QFile::encodeName(capture.path()).constData(), IN_CREATE) >= 0);

    const QStringList common{QStringLiteral("-geometry"), QStringLiteral("400x500+1400+0"),
                             QStringLiteral("--port"),    QStringLiteral("0"),
                             QStringLiteral("--handler"), QStringLiteral("saver"),
                             QStringLiteral("--area"),    QStringLiteral("0,0,1280,720"),
                             QStringLiteral("--fps"),     QStringLiteral("60"),
                             QStringLiteral("--start")};
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.start(QStringLiteral(CAPTURE_SERVER_PATH), common);
    QVERIFY(server.waitForStarted());
    QVERIFY2(killOnCreation(inotifyFd, server.processId(), creations, 30000), "files never appeared");
    QVERIFY(server.waitForFinished(20000));
    QCOMPARE(server.exitStatus(), QProcess::CrashExit);

    // Only whole files, numbered 0.. without a gap: the frame in flight left no file at all.
    bool whole = false;
    const QList<qint64> numbers = imageNumbers(capture, size, whole);
    QVERIFY2(whole, "a partial or empty image was left behind");
    for (qsizetype i = 0; i < numbers.size(); ++i)
        QCOMPARE(numbers.at(i), qint64(i));
    QVERIFY(!numbers.isEmpty() || creations < 5);

    // The next run carries on right after them, whatever the killed run left behind.
    QProcess next;
    next.setWorkingDirectory(dir.path());
    next.start(QStringLiteral(CAPTURE_SERVER_PATH), common + QStringList{QStringLiteral("--frames"), QStringLiteral("2")});
    QVERIFY(next.waitForFinished(30000));
    QCOMPARE(next.exitCode(), 0);
    const QString output = QString::fromLatin1(next.readAllStandardOutput());
    QVERIFY2(output.contains(QStringLiteral("Capturing images to memory...%1\n").arg(numbers.size())), qPrintable(output));
    const QList<qint64> after = imageNumbers(capture, size, whole);
    QVERIFY(whole);
    QCOMPARE(after.size(), numbers.size() + 2);
    QCOMPARE(after.constLast(), qint64(numbers.size() + 1));
}

void tst_E2eKill::killEarlyInAVideoLeavesAPlayableFile_data()
{
    QTest::addColumn<bool>("fromRecording"); // the kill's moment counts from "Recording:", else from the file's first bytes
    QTest::addColumn<int>("killAfterMs");
    // At 1080p the encoder's look-ahead holds the first frame back for a second or two: these
    // land before it, while it comes, and after.
    for (const int ms : {0, 250, 500, 1000, 1500, 2000})
        QTest::addRow("killed %d ms after \"Recording:\"", ms) << true << ms;
    for (const int ms : {0, 500, 1500})
        QTest::addRow("killed %d ms after the first frame reached the file", ms) << false << ms;
}

void tst_E2eKill::killEarlyInAVideoLeavesAPlayableFile()
{
    QFETCH(bool, fromRecording);
    QFETCH(int, killAfterMs);
    VideoRecording recording(photoLikeImage(1920, 1080, 5));
    QVERIFY(recording.start(QStringLiteral(CAPTURE_SERVER_PATH)));
    QProcess &server = recording.server();
    // The kill's moment is what this test is about: the timer sets it, nothing waits for it.
    const auto killLater = [&server, killAfterMs] {
        QTimer::singleShot(killAfterMs, &server, [&server] { (void)signalProcess(server, SIGKILL); });
    };
    if (fromRecording) {
        QByteArray output;
        bool armed = false;
        // Armed as the line arrives, not at the next poll of a QTRY_ loop.
        const QMetaObject::Connection reading =
            QObject::connect(&server, &QProcess::readyReadStandardOutput, &server, [&] {
                output += server.readAllStandardOutput();
                if (!armed && output.contains("Recording: ./capture/capture0.mkv\n")) {
                    armed = true;
                    killLater();
                }
            });
        // `output` and `armed` end with this block; the process reads on.
        const auto stopReading = qScopeGuard([&reading] { QObject::disconnect(reading); });
        QTRY_VERIFY_WITH_TIMEOUT(armed, 30000);
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(recording.firstFile()).size() > 0, 30000);
        killLater();
    }
    QTRY_VERIFY_WITH_TIMEOUT(server.state() == QProcess::NotRunning, 20000);
    QCOMPARE(server.exitStatus(), QProcess::CrashExit);

    // Whenever the kill came, what is left in ./capture plays from its first frame: no empty
    // file, no header alone. Killed before the first frame left the encoder, nothing is left.
    const QDir capture(recording.captureFolder());
    const QStringList files = capture.entryList(QDir::Files | QDir::Hidden | QDir::System);
    QVERIFY2(files.isEmpty() || files == QStringList{QStringLiteral("capture0.mkv")}, qPrintable(files.join(u' ')));
    QVERIFY(fromRecording || !files.isEmpty());
    const QRect uncovered(0, 0, 1280, 1080); // the server's window is at x = 1400
    for (const QString &file : files) {
        size_t frames = 0;
        const QString problem = recording.problemWith(capture.filePath(file), uncovered, 30.0, &frames);
        QVERIFY2(problem.isEmpty(), qPrintable(file + QLatin1String(" (") + QString::number(QFileInfo(capture.filePath(file)).size())
                                               + QLatin1String(" bytes): ") + problem));
        qInfo("%zu frames in the file", frames);
    }
    if (files.isEmpty())
        qInfo("no file: killed before the first frame left the encoder");
}

QTEST_MAIN(tst_E2eKill)
#include "tst_e2e_kill.moc"
