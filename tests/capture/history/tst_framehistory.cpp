#include "framehistory.h"
#include "bandedjpeg.h"
#include "jpegcodec.h"
#include "testsupport.h"

#include <QPainter>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <cstring>
#include <memory>
#include <csignal>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Screen content: dense black text on white, the hardest case for a lossy store.
QImage textImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font = painter.font();
    font.setPixelSize(11);
    painter.setFont(font);
    for (int y = 12; y < height; y += 13)
        painter.drawText(2, y, QStringLiteral("The quick brown fox jumps over the lazy dog 0123456789 ").repeated(4));
    return image;
}

// The pixels of `frame` saved as the capture's files are (quality 75, 4:2:0) and read back: what
// the history must show for it.
QImage asFile(const QImage &frame)
{
    return decodeJpeg(encodeJpeg(frame, 75, ChromaSubsampling::Half));
}

// Appends as the recorder does: the change map against the frame before, and only with room.
int feed(FrameHistory &history, QImage &previous, const QImage &frame)
{
    if (!history.hasRoom())
        history.waitUntilStored();
    const int index = history.append(frame, BandMap::compare(frame, previous));
    previous = frame;
    return index;
}

// `frame` with a rectangle of other content.
QImage withPatch(const QImage &frame, const QRect &rect, int seed)
{
    QImage out = frame.copy();
    QPainter painter(&out);
    painter.drawImage(rect.topLeft(), photoLikeImage(rect.width(), rect.height(), seed));
    return out;
}

// One 16-row band of `band` repeated down a frame.
QImage tiled(const QImage &band, int height)
{
    QImage out(band.width(), height, QImage::Format_RGB32);
    QPainter painter(&out);
    for (int y = 0; y < height; y += 16)
        painter.drawImage(0, y, band, 0, 0, band.width(), 16);
    return out;
}

// Bytes of disk that this process's open history files in `folder` take (they are unlinked, so
// only their descriptors find them).
qint64 historyDiskUse(const QString &folder)
{
    qint64 bytes = 0;
    const QString prefix = folder + QStringLiteral("/deskcast-history-");
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &name : fds.entryList(QDir::Files | QDir::System)) {
        const QString target = QFile::symLinkTarget(fds.filePath(name));
        struct stat info {};
        if (target.startsWith(prefix) && ::fstat(name.toInt(), &info) == 0)
            bytes += qint64(info.st_blocks) * 512;
    }
    return bytes;
}

} // namespace

class tst_FrameHistory : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void keepsFramesFaithfully_data();
    void keepsFramesFaithfully();
    void servesFramesWhileStillPending();
    void outOfRangeIndicesGiveNullImages();
    void nullFrameKeepsItsIndex();
    void frameWithoutRoomIsNotKeptAndOrderSurvives();
    void memoryStaysBoundedOverManyFrames();
    void indexMemoryPerFrameIsSmall_data();
    void indexMemoryPerFrameIsSmall();
    void storesEachBandOnceAndFramesFaithfully_data();
    void storesEachBandOnceAndFramesFaithfully();
    void fullFileSaysSoOnceAndKeepsEarlierFrames();
    void movingPicturesAreKeptAsVideo_data();
    void movingPicturesAreKeptAsVideo();
    void limitLetsTheOldestFramesGo_data();
    void limitLetsTheOldestFramesGo();
    void diskBudgetLeavesAReserveFree_data();
    void diskBudgetLeavesAReserveFree();
    void findsAFolderForItsFile_data();
    void findsAFolderForItsFile();
};

void tst_FrameHistory::keepsFramesFaithfully_data()
{
    QTest::addColumn<QImage>("frame");
    QTest::newRow("photo-like 1920x1080") << photoLikeImage(1920, 1080, 1);
    QTest::newRow("sharp-edged blocks 640x480") << patternImage(640, 480, 3);
    QTest::newRow("odd size 333x77") << patternImage(333, 77, 5);
    QTest::newRow("small text on white") << textImage(800, 600);
    QTest::newRow("one pixel") << patternImage(1, 1);
    QTest::newRow("very wide 4000x3") << photoLikeImage(4000, 3, 2);
    QTest::newRow("ARGB32 input") << photoLikeImage(320, 240, 4).convertToFormat(QImage::Format_ARGB32);
    QTest::newRow("RGB888 input is converted") << patternImage(101, 99).convertToFormat(QImage::Format_RGB888);
}

