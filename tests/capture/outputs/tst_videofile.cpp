// The video handler and the export: what lands in the file is read back through FFmpeg's
// libraries and compared with what went in (frame count, times, pixels).
#include "capturedframe.h"
#include "framehistory.h"
#include "streampublisher.h"
#include "relay.h"
#include "testsupport.h"
#include "videodecode.h"
#include "videoencoder.h"
#include "videoexport.h"
#include "videofilehandler.h"
#include "numberedfiles.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Something like a desktop: a window with text-like stripes on a light background, a coloured
// panel and a marker square that moves with `index`, so every frame differs from the others.
QImage screenLikeFrame(QSize size, int index)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(QColor(236, 238, 242));
    QPainter painter(&image);
    painter.fillRect(QRect(4, 4, size.width() / 2, size.height() / 3), QColor(40, 90, 170));
    for (int y = size.height() / 2; y < size.height() - 6; y += 6)
        painter.fillRect(QRect(8, y, size.width() - 16 - (y % 5) * 7, 2), QColor(30, 30, 30));
    const int side = std::max(8, size.height() / 5);
    painter.fillRect(QRect((index * 9) % std::max(1, size.width() - side), size.height() / 3 + 2, side, side),
                     QColor(220, 60, 40));
    return image;
}

// The frame of `image` that best matches it (highest PSNR), from `frames`.
int bestMatch(const QImage &image, const std::vector<QImage> &frames)
{
    int best = -1;
    double bestPsnr = -1;
    for (int i = 0; i < int(frames.size()); ++i) {
        const double value = psnr(image, frames[size_t(i)]);
        if (value > bestPsnr) {
            bestPsnr = value;
            best = i;
        }
    }
    return best;
}

struct Run
{
    std::vector<QImage> frames;
    std::vector<qint64> times; // grab times, ms
};

// Feeds `run` to `handler` as the recorder would, band maps included.
void feed(VideoFileHandler &handler, const Run &run, qint64 firstNumber = 0)
{
    handler.startHandling(nullptr);
    QImage previous;
    for (size_t i = 0; i < run.frames.size(); ++i) {
        CapturedFrame frame;
        frame.image = run.frames[i];
        frame.changes = BandMap::compare(frame.image, previous);
        frame.number = firstNumber + qint64(i);
        frame.grabTimeMs = run.times[i];
        previous = frame.image;
        handler.handleFrame(frame);
    }
    handler.stopHandling();
}

bool setFileSizeLimit(rlim_t bytes)
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes;
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

} // namespace

class tst_VideoFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void recordsEveryFrameAtItsTime_data();
    void recordsEveryFrameAtItsTime();
    void numbersNeverOverwrite_data();
    void numbersNeverOverwrite();
    void fileIsNamedWithAllItsBytes_data();
    void fileIsNamedWithAllItsBytes();
    void saysTheSizeItRecords_data();
    void saysTheSizeItRecords();
    void bFramesOnlyWhereNothingReadsLive_data();
    void bFramesOnlyWhereNothingReadsLive();
    void fullDiskEndsTheFileOnce_data();
    void fullDiskEndsTheFileOnce();
    void exportsExactlyTheMarkedRange_data();
    void exportsExactlyTheMarkedRange();
    void publishesToARelayThatComesAndGoes();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_oldDir;
};

void tst_VideoFile::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_oldDir = QDir::currentPath();
    QDir::setCurrent(m_dir->path());
}

void tst_VideoFile::cleanup()
{
    QDir::setCurrent(m_oldDir);
    m_dir.reset();
}

void tst_VideoFile::recordsEveryFrameAtItsTime_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QList<qint64>>("times"); // grab times, ms on the recorder's clock
    QTest::addColumn<bool>("still");           // every frame the same but one band

    QTest::newRow("steady 30 fps") << QSize(320, 240) << QList<qint64>{5000, 5033, 5067, 5100, 5133, 5167, 5200} << false;
    QTest::newRow("a slow tick is a longer frame") << QSize(320, 240) << QList<qint64>{100, 133, 166, 700, 733} << false;
    QTest::newRow("two grabs in one millisecond") << QSize(320, 240) << QList<qint64>{100, 100, 133} << false;
    QTest::newRow("odd width and height") << QSize(161, 97) << QList<qint64>{0, 50, 100, 150} << false;
    QTest::newRow("only one band changes") << QSize(256, 160) << QList<qint64>{0, 33, 66, 100, 133} << true;
}

