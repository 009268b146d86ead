// capture_server saving JPEG files while writes fail as on a full disk (a file size limit set on
// the running process), then succeed again: a "Could not write: " line per lost frame, no crash,
// no gap in the numbers of the files written, and writing resumes at the number that failed.
// A video recording onto a disk that is full from the start: no empty file is left, and a
// --frames run says it failed.
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

bool setFileSizeLimit(qint64 pid, rlim_t bytes)
{
    rlimit limit{};
    limit.rlim_cur = bytes;
    limit.rlim_max = RLIM_INFINITY;
    return ::prlimit(pid_t(pid), RLIMIT_FSIZE, &limit, nullptr) == 0;
}

} // namespace

class tst_E2eFullDisk : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void failedWritesCostALineAndNoNumber();
    void videoOnAFullDiskLeavesNoEmptyFile_data();
    void videoOnAFullDiskLeavesNoEmptyFile();
};

void tst_E2eFullDisk::failedWritesCostALineAndNoNumber()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    server.setWorkingDirectory(dir.path());
    // Past the limit a write fails with EFBIG, as it does with ENOSPC on a full disk, instead
    // of the process being killed by SIGXFSZ (an ignored signal stays ignored across exec).
    server.setChildProcessModifier([] { std::signal(SIGXFSZ, SIG_IGN); });
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"), QStringLiteral("saver"),
                  QStringLiteral("--area"), QStringLiteral("0,0,64,48"), QStringLiteral("--fps"), QStringLiteral("20"),
                  QStringLiteral("--start")});
    QVERIFY(server.waitForStarted());
    QByteArray output;
    auto count = [&](const char *text) {
        output += server.readAllStandardOutput();
        return output.count(text);
    };

    QTRY_VERIFY_WITH_TIMEOUT(count("Writing: ") >= 3, 20000);
    QVERIFY(setFileSizeLimit(server.processId(), 100)); // no JPEG file fits: the disk is full
    const qsizetype writtenBefore = count("Writing: ");
    QTRY_VERIFY_WITH_TIMEOUT(count("Could not write: ") >= 10, 20000);
    QVERIFY(setFileSizeLimit(server.processId(), RLIM_INFINITY)); // space is back
    const qsizetype failed = count("Could not write: ");
    QTRY_VERIFY_WITH_TIMEOUT(count("Writing: ") >= writtenBefore + failed + 3, 20000);

    server.terminate();
    QVERIFY(server.waitForFinished(20000));
    output += server.readAllStandardOutput();
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);

    // Every line names the next number: a failed frame keeps it, a written one takes it.
    const QRegularExpression line(
        QStringLiteral("^(Writing|Could not write): \\./capture/pic(\\d+)\\.jpg(: File too large)?$"));
    int next = 0;
    int failures = 0;
    int resumedAt = -1;
    QString previousKind;
    for (const QString &text : QString::fromLatin1(output).split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = line.match(text);
        if (!match.hasMatch())
            continue;
        const QString kind = match.captured(1);
        QCOMPARE(match.captured(2).toInt(), next);
        QCOMPARE(match.hasCaptured(3), kind != QLatin1String("Writing")); // a failure says why
        if (kind == QLatin1String("Writing")) {
            if (previousKind == QLatin1String("Could not write"))
                resumedAt = next;
            ++next;
        } else {
            ++failures;
        }
        previousKind = kind;
    }
    qInfo("%d files written, %d \"Could not write: \" lines, writing resumed at pic%d.jpg", next, failures,
          resumedAt);
    QVERIFY(failures >= 10);
    QVERIFY2(resumedAt > 0, "writing never resumed after the failures");

    // The files are exactly pic0..pic(next-1), each a whole image.
    const QDir capture(dir.filePath(QStringLiteral("capture")));
    const QStringList files = capture.entryList(QDir::Files, QDir::Name);
    QCOMPARE(files.size(), next);
    for (int i = 0; i < next; ++i) {
        const QString file = capture.filePath(QStringLiteral("pic%1.jpg").arg(i));
        QImageReader reader(file);
        QVERIFY2(reader.read().size() == QSize(64, 48), qPrintable(file + QLatin1String(": ") + reader.errorString()));
    }
}

void tst_E2eFullDisk::videoOnAFullDiskLeavesNoEmptyFile_data()
{
    QTest::addColumn<int>("limit"); // bytes a file may grow to
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("line");
    QTest::newRow("full at Start") << 0 << 1
                                   << QStringLiteral("Recorded nothing: ./capture/capture0.mkv could not be written, "
                                                     "and is removed");
    QTest::newRow("room for the whole run") << -1 << 0 << QStringLiteral("Recorded ./capture/capture0.mkv: 20 frames, ");
}

void tst_E2eFullDisk::videoOnAFullDiskLeavesNoEmptyFile()
{
    QFETCH(int, limit);
    QFETCH(int, exitCode);
    QFETCH(QString, line);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.setChildProcessModifier([limit] {
        std::signal(SIGXFSZ, SIG_IGN);
        if (limit >= 0) {
            const rlimit fileSize{rlim_t(limit), RLIM_INFINITY};
            ::setrlimit(RLIMIT_FSIZE, &fileSize);
        }
    });
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"), QStringLiteral("video"),
                  QStringLiteral("--area"), QStringLiteral("0,0,64,48"), QStringLiteral("--fps"), QStringLiteral("20"),
                  QStringLiteral("--frames"), QStringLiteral("20"), QStringLiteral("--start")});
    QVERIFY(server.waitForFinished(30000));
    const QString output = QString::fromLatin1(server.readAllStandardOutput());
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QVERIFY2(server.exitCode() == exitCode, qPrintable(output));
    QVERIFY2(output.contains(line), qPrintable(output));
    QCOMPARE(QFileInfo::exists(dir.filePath(QStringLiteral("capture/capture0.mkv"))), exitCode == 0);
}

QTEST_GUILESS_MAIN(tst_E2eFullDisk)
#include "tst_e2e_fulldisk.moc"