void tst_FrameHistory::keepsFramesFaithfully()
{
    QFETCH(QImage, frame);
    FrameHistory history;
    QImage previous;
    QCOMPARE(feed(history, previous, frame), 0);
    history.waitUntilStored();
    const QImage kept = history.frame(0);
    QCOMPARE(kept.size(), frame.size());
    // What is kept must look like the saved file of what was captured.
    QCOMPARE(maxChannelDifference(kept, asFile(frame)), 0);
    QVERIFY(!history.isFull());
    QVERIFY(history.storedBytes() > 0);
}

void tst_FrameHistory::servesFramesWhileStillPending()
{
    FrameHistory history(64);
    QList<QImage> frames;
    QImage previous;
    for (int i = 0; i < 20; ++i) {
        frames << patternImage(64, 48, i);
        QCOMPARE(feed(history, previous, frames.constLast()), i);
        // Readable at once, whether the worker has got to it or not.
        const QImage kept = history.frame(i);
        QVERIFY(maxChannelDifference(kept, frames.constLast()) == 0 || maxChannelDifference(kept, asFile(frames.constLast())) == 0);
    }
    QCOMPARE(history.size(), 20);
}

void tst_FrameHistory::outOfRangeIndicesGiveNullImages()
{
    FrameHistory history;
    QVERIFY(history.frame(0).isNull());
    QImage previous;
    feed(history, previous, patternImage(8, 8));
    history.waitUntilStored();
    QVERIFY(history.frame(-1).isNull());
    QVERIFY(history.frame(1).isNull());
    QVERIFY(history.frame(std::numeric_limits<int>::max()).isNull());
    QVERIFY(!history.frame(0).isNull());
}

void tst_FrameHistory::nullFrameKeepsItsIndex()
{
    FrameHistory history;
    QImage previous;
    feed(history, previous, patternImage(10, 10, 1));
    feed(history, previous, QImage());
    feed(history, previous, patternImage(10, 10, 2));
    history.waitUntilStored();
    QCOMPARE(history.size(), 3);
    QVERIFY(history.frame(1).isNull());
    QCOMPARE(maxChannelDifference(history.frame(2), asFile(patternImage(10, 10, 2))), 0);
}

void tst_FrameHistory::frameWithoutRoomIsNotKeptAndOrderSurvives()
{
    // Two frames may wait; no event loop runs between the appends, so the third finds no room.
    FrameHistory history(2);
    history.setMovingAsVideo(false); // compared with the saved files to the bit
    QImage previous;
    for (int i = 0; i < 3; ++i)
        QCOMPARE(history.append(patternImage(96, 64, i), BandMap::compare(patternImage(96, 64, i), previous)), i);
    QVERIFY(!history.hasRoom());
    previous = QImage(); // the refused frame is no base for the next one
    const int count = 40;
    for (int i = 3; i < count; ++i)
        QCOMPARE(feed(history, previous, patternImage(96, 64, i * 16)), i);
    history.waitUntilStored();
    QCOMPARE(history.size(), count);
    QVERIFY(history.frame(2).isNull());
    for (int i = 0; i < count; ++i) {
        if (i == 2)
            continue;
        const QImage original = patternImage(96, 64, i < 3 ? i : i * 16);
        QVERIFY2(maxChannelDifference(history.frame(i), asFile(original)) == 0, qPrintable(QString::number(i)));
    }
}