void tst_VideoFile::recordsEveryFrameAtItsTime()
{
    QFETCH(QSize, size);
    QFETCH(QList<qint64>, times);
    QFETCH(bool, still);

    Run run;
    for (int i = 0; i < times.size(); ++i) {
        QImage frame = screenLikeFrame(size, still ? 0 : i);
        if (still) // a clock in the second band: only that band differs from the frame before
            QPainter(&frame).fillRect(QRect(20 + 12 * i, 16, 10, 16), QColor(0, 140 + 20 * i, 0));
        run.frames.push_back(frame);
        run.times.push_back(times[i]);
    }
    CoutCapture console;
    VideoFileHandler handler(QStringLiteral("./capture/capture"), VideoSettings());
    feed(handler, run);

    const QStringList lines = console.lines();
    QCOMPARE(lines.value(0), QStringLiteral("Recording: ./capture/capture0.mkv"));
    QVERIFY2(lines.last().startsWith(QStringLiteral("Recorded ./capture/capture0.mkv: %1 frames, ").arg(times.size())),
             qPrintable(lines.last()));

    const DecodedVideo video = decodeVideo(QStringLiteral("capture/capture0.mkv"));
    QVERIFY2(video.opened && video.error.isEmpty(), qPrintable(video.error));
    QCOMPARE(video.codec, QStringLiteral("h264"));
    QVERIFY(video.container.startsWith(QLatin1String("matroska")));
    QCOMPARE(int(video.frames.size()), times.size());
    qint64 previous = -1;
    for (int i = 0; i < times.size(); ++i) {
        // Times from the first grab; two grabs in one millisecond still follow each other.
        const qint64 expected = std::max(times[i] - times[0], previous + 1);
        QCOMPARE(video.timesMs[size_t(i)], expected);
        previous = expected;
        QCOMPARE(video.frames[size_t(i)].size(), VideoEncoder::codedSize(size));
        const QImage decoded = video.frames[size_t(i)].copy(QRect(QPoint(0, 0), size));
        const double value = psnr(decoded, run.frames[size_t(i)]);
        QVERIFY2(value >= 33.0, qPrintable(QStringLiteral("frame %1: PSNR %2 dB").arg(i).arg(value)));
        QCOMPARE(bestMatch(decoded, run.frames), i);
    }
}

void tst_VideoFile::numbersNeverOverwrite_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("takenMeanwhile"); // by another program, after Start
    QTest::addColumn<QString>("expected");           // the name said at Start
    QTest::addColumn<QString>("recorded");

    QTest::newRow("empty folder") << QStringList{} << QStringList{} << QStringLiteral("capture0.mkv")
                                  << QStringLiteral("capture0.mkv");
    QTest::newRow("after the highest") << QStringList{"capture0.mkv", "capture1.mkv", "capture2.mkv"} << QStringList{}
                                       << QStringLiteral("capture3.mkv") << QStringLiteral("capture3.mkv");
    QTest::newRow("past a gap, never into it") << QStringList{"capture7.mkv"} << QStringList{}
                                               << QStringLiteral("capture8.mkv") << QStringLiteral("capture8.mkv");
    QTest::newRow("numbers are not padded") << QStringList{"capture9.mkv"} << QStringList{}
                                            << QStringLiteral("capture10.mkv") << QStringLiteral("capture10.mkv");
    QTest::newRow("other names do not count")
        << QStringList{"capture.mkv", "capturex.mkv", "capture5.jpg", "pic3.jpg", "capture01.mkv"} << QStringList{}
        << QStringLiteral("capture0.mkv") << QStringLiteral("capture0.mkv");
    QTest::newRow("its number taken before its first frame") << QStringList{} << QStringList{"capture0.mkv"}
                                                             << QStringLiteral("capture0.mkv")
                                                             << QStringLiteral("capture1.mkv");
    QTest::newRow("its number and a higher one taken: past the highest")
        << QStringList{"capture2.mkv"} << QStringList{"capture3.mkv", "capture7.mkv"} << QStringLiteral("capture3.mkv")
        << QStringLiteral("capture8.mkv");
}

