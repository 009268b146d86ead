#include "bandmap.h"
#include "framehistory.h"
#include "testsupport.h"
#include "videodecode.h"
#include "videoexport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <csignal>
#include <sys/resource.h>
#include <thread>

// The export of a history's range: what the file holds and what the report says of it, and
// that no file is left of an export that did not finish.
class tst_VideoExport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void reportTellsWhatTheFileHolds_data();
    void reportTellsWhatTheFileHolds();
    void unfinishedExportLeavesNoFile_data();
    void unfinishedExportLeavesNoFile();

private:
    // Appends `count` frames that differ everywhere (none repeats a stored band), 40 ms apart.
    void appendFrames(FrameHistory &history, int count, QSize size = QSize(320, 240));
    // Files in the folder other than the history's.
    [[nodiscard]] QStringList files() const { return QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden); }

    std::unique_ptr<QTemporaryDir> m_dir;
    qint64 m_nextTime = 1000;
};

// Lowers the process's file size limit for as long as it lives (writes past it fail with
// EFBIG), as a quota or `ulimit -f` would.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_before);
        rlimit lowered = m_before;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_before); }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_before{};
};

void tst_VideoExport::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_VideoExport::appendFrames(FrameHistory &history, int count, QSize size)
{
    QImage previous;
    for (int i = 0; i < count; ++i) {
        const QImage frame = patternImage(size.width(), size.height(), int(m_nextTime));
        history.waitUntilStored();
        history.append(frame, BandMap::compare(frame, previous), {}, m_nextTime);
        m_nextTime += 40;
        previous = frame;
    }
    history.waitUntilStored();
}

void tst_VideoExport::reportTellsWhatTheFileHolds_data()
{
    QTest::addColumn<int>("kept");    // frames stored before the history's file is full
    QTest::addColumn<int>("notKept"); // frames grabbed after it, not kept
    QTest::addColumn<int>("first");   // the marked range
    QTest::addColumn<int>("last");
    QTest::newRow("every frame kept") << 8 << 0 << 2 << 6;
    QTest::newRow("range given backwards") << 8 << 0 << 6 << 2;
    QTest::newRow("history full: the end of the range is missing") << 6 << 5 << 3 << 10;
    QTest::newRow("history full: one frame missing") << 6 << 1 << 0 << 6;
}

void tst_VideoExport::reportTellsWhatTheFileHolds()
{
    QFETCH(int, kept);
    QFETCH(int, notKept);
    QFETCH(int, first);
    QFETCH(int, last);
    FrameHistory history(2, -1, m_dir->path());
    appendFrames(history, kept);
    if (notKept > 0) {
        // The history's file cannot grow from here on: a full disk.
        const FileSizeLimit full(rlim_t(history.fileBytes()));
        appendFrames(history, notKept);
        QVERIFY(history.isFull());
    }
    QCOMPARE(history.size(), kept + notKept);

    const QString fileName = m_dir->filePath(QStringLiteral("export.mkv"));
    VideoSettings settings;
    settings.fps = 25;
    const VideoExport job(history, first, last, settings);
    std::atomic<int> done{0};
    const ExportReport report = job.write(fileName, &done);
    QVERIFY2(report.frames >= 0, report.error.c_str());
    QCOMPARE(done.load(), std::abs(last - first) + 1); // the progress reaches 100 %

    const int from = std::min(first, last);
    const int to = std::max(first, last);
    const int lastKept = std::min(to, kept - 1);
    std::vector<int> missing;
    for (int i = kept; i <= to; ++i)
        missing.push_back(i);
    QCOMPARE(report.missing, missing);
    QCOMPARE(report.missingWhy.empty(), missing.empty());
    QVERIFY(missing.empty() || report.missingWhy.find("full") != std::string::npos);
    QCOMPARE(report.frames, qint64(lastKept - from + 1));

    const DecodedVideo video = decodeVideo(fileName);
    QVERIFY2(video.opened && video.error.isEmpty(), qPrintable(video.error));
    QCOMPARE(qint64(video.frames.size()), report.frames);
    // The duration said is the file's: its last frame's time plus one frame.
    QCOMPARE(report.durationMs, video.timesMs.back() + 1000 / settings.fps);
    QCOMPARE(video.timesMs.back(), history.timeMs(lastKept) - history.timeMs(from));
    QCOMPARE(files(), QStringList{QStringLiteral("export.mkv")});
}

void tst_VideoExport::unfinishedExportLeavesNoFile_data()
{
    QTest::addColumn<bool>("cancel");      // Cancel once some frames are written
    QTest::addColumn<bool>("limit");       // else a file size limit stops the writing
    QTest::addColumn<bool>("earlierFile"); // a file of that name was there before
    QTest::newRow("cancelled midway") << true << false << false;
    QTest::newRow("cancelled midway, over an earlier file: it stays") << true << false << true;
    QTest::newRow("write fails midway (file size limit)") << false << true << false;
}

void tst_VideoExport::unfinishedExportLeavesNoFile()
{
    QFETCH(bool, cancel);
    QFETCH(bool, limit);
    QFETCH(bool, earlierFile);
    FrameHistory history(2, -1, m_dir->path());
    constexpr int frames = 40;
    appendFrames(history, frames, QSize(640, 480));
    const QString fileName = m_dir->filePath(QStringLiteral("export.mkv"));
    const QByteArray earlier("an earlier export");
    if (earlierFile) {
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }

    const VideoExport job(history, 0, frames - 1, VideoSettings());
    std::atomic<int> done{0};
    std::atomic<bool> cancelled{false};
    ExportReport report;
    std::unique_ptr<FileSizeLimit> sizeLimit;
    if (limit)
        sizeLimit = std::make_unique<FileSizeLimit>(50000); // the history's file is only read now
    std::thread writer([&] { report = job.write(fileName, &done, &cancelled); });
    if (cancel) {
        // A few frames in, the file under way is there, under a name of its own.
        QVERIFY(QTest::qWaitFor([&] { return done.load() >= 3; }, 20000));
        QVERIFY(files().size() == (earlierFile ? 2 : 1) || done.load() == frames);
        cancelled = true;
    }
    writer.join();
    sizeLimit.reset();
    QCOMPARE(report.frames, qint64(-1));
    QCOMPARE(report.cancelled, cancel);
    if (limit)
        QVERIFY2(report.error.find("too large") != std::string::npos, report.error.c_str());
    QCOMPARE(files(), earlierFile ? QStringList{QStringLiteral("export.mkv")} : QStringList());
    if (earlierFile) {
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), earlier);
    }
}

QTEST_GUILESS_MAIN(tst_VideoExport)
#include "tst_videoexport.moc"