void tst_FrameHistory::memoryStaysBoundedOverManyFrames()
{
#if defined(__SANITIZE_THREAD__)
    QSKIP("the thread sanitizer's shadow memory makes the resident size meaningless");
#endif
    // 120 full-HD frames are 1 GB raw; the history must keep them out of memory.
    const QImage base = photoLikeImage(1920, 1080, 9);
    FrameHistory history;
    history.setMovingAsVideo(false); // compared with the saved files to the bit
    QImage previous;
    feed(history, previous, base);
    history.waitUntilStored();
    const qint64 before = residentBytes();
    QList<QImage> contents;
    for (int i = 0; i < 3; ++i)
        contents << photoLikeImage(1920, 1080, 10 + i);
    for (int i = 1; i < 120; ++i) {
        QImage frame = contents[i % 3].copy(); // every band changes each time

        frame.setPixel(i % 1920, 0, qRgb(i % 256, 0, 0));
        feed(history, previous, frame);
    }
    history.waitUntilStored();
    const qint64 growth = residentBytes() - before;
    QVERIFY2(growth < 150 * 1024 * 1024, qPrintable(QStringLiteral("grew by %1 MB").arg(growth >> 20)));
    QVERIFY(!history.isFull());
    QCOMPARE(history.size(), 120);
    QImage expected = contents[61 % 3].copy();
    expected.setPixel(61, 0, qRgb(61, 0, 0));
    QCOMPARE(maxChannelDifference(history.frame(61), asFile(expected)), 0);
}

void tst_FrameHistory::indexMemoryPerFrameIsSmall_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("maxListBytes"); // file bytes a frame for its list of bands
    QTest::newRow("still screen") << "still" << 200 << 0;
    QTest::newRow("blinking cursor") << "cursor" << 100 << 2; // its two lists, stored once
    QTest::newRow("video in a window") << "video" << 30 << 300; // its seven bands, not all 30
    QTest::newRow("every band new each frame") << "moving" << 30 << 1024;
}

// What the history keeps in memory per frame, counted by its own accessor: a day at 30 fps is
// 2.6 million frames, so a few bytes a frame, whatever the content and size (a list of
// references per frame in memory takes hundreds of bytes here, kilobytes at full HD).
void tst_FrameHistory::indexMemoryPerFrameIsSmall()
{
    QFETCH(QString, content);
    QFETCH(int, frames);
    QFETCH(int, maxListBytes);
    const QImage scene = photoLikeImage(640 + 64, 480, 7);
    QImage blink = scene.copy(0, 0, 640, 480);
    QPainter(&blink).fillRect(300, 200, 2, 16, Qt::black);
    const auto frameAt = [&](int i) {
        if (content == "moving")
            return scene.copy(i % 64, 0, 640, 480); // scrolls: every band differs from all before
        if (content == "cursor" && i % 2 == 1)
            return blink;
        if (content == "video" && i > 0)
            return withPatch(scene.copy(0, 0, 640, 480), QRect(200, 100, 160, 90), i);
        return scene.copy(0, 0, 640, 480);
    };
    FrameHistory history;
    history.setMovingAsVideo(false); // compared with the saved files to the bit
    QImage previous;
    feed(history, previous, frameAt(0));
    history.waitUntilStored();
    const qint64 before = history.indexBytes();
    const qint64 listsBefore = history.fileBytes() - history.storedBytes();
    for (int i = 1; i <= frames; ++i) {
        if (!history.hasRoom())
            history.waitUntilStored();
        feed(history, previous, frameAt(i));
    }
    history.waitUntilStored();
    QCOMPARE(history.size(), frames + 1);
    const double perFrame = double(history.indexBytes() - before) / frames;
    QVERIFY2(perFrame <= 32, qPrintable(QStringLiteral("%1 bytes a frame").arg(perFrame)));
    const double listBytes = double(history.fileBytes() - history.storedBytes() - listsBefore) / frames;
    QVERIFY2(listBytes <= maxListBytes, qPrintable(QStringLiteral("lists take %1 bytes a frame").arg(listBytes)));
    // Paging back is still exact.
    QCOMPARE(maxChannelDifference(history.frame(frames - 1), asFile(frameAt(frames - 1))), 0);
}