void tst_VideoFile::numbersNeverOverwrite()
{
    QFETCH(QStringList, present);
    QFETCH(QStringList, takenMeanwhile);
    QFETCH(QString, expected);
    QFETCH(QString, recorded);
    QDir().mkpath(QStringLiteral("capture"));
    const auto writeEarlier = [](const QStringList &names) {
        for (const QString &name : names) {
            QFile file(QStringLiteral("capture/") + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("earlier");
        }
    };
    writeEarlier(present);
    CoutCapture console;
    VideoFileHandler handler(QStringLiteral("./capture/capture"), VideoSettings());
    handler.startHandling(nullptr);
    // Until its first frame is in it, the file is not in the folder: nothing there to be killed
    // half-made.
    QCOMPARE(QDir(QStringLiteral("capture")).entryList(QDir::Files | QDir::Hidden).size(), present.size());
    writeEarlier(takenMeanwhile);
    CapturedFrame frame;
    frame.image = screenLikeFrame(QSize(64, 48), 0);
    frame.changes = BandMap::compare(frame.image, QImage());
    handler.handleFrame(frame);
    handler.stopHandling();

    const QStringList lines = console.lines();
    QCOMPARE(lines.value(0), QStringLiteral("Recording: ./capture/") + expected);
    QCOMPARE(lines.contains(QStringLiteral("./capture/%1 was taken meanwhile: recording to ./capture/%2")
                                .arg(expected, recorded)),
             recorded != expected);
    QCOMPARE(handler.fileName(), QStringLiteral("./capture/") + recorded);
    QVERIFY2(lines.last().startsWith(QStringLiteral("Recorded ./capture/") + recorded), qPrintable(lines.last()));
    QCOMPARE(int(decodeVideo(QStringLiteral("capture/") + recorded).frames.size()), 1);
    for (const QString &name : present + takenMeanwhile) {
        QFile file(QStringLiteral("capture/") + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("earlier"));
    }
    // A second run takes the next number.
    console.clear();
    feed(handler, Run{{frame.image}, {0}});
    const int next = recorded.mid(7).chopped(4).toInt() + 1;
    QCOMPARE(console.lines().value(0), QStringLiteral("Recording: ./capture/capture%1.mkv").arg(next));
}

void tst_VideoFile::fileIsNamedWithAllItsBytes_data()
{
    QTest::addColumn<bool>("inMemory");
    QTest::newRow("unnamed in its folder") << false;
    QTest::newRow("in memory, as on a file system without unnamed files") << true;
}

void tst_VideoFile::fileIsNamedWithAllItsBytes()
{
    QFETCH(bool, inMemory);
    const QString prefix = QStringLiteral("./capture/capture");
    std::string error;
    const int fd = inMemory ? ::memfd_create("test", MFD_CLOEXEC) : createUnnamedFile(prefix, QStringLiteral("mkv"), error);
    QVERIFY2(fd >= 0, error.c_str());
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    QDir().mkpath(QStringLiteral("capture"));
    QFile taken(QStringLiteral("capture/capture0.mkv"));
    QVERIFY(taken.open(QIODevice::WriteOnly));
    taken.write("earlier");
    taken.close();

    // Header and first cluster, then named; later clusters and the header's update at the end go
    // through the same descriptor.
    QCOMPARE(::write(fd, "header+first", 12), ssize_t(12));
    QString fileName;
    QVERIFY2(nameNumberedFile(fd, prefix, QStringLiteral("mkv"), 0, fileName, error), error.c_str());
    QCOMPARE(fileName, QStringLiteral("./capture/capture1.mkv"));
    QCOMPARE(::write(fd, "+more", 5), ssize_t(5));
    QCOMPARE(::pwrite(fd, "H", 1, 0), ssize_t(1));

    QFile named(fileName);
    QVERIFY(named.open(QIODevice::ReadOnly));
    QCOMPARE(named.readAll(), QByteArray("Header+first+more"));
    QVERIFY(taken.open(QIODevice::ReadOnly));
    QCOMPARE(taken.readAll(), QByteArray("earlier"));
}

void tst_VideoFile::saysTheSizeItRecords_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("line"); // said at the first frame; empty: none
    QTest::newRow("one pixel") << QSize(1, 1)
                               << "Recording 1x1 as 2x2: H.264 as players take it has even sizes, so the last column and row are repeated";
    QTest::newRow("odd width") << QSize(641, 480)
                               << "Recording 641x480 as 642x480: H.264 as players take it has even sizes, so the last column is repeated";
    QTest::newRow("a screen less a row") << QSize(1920, 1079)
                                         << "Recording 1920x1079 as 1920x1080: H.264 as players take it has even sizes, so the last row is repeated";
    QTest::newRow("even: nothing to say") << QSize(640, 480) << QString();
}