void tst_FrameHistory::storesEachBandOnceAndFramesFaithfully_data()
{
    QTest::addColumn<QList<QImage>>("frames");
    QTest::addColumn<int>("from");        // the frames from here on
    QTest::addColumn<double>("maxBands"); // may cost at most this many bands of the first frame
    const QImage p = photoLikeImage(640, 480, 1);
    const QImage q = photoLikeImage(640, 480, 2);
    QImage dot = p.copy();
    dot.setPixel(639, 479, qRgb(255, 0, 0));
    const QImage text = textImage(800, 600);
    QImage cursor = text.copy();
    QPainter(&cursor).fillRect(400, 300, 2, 12, Qt::black);
    QTest::newRow("still screen costs nothing") << QList<QImage>{p, p.copy(), p.copy(), p.copy()} << 1 << 0.0;
    QTest::newRow("old frame comes back after another") << QList<QImage>{p, q, p.copy(), q.copy()} << 2 << 0.0;
    QTest::newRow("one pixel changes, then back") << QList<QImage>{p, dot, p.copy()} << 1 << 0.5;
    QTest::newRow("blinking cursor") << QList<QImage>{text, cursor, text.copy(), cursor.copy(), text.copy()} << 2 << 0.0;
    QTest::newRow("bands alike inside one frame") << QList<QImage>{p, tiled(q, 480)} << 1 << 1.0;
    QList<QImage> video{p};
    for (int i = 0; i < 6; ++i)
        video << withPatch(p, QRect(200 + i, 100, 160, 90), i); // columns of a few bands change
    QTest::newRow("video in a window") << video << 1 << 1e9;
    QTest::newRow("new size, then null, then back") << QList<QImage>{p, q.scaled(333, 77), QImage(), p.copy()} << 3 << 0.0;
}

void tst_FrameHistory::storesEachBandOnceAndFramesFaithfully()
{
    QFETCH(QList<QImage>, frames);
    QFETCH(int, from);
    QFETCH(double, maxBands);
    FrameHistory history;
    history.setMovingAsVideo(false); // compared with the saved files to the bit
    QImage previous;
    for (int i = 0; i < frames.size(); ++i) {
        if (i == from)
            history.waitUntilStored();
        feed(history, previous, frames[i]);
    }
    history.waitUntilStored();
    const qint64 before = [&] {
        FrameHistory part;
        QImage last;
        for (int i = 0; i < from; ++i)
            feed(part, last, frames[i]);
        part.waitUntilStored();
        return part.storedBytes();
    }();
    const qint64 oneBand = encodeJpeg(frames[0].copy(0, 0, frames[0].width(), 16), 75, ChromaSubsampling::Half).size();
    const qint64 growth = history.storedBytes() - before;
    QVERIFY2(growth <= maxBands * oneBand,
             qPrintable(QStringLiteral("grew by %1 bytes, a band is %2").arg(growth).arg(oneBand)));
    for (int i = 0; i < frames.size(); ++i) {
        const QImage kept = history.frame(i);
        QCOMPARE(kept.isNull(), frames[i].isNull());
        if (!kept.isNull())
            QVERIFY2(maxChannelDifference(kept, asFile(frames[i])) == 0, qPrintable(QStringLiteral("frame %1").arg(i)));
    }
    // Decoded small for the preview, the last frame still looks like itself.
    const QImage &last = frames.constLast();
    const QImage small = history.frame(int(frames.size()) - 1, last.size() / 4);
    QVERIFY(small.width() >= last.width() / 4 && small.height() >= last.height() / 4 && small.width() < last.width());
    QVERIFY(psnr(small, last.scaled(small.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)) > 25);
}

void tst_FrameHistory::fullFileSaysSoOnceAndKeepsEarlierFrames()
{
    // A file size limit makes the history's file refuse to grow, as a full disk would.
    rlimit old{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &old) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = 400 * 1024;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
    CoutCapture console;
    FrameHistory history;
    history.setMovingAsVideo(false); // compared with the saved files to the bit
    QImage previous;
    QList<QImage> frames;
    for (int i = 0; i < 40; ++i) {
        frames << photoLikeImage(640, 480, i);
        feed(history, previous, frames.constLast());
    }
    feed(history, previous, frames[0].copy()); // repeats what is stored: kept even now
    history.waitUntilStored();
    QVERIFY(setrlimit(RLIMIT_FSIZE, &old) == 0);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(history.isFull());
    QCOMPARE(console.lines().filter(QStringLiteral("History file full")).size(), 1);
    QVERIFY(history.storedBytes() <= qint64(limited.rlim_cur));
    QCOMPARE(history.size(), 41);
    int kept = 0;
    for (int i = 0; i < 40; ++i) {
        const QImage image = history.frame(i);
        if (image.isNull())
            break; // frames after the first refused one are not kept, not held in memory either
        QCOMPARE(maxChannelDifference(image, asFile(frames[i])), 0);
        ++kept;
    }
    QVERIFY(kept > 0 && kept < 40);
    for (int i = kept; i < 40; ++i)
        QVERIFY(history.frame(i).isNull());
    QCOMPARE(maxChannelDifference(history.frame(40), asFile(frames[0])), 0);
}