void tst_VideoFile::saysTheSizeItRecords()
{
    QFETCH(QSize, size);
    QFETCH(QString, line);
    Run run;
    for (int i = 0; i < 3; ++i) {
        run.frames.push_back(photoLikeImage(size.width(), size.height(), i));
        run.times.push_back(i * 33);
    }
    CoutCapture console;
    VideoFileHandler handler(QStringLiteral("./capture/capture"), VideoSettings());
    feed(handler, run);
    QCOMPARE(console.lines().filter(QStringLiteral("Recording ")), line.isEmpty() ? QStringList() : QStringList{line});

    // The area at its place; the padding repeats its last column and row.
    const DecodedVideo video = decodeVideo(QStringLiteral("capture/capture0.mkv"));
    QVERIFY2(video.opened && video.error.isEmpty(), qPrintable(video.error));
    QCOMPARE(int(video.frames.size()), 3);
    const QSize coded = VideoEncoder::codedSize(size);
    for (int i = 0; i < 3; ++i) {
        const QImage &decoded = video.frames[size_t(i)];
        QCOMPARE(decoded.size(), coded);
        const double value = psnr(decoded.copy(QRect(QPoint(0, 0), size)), run.frames[size_t(i)]);
        QVERIFY2(value >= 30.0, qPrintable(QStringLiteral("frame %1: PSNR %2 dB").arg(i).arg(value)));
        if (coded.width() > size.width()) {
            const QImage last = decoded.copy(size.width() - 1, 0, 1, size.height());
            QVERIFY(psnr(decoded.copy(size.width(), 0, 1, size.height()), last) >= 30.0);
        }
        if (coded.height() > size.height()) {
            const QImage last = decoded.copy(0, size.height() - 1, size.width(), 1);
            QVERIFY(psnr(decoded.copy(0, size.height(), size.width(), 1), last) >= 30.0);
        }
    }
}

void tst_VideoFile::bFramesOnlyWhereNothingReadsLive_data()
{
    QTest::addColumn<bool>("publishing");
    QTest::addColumn<bool>("bFrames");
    QTest::newRow("a file alone: the encoder's look-ahead and B-frames") << false << true;
    QTest::newRow("a file beside a relay: low latency, as the relay gets it") << true << false;
}

void tst_VideoFile::bFramesOnlyWhereNothingReadsLive()
{
    QFETCH(bool, publishing);
    QFETCH(bool, bFrames);
    Run run;
    for (int i = 0; i < 40; ++i) {
        run.frames.push_back(screenLikeFrame(QSize(320, 240), i));
        run.times.push_back(1000 + i * 33);
    }
    CoutCapture console;
    VideoFileHandler handler(QStringLiteral("./capture/capture"), VideoSettings());
    if (publishing) // the relay's stream is the file's: nobody needs to listen for the choice
        handler.setPublishUrl(QStringLiteral("rtmp://127.0.0.1:%1/live/test").arg(freePort()));
    feed(handler, run);

    const DecodedVideo video = decodeVideo(QStringLiteral("capture/capture0.mkv"));
    QVERIFY2(video.opened && video.error.isEmpty(), qPrintable(video.error));
    QCOMPARE(video.bFrames, bFrames);
    // Every frame, in time order at its time, whatever order the frames were coded in.
    QCOMPARE(int(video.frames.size()), int(run.frames.size()));
    for (size_t i = 0; i < video.frames.size(); ++i)
        QCOMPARE(video.timesMs[i], run.times[i] - run.times[0]);
    QVERIFY2(console.lines().last().startsWith(QStringLiteral("Recorded ./capture/capture0.mkv: 40 frames, 1.32 s")),
             qPrintable(console.lines().last()));
}

void tst_VideoFile::fullDiskEndsTheFileOnce_data()
{
    QTest::addColumn<int>("limit"); // bytes a file may grow to
    QTest::addColumn<int>("minimumFrames"); // decodable from what was written

    QTest::newRow("full in the second cluster") << 20000 << 1;
    QTest::newRow("full after a few clusters") << 50000 << 2;
    QTest::newRow("full before the first cluster") << 300 << 0;
}