void tst_FrameHistory::movingPicturesAreKeptAsVideo_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("moving"); // the part that pans, over text
    QTest::addColumn<int>("frames");   // panning, then as many still
    QTest::addColumn<qint64>("limit");
    QTest::newRow("a film, then a still screen") << QSize(320, 180) << QRect(0, 0, 320, 180) << 64 << qint64(0);
    QTest::newRow("odd size") << QSize(321, 241) << QRect(0, 0, 321, 241) << 64 << qint64(0);
    QTest::newRow("segments let go") << QSize(320, 180) << QRect(0, 0, 320, 180) << 300 << qint64(300'000);
    QTest::newRow("a small video on a desktop") << QSize(640, 480) << QRect(200, 100, 160, 96) << 64 << qint64(0);
}

void tst_FrameHistory::movingPicturesAreKeptAsVideo()
{
    QFETCH(QSize, size);
    QFETCH(QRect, moving);
    QFETCH(int, frames);
    QFETCH(qint64, limit);
    const QImage desktop = textImage(size.width(), size.height());
    const QImage film = photoLikeImage(moving.width() + 2 * frames, moving.height(), 5);
    std::vector<QImage> originals;
    for (int i = 0; i < 2 * frames; ++i) {
        QImage frame = desktop.copy();
        QPainter(&frame).drawImage(moving.topLeft(), film.copy(std::min(i, frames) * 2, 0, moving.width(), moving.height()));
        originals.push_back(frame);
    }
    FrameHistory history;
    FrameHistory bands;
    bands.setMovingAsVideo(false);
    if (limit > 0)
        history.setLimit(limit);
    QImage previous;
    QImage previousBand;
    for (const QImage &frame : originals) {
        feed(history, previous, frame);
        if (limit == 0)
            feed(bands, previousBand, frame);
    }
    history.waitUntilStored();
    bands.waitUntilStored();

    const bool film_ = moving.size() == size;
    if (!film_) {
        QCOMPARE(history.videoFrames(), 0); // a small part moving stays in bands
        return;
    }
    QVERIFY2(history.videoFrames() >= frames - FrameHistory::MovingFrames,
             qPrintable(QString::number(history.videoFrames())));
    if (limit == 0) {
        QVERIFY2(history.storedBytes() * 2 < bands.storedBytes(),
                 qPrintable(QStringLiteral("%1 against %2 in bands").arg(history.storedBytes()).arg(bands.storedBytes())));
        // A still screen goes back to bands within two groups.
        QVERIFY(history.videoFrames() <= frames + 2 * FrameHistory::GroupFrames);
        QCOMPARE(maxChannelDifference(history.frame(int(originals.size()) - 1), asFile(originals.back())), 0);
    } else {
        QVERIFY(history.firstKept() > 0);
        QVERIFY(history.diskBytes() <= limit + std::max<qint64>(256 * 1024, limit / 16));
    }
    // Every kept frame is the picture, and reads the same in any order (the decoder goes on from
    // where it stopped only within a group).
    const int first = history.firstKept();
    const int count = history.size();
    std::vector<QImage> inOrder(static_cast<size_t>(count));
    for (int i = first; i < count; ++i) {
        inOrder[size_t(i)] = history.frame(i);
        QCOMPARE(inOrder[size_t(i)].size(), size);
        const double quality = psnr(inOrder[size_t(i)], originals[size_t(i)]);
        QVERIFY2(quality > 30, qPrintable(QStringLiteral("frame %1: %2 dB").arg(i).arg(quality)));
    }
    for (int step = 0; step < 60; ++step) {
        const int i = first + int((quint64(step) * 7919) % quint64(count - first));
        QCOMPARE(maxChannelDifference(history.frame(i), inOrder[size_t(i)]), 0);
    }
    // Shrunk for the preview as the bands are.
    const int middle = (first + count) / 2;
    const QSize shown = history.frame(middle, size / 4).size();
    if (limit == 0)
        QCOMPARE(shown, bands.frame(middle, size / 4).size());
    QVERIFY(shown.width() >= size.width() / 4 && shown.width() < size.width());
}