void tst_VideoFile::fullDiskEndsTheFileOnce()
{
    QFETCH(int, limit);
    QFETCH(int, minimumFrames);
    Run run;
    for (int i = 0; i < 90; ++i) {
        run.frames.push_back(photoLikeImage(320, 240, i)); // a new picture each frame: bytes grow fast
        run.times.push_back(i * 33);
    }
    CoutCapture console;
    VideoFileHandler handler(QStringLiteral("./capture/capture"), VideoSettings());
    // Past the limit a write fails with EFBIG, as with ENOSPC on a full disk.
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(setFileSizeLimit(rlim_t(limit)));
    feed(handler, run);
    QVERIFY(setFileSizeLimit(RLIM_INFINITY));
    std::signal(SIGXFSZ, previousHandler);

    const QStringList lines = console.lines();
    const QStringList failures = lines.filter(QStringLiteral("Could not write: ./capture/capture0.mkv: File too large"));
    QVERIFY2(failures.size() == 1, qPrintable(lines.join(QLatin1Char('\n'))));
    if (minimumFrames == 0) { // nothing would play: no file is left
        QCOMPARE(lines.last(), QStringLiteral("Recorded nothing: ./capture/capture0.mkv could not be written, and is removed"));
        QVERIFY(!QFileInfo::exists(QStringLiteral("capture/capture0.mkv")));
        QVERIFY(handler.recordedNothing());
        return;
    }
    QVERIFY(!handler.recordedNothing());
    QVERIFY(QFileInfo(QStringLiteral("capture/capture0.mkv")).size() <= limit);
    // The file ends at its last whole cluster, and the summary says what it holds.
    const DecodedVideo video = decodeVideo(QStringLiteral("capture/capture0.mkv"));
    QVERIFY2(video.opened && video.error.isEmpty(), qPrintable(video.error));
    QVERIFY(int(video.frames.size()) >= minimumFrames);
    QVERIFY(video.frames.size() < run.frames.size());
    for (size_t i = 0; i < video.frames.size(); ++i)
        QVERIFY(psnr(video.frames[i], run.frames[i]) >= 30.0); // the frames it holds are whole
    const QString seconds = QString::number(double(video.timesMs.back() + 1000 / 30) / 1000.0, 'f', 2);
    QVERIFY2(lines.last().startsWith(QStringLiteral("Recorded ./capture/capture0.mkv: %1 frames, %2 s, ")
                                         .arg(video.frames.size())
                                         .arg(seconds)),
             qPrintable(lines.last()));
}

void tst_VideoFile::exportsExactlyTheMarkedRange_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("last");

    QTest::newRow("a range in the middle") << 3 << 7;
    QTest::newRow("one frame") << 5 << 5;
    QTest::newRow("marks given in reverse") << 9 << 6;
    QTest::newRow("every frame") << 0 << 11;
}

void tst_VideoFile::exportsExactlyTheMarkedRange()
{
    QFETCH(int, first);
    QFETCH(int, last);
    FrameHistory history(6, -1, m_dir->path());
    std::vector<qint64> times;
    QImage previous;
    for (int i = 0; i < 12; ++i) {
        const QImage frame = screenLikeFrame(QSize(240, 160), i);
        while (!history.hasRoom())
            history.waitUntilStored();
        times.push_back(1000 + i * 40 + (i == 8 ? 300 : 0) + (i > 8 ? 300 : 0)); // frame 8 came late
        history.append(frame, BandMap::compare(frame, previous), {}, times.back());
        previous = frame;
    }
    history.waitUntilStored();
    std::vector<QImage> stored;
    for (int i = 0; i < 12; ++i)
        stored.push_back(history.frame(i));

    std::string error;
    const qint64 written = exportVideo(history, first, last, QStringLiteral("range.mkv"), VideoSettings(), error);
    QVERIFY2(written >= 0, error.c_str());
    const int from = std::min(first, last);
    const int to = std::max(first, last);
    QCOMPARE(written, qint64(to - from + 1));

    const DecodedVideo video = decodeVideo(QStringLiteral("range.mkv"));
    QVERIFY2(video.opened && video.error.isEmpty(), qPrintable(video.error));
    QCOMPARE(int(video.frames.size()), to - from + 1);
    for (int i = from; i <= to; ++i) {
        const size_t k = size_t(i - from);
        QCOMPARE(video.timesMs[k], times[size_t(i)] - times[size_t(from)]);
        QVERIFY(psnr(video.frames[k], stored[size_t(i)]) >= 35.0);
        QCOMPARE(bestMatch(video.frames[k], stored), i);
    }
}

void tst_VideoFile::publishesToARelayThatComesAndGoes()
{
    if (!QFile::exists(QStringLiteral("/usr/lib/nginx/modules/ngx_rtmp_module.so"))
        || QStandardPaths::findExecutable(QStringLiteral("nginx")).isEmpty()
        || QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty())
        QSKIP("needs nginx with libnginx-mod-rtmp and ffmpeg (scripts/install-deps.sh)");
    QTemporaryDir relayDir;
    Relay relay(relayDir.path());
    const quint16 port = freePort();
    QVERIFY(relay.start(port));
    const QString url = QStringLiteral("rtmp://127.0.0.1:%1/live/test").arg(port);

    // A player: takes ten frames from the relay and ends with status 0.
    const auto startPlayer = [&url] {
        auto player = std::make_unique<QProcess>();
        player->start(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), url,
                                                 QStringLiteral("-frames:v"), QStringLiteral("10"), QStringLiteral("-f"),
                                                 QStringLiteral("null"), QStringLiteral("-")});
        return player;
    };

    CoutCapture console;
    VideoFileHandler handler(QStringLiteral("./capture/capture"), VideoSettings());
    handler.setPublishUrl(url);
    handler.startHandling(nullptr);
    // The recorder's clock: a frame every 33 ms whenever the handler has room, and a count of
    // the ticks it had none.
    int frames = 0;
    int skipped = 0;
    QImage previous;
    QTimer clock;
    QElapsedTimer elapsed;
    elapsed.start();
    connect(&clock, &QTimer::timeout, this, [&] {
        if (!handler.hasRoom()) {
            ++skipped;
            return;
        }
        CapturedFrame frame;
        frame.image = screenLikeFrame(QSize(320, 240), frames);
        frame.changes = BandMap::compare(frame.image, previous);
        frame.number = frames++;
        frame.grabTimeMs = elapsed.elapsed();
        previous = frame.image;
        handler.handleFrame(frame);
    });
    clock.start(33);

    QTRY_VERIFY_WITH_TIMEOUT(handler.publisher()->isConnected(), 10000);
    auto player = startPlayer();
    QTRY_VERIFY_WITH_TIMEOUT(player->state() == QProcess::NotRunning, 15000);
    QCOMPARE(player->exitCode(), 0);

    relay.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!handler.publisher()->isConnected(), 10000);
    const int framesWhenLost = frames;
    QTRY_VERIFY_WITH_TIMEOUT(frames >= framesWhenLost + 30, 5000); // the capture goes on
    QVERIFY(relay.start(port));
    QTRY_VERIFY_WITH_TIMEOUT(handler.publisher()->isConnected(), 10000);
    player = startPlayer();
    QTRY_VERIFY_WITH_TIMEOUT(player->state() == QProcess::NotRunning, 15000);
    QCOMPARE(player->exitCode(), 0);
    clock.stop();
    handler.stopHandling();
    QCoreApplication::processEvents(); // the publisher's lines

    // A relay that went away never held up the capture: a stalled one would have cost every tick
    // of its time-out; a busy machine may cost a few.
    QVERIFY2(skipped <= frames / 10, qPrintable(QStringLiteral("%1 ticks skipped, %2 frames").arg(skipped).arg(frames)));
    const QStringList lines = console.lines();
    QCOMPARE(lines.filter(QStringLiteral("Publishing to ") + url).size(), 2);
    QCOMPARE(lines.filter(QStringLiteral("Lost the relay ") + url).size()
                 + lines.filter(QStringLiteral("Relay ") + url + QStringLiteral(" not reachable")).size(),
             1);
    // The file has every frame.
    QCOMPARE(int(decodeVideo(QStringLiteral("capture/capture0.mkv")).frames.size()), frames);
}

QTEST_GUILESS_MAIN(tst_VideoFile)
#include "tst_videofile.moc"