void tst_FrameHistory::limitLetsTheOldestFramesGo_data()
{
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("moving"); // the part that changes every frame, the rest text
    QTest::addColumn<qint64>("disk");  // the size of the disk it is on (0: the test's folder)
    QTest::newRow("2M, all of it moving") << qint64(2'000'000) << QSize(320, 240) << QRect(0, 0, 320, 240) << qint64(0);
    QTest::newRow("5M, a video on a desktop") << qint64(5'000'000) << QSize(640, 480) << QRect(200, 100, 320, 180)
                                              << qint64(0);
    // Others fill the disk before the limit is looked at again: the oldest go all the same.
    QTest::newRow("8M on a 1M disk") << qint64(8'000'000) << QSize(320, 240) << QRect(0, 0, 320, 240)
                                     << qint64(1'000'000);
}

void tst_FrameHistory::limitLetsTheOldestFramesGo()
{
    QFETCH(qint64, limit);
    QFETCH(QSize, size);
    QFETCH(QRect, moving);
    QFETCH(qint64, disk);
    QTemporaryDir own;
    QVERIFY(own.isValid());
    struct Unmount
    {
        QByteArray path;
        ~Unmount()
        {
            if (!path.isEmpty())
                ::umount2(path.constData(), MNT_DETACH);
        }
    } unmount;
    if (disk > 0) {
        const QByteArray path = QFile::encodeName(own.path());
        if (::mount("deskcast-test", path.constData(), "tmpfs", 0, ("size=" + QByteArray::number(disk)).constData()) != 0)
            QSKIP("a small disk is a tmpfs mount, which needs CAP_SYS_ADMIN");
        unmount.path = path;
    }
    CoutCapture console;
    FrameHistory history(6, -1, own.path());
    history.setMovingAsVideo(false); // compared with the saved files to the bit
    history.setLimit(limit);
    const qint64 segment = std::max<qint64>(256 * 1024, limit / 16);
    const QImage desktop = textImage(size.width(), size.height());
    QImage previous;
    std::vector<QImage> frames;
    qint64 mostOnDisk = 0;
    // Three times the limit (or the disk) written: segments go again and again.
    const qint64 room = disk > 0 ? disk : limit;
    for (int i = 0; history.fileBytes() < 3 * room; ++i) {
        QVERIFY2(i < 5000, "the frames are too small to fill the limit");
        frames.push_back(withPatch(desktop, moving, i));
        feed(history, previous, frames.back());
        if (i % 8 == 0) {
            history.waitUntilStored();
            mostOnDisk = std::max(mostOnDisk, historyDiskUse(own.path()));
            QVERIFY2(history.diskBytes() <= limit + segment, qPrintable(QString::number(history.diskBytes())));
        }
    }
    history.waitUntilStored();
    mostOnDisk = std::max(mostOnDisk, historyDiskUse(own.path()));
    // What the files take on the disk, not what the history counts: the segments let go are gone.
    QVERIFY2(mostOnDisk <= room + segment + 64 * 1024, qPrintable(QString::number(mostOnDisk)));
    QVERIFY(history.diskBytes() >= (disk > 0 ? 1 : limit - 2 * segment)); // and it keeps what it may
    QVERIFY(!history.isFull());

    const int kept = history.firstKept();
    QVERIFY(kept > 0);
    QVERIFY(history.reachedLimit() > 0);
    QVERIFY(history.frame(0).isNull());
    QVERIFY(history.frame(kept - 1).isNull());
    for (const int index : {kept, (kept + history.size()) / 2, history.size() - 1})
        QCOMPARE(maxChannelDifference(history.frame(index), asFile(frames[size_t(index)])), 0);
    QStringList said;
    for (const QString &line : console.lines()) {
        if (line.startsWith(QStringLiteral("History reached its limit"))
            || line.startsWith(QStringLiteral("History's disk is full")))
            said << line;
    }
    QCOMPARE(said.size(), 1);
    QVERIFY2(said[0].contains(disk > 0 ? QStringLiteral("disk is full") : QStringLiteral("--history-limit")),
             qPrintable(said[0]));
}

void tst_FrameHistory::diskBudgetLeavesAReserveFree_data()
{
    constexpr qint64 G = 1'000'000'000;
    QTest::addColumn<qint64>("disk");
    QTest::addColumn<qint64>("free");
    QTest::addColumn<qint64>("history"); // what the history holds of the disk already
    QTest::addColumn<qint64>("budget");
    QTest::newRow("a tenth of a large disk stays free") << 500 * G << 100 * G << 0 * G << 50 * G;
    QTest::newRow("5 GB of a small disk stay free") << 20 * G << 15 * G << 0 * G << 10 * G;
    QTest::newRow("its own bytes count as its own") << 1000 * G << 80 * G << 30 * G << 10 * G;
    QTest::newRow("a disk fuller than the reserve: nothing") << 8 * G << 4 * G << 0 * G << 0 * G;
    QTest::newRow("others filled it while it ran") << 300 * G << 20 * G << 5 * G << 0 * G;
}

void tst_FrameHistory::diskBudgetLeavesAReserveFree()
{
    QFETCH(qint64, disk);
    QFETCH(qint64, free);
    QFETCH(qint64, history);
    QFETCH(qint64, budget);
    QCOMPARE(FrameHistory::diskBudget(disk, free, history), budget);
}

void tst_FrameHistory::findsAFolderForItsFile_data()
{
    // "%1" stands for an existing folder of the test's own.
    QTest::addColumn<QString>("tmpdir");    // $TMPDIR, empty: unset
    QTest::addColumn<QString>("directory"); // the history's own folder argument
    QTest::addColumn<QString>("folder");    // where its file must be made
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("TMPDIR names an existing folder") << QStringLiteral("%1") << QString() << QStringLiteral("%1")
                                                     << QStringList();
    QTest::newRow("TMPDIR names a missing folder")
        << QStringLiteral("%1/missing") << QString() << QStringLiteral("/tmp")
        << QStringList{QStringLiteral("History folder %1/missing cannot be used (No such file or directory): using /tmp instead")};
    QTest::newRow("TMPDIR names a file")
        << QStringLiteral("%1/file") << QString() << QStringLiteral("/tmp")
        << QStringList{QStringLiteral("History folder %1/file cannot be used (Not a directory): using /tmp instead")};
    QTest::newRow("the given folder is missing")
        << QString() << QStringLiteral("%1/gone") << QStringLiteral("/tmp")
        << QStringList{QStringLiteral("History folder %1/gone cannot be used (No such file or directory): using /tmp instead")};
}

void tst_FrameHistory::findsAFolderForItsFile()
{
    QFETCH(QString, tmpdir);
    QFETCH(QString, directory);
    QFETCH(QString, folder);
    QFETCH(QStringList, lines);
    QTemporaryDir own;
    QVERIFY(own.isValid());
    QFile file(own.path() + QStringLiteral("/file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray savedTmpdir = qgetenv("TMPDIR");
    const bool hadTmpdir = qEnvironmentVariableIsSet("TMPDIR");
    if (tmpdir.isEmpty())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", QFile::encodeName(tmpdir.arg(own.path())));
    CoutCapture console;
    auto history = std::make_unique<FrameHistory>(6, -1, directory.isEmpty() ? directory : directory.arg(own.path()));
    if (hadTmpdir)
        qputenv("TMPDIR", savedTmpdir);
    else
        qunsetenv("TMPDIR");

    QCOMPARE(history->folder(), folder.arg(own.path()));
    for (QString &line : lines)
        line = line.arg(own.path());
    QCOMPARE(console.lines(), lines);
    // The file works: a frame is stored and reads back.
    QImage previous;
    const QImage frame = patternImage(64, 32, 7);
    feed(*history, previous, frame);
    history->waitUntilStored();
    QVERIFY(!history->isFull());
    QCOMPARE(maxChannelDifference(history->frame(0), asFile(frame)), 0);
}

QTEST_MAIN(tst_FrameHistory)
#include "tst_framehistory.moc"
