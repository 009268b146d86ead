#include "simpleimagesaver.h"

#include "frameconsole.h"
#include "framehistory.h"
#include "jpegbandscoder.h"
#include "jpegcodec.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

class tst_SimpleImageSaver : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void fileNames_data();
    void fileNames();
    void numbersFramesAndPrintsLines();
    void secondRunContinuesNumbering();
    void continuesAfterExistingFiles_data();
    void continuesAfterExistingFiles();
    void neverOverwritesAFileThatAppearsMeanwhile_data();
    void neverOverwritesAFileThatAppearsMeanwhile();
    void usedUpNumbersGiveOneLine_data();
    void usedUpNumbersGiveOneLine();
    void failedSaveReportsAndKeepsTheNumber();
    void failedWriteSaysWhy_data();
    void failedWriteSaysWhy();
    void createsMissingFolder();
    void fullDiskLosesNoNumberAndLeavesNoTruncatedFile();
    void stopWritesAndPrintsNothing();
    void stopReturnsWhenEveryFrameIsWrittenInOrder();
    void filesHoldEachFrameWhateverItsBandMap_data();
    void filesHoldEachFrameWhateverItsBandMap();
    void historyReadsBackEachFrameAsItsFile_data();
    void historyReadsBackEachFrameAsItsFile();

private:
    [[nodiscard]] QString prefix() const { return m_dir->path() + QStringLiteral("/capture/pic"); }
    static void touch(const QString &path, const QByteArray &content = "x")
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    const QPixmap m_frame = QPixmap::fromImage(patternImage(64, 48));
};

void tst_SimpleImageSaver::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_SimpleImageSaver::fileNames_data()
{
    QTest::addColumn<qint64>("number");
    QTest::addColumn<QString>("name");
    QTest::newRow("first file") << qint64(0) << QStringLiteral("./capture/pic0.jpg");
    QTest::newRow("no padding at 9") << qint64(9) << QStringLiteral("./capture/pic9.jpg");
    QTest::newRow("no padding at 10") << qint64(10) << QStringLiteral("./capture/pic10.jpg");
    QTest::newRow("large number") << qint64(123456) << QStringLiteral("./capture/pic123456.jpg");
    QTest::newRow("beyond 32 bits") << qint64(12345678901) << QStringLiteral("./capture/pic12345678901.jpg");
}

void tst_SimpleImageSaver::fileNames()
{
    QFETCH(qint64, number);
    QFETCH(QString, name);
    QCOMPARE(imageFileName(QStringLiteral("./capture/pic"), number, QStringLiteral("jpg")), name);
}

void tst_SimpleImageSaver::numbersFramesAndPrintsLines()
{
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    CoutCapture out;
    saver.startHandling(nullptr);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(saver.handleImage(m_frame), 0);
    saver.waitUntilWritten();
    QCOMPARE(out.lines(), (QStringList{QStringLiteral("Capturing images to memory...0"),
                                       QStringLiteral("Writing: ") + prefix() + QStringLiteral("0.jpg"),
                                       QStringLiteral("Writing: ") + prefix() + QStringLiteral("1.jpg"),
                                       QStringLiteral("Writing: ") + prefix() + QStringLiteral("2.jpg")}));
    for (int i = 0; i < 3; ++i) {
        QImageReader reader(prefix() + QString::number(i) + QStringLiteral(".jpg"));
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        const QImage image = reader.read();
        QCOMPARE(image.size(), QSize(64, 48));
        QVERIFY(psnr(image, m_frame.toImage()) > 30);
    }
}

void tst_SimpleImageSaver::secondRunContinuesNumbering()
{
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    saver.startHandling(nullptr);
    for (int i = 0; i < 10; ++i)
        saver.handleImage(m_frame);
    saver.stopHandling();
    CoutCapture out;
    saver.startHandling(nullptr);
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    QCOMPARE(out.lines(), (QStringList{QStringLiteral("Capturing images to memory...10"),
                                       QStringLiteral("Writing: ") + prefix() + QStringLiteral("10.jpg")}));
}

void tst_SimpleImageSaver::continuesAfterExistingFiles_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<qint64>("firstNumber");
    QTest::newRow("empty folder") << QStringList() << qint64(0);
    QTest::newRow("a gap does not get filled") << QStringList{QStringLiteral("pic0.jpg"), QStringLiteral("pic7.jpg")} << qint64(8);
    QTest::newRow("9 is followed by 10") << QStringList{QStringLiteral("pic9.jpg")} << qint64(10);
    QTest::newRow("ten-digit numbers are seen")
        << QStringList{QStringLiteral("pic999999999.jpg"), QStringLiteral("pic1000000000.jpg"),
                       QStringLiteral("pic1000000002.jpg")}
        << qint64(1000000003);
    QTest::newRow("nineteen-digit numbers are seen")
        << QStringList{QStringLiteral("pic5.jpg"), QStringLiteral("pic9223372036854775806.jpg")}
        << qint64(9223372036854775807);
    QTest::newRow("temporaries of a killed run are not ours")
        << QStringList{QStringLiteral("pic2.jpg"), QStringLiteral(".pic3.jpg.1a2b3c"), QStringLiteral(".pic40.jpg")}
        << qint64(3);
    QTest::newRow("other names are ignored")
        << QStringList{QStringLiteral("pic3.png"), QStringLiteral("picture5.jpg"), QStringLiteral("pic4.jpg.bak"),
                       QStringLiteral("pic-2.jpg"), QStringLiteral("xpic6.jpg"), QStringLiteral("pic1.jpg")}
        << qint64(2);
    QTest::newRow("padded numbers are not ours") << QStringList{QStringLiteral("pic007.jpg")} << qint64(0);
    QTest::newRow("a number too long for the counter is not ours")
        << QStringList{QStringLiteral("pic12345678901234567890.jpg"), QStringLiteral("pic4.jpg")} << qint64(5);
    QTest::newRow("a number just past the counter is not ours")
        << QStringList{QStringLiteral("pic9223372036854775808.jpg")} << qint64(0);
}

void tst_SimpleImageSaver::continuesAfterExistingFiles()
{
    QFETCH(QStringList, existing);
    QFETCH(qint64, firstNumber);
    QVERIFY(QDir().mkpath(m_dir->path() + QStringLiteral("/capture")));
    for (const QString &name : std::as_const(existing))
        touch(m_dir->path() + QStringLiteral("/capture/") + name);

    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    CoutCapture out;
    saver.startHandling(nullptr);
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    QCOMPARE(out.lines().value(0), QStringLiteral("Capturing images to memory...%1").arg(firstNumber));
    QCOMPARE(out.lines().value(1), QStringLiteral("Writing: %1%2.jpg").arg(prefix()).arg(firstNumber));
    for (const QString &name : std::as_const(existing)) { // untouched
        QFile file(m_dir->path() + QStringLiteral("/capture/") + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("x"));
    }
}

void tst_SimpleImageSaver::neverOverwritesAFileThatAppearsMeanwhile_data()
{
    QTest::addColumn<QStringList>("existing"); // before the run
    QTest::addColumn<QStringList>("appearing"); // after the first frame; "/" at the end: a folder
    QTest::addColumn<qint64>("secondNumber");
    QTest::newRow("the next name is taken")
        << QStringList() << QStringList{QStringLiteral("pic1.jpg")} << qint64(2);
    QTest::newRow("folders bear the next numbers, unseen by the scan")
        << QStringList() << QStringList{QStringLiteral("pic1.jpg/"), QStringLiteral("pic2.jpg/")} << qint64(3);
    QTest::newRow("ten-digit names taken meanwhile")
        << QStringList{QStringLiteral("pic999999999.jpg")}
        << QStringList{QStringLiteral("pic1000000001.jpg"), QStringLiteral("pic1000000002.jpg")}
        << qint64(1000000003);
}

void tst_SimpleImageSaver::neverOverwritesAFileThatAppearsMeanwhile()
{
    QFETCH(QStringList, existing);
    QFETCH(QStringList, appearing);
    QFETCH(qint64, secondNumber);
    const QString folder = m_dir->path() + QStringLiteral("/capture/");
    QVERIFY(QDir().mkpath(folder));
    for (const QString &name : std::as_const(existing))
        touch(folder + name);
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    saver.startHandling(nullptr);
    const qint64 first = saver.nextFileNumber();
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    for (const QString &name : std::as_const(appearing)) { // another program took these numbers
        if (name.endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(folder + name));
        else
            touch(folder + name, "someone else's");
    }
    CoutCapture out;
    saver.handleImage(m_frame);
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    QCOMPARE(out.lines(), (QStringList{QStringLiteral("Writing: %1%2.jpg").arg(prefix()).arg(secondNumber),
                                       QStringLiteral("Writing: %1%2.jpg").arg(prefix()).arg(secondNumber + 1)}));
    QVERIFY(!QImageReader(prefix() + QString::number(first) + QStringLiteral(".jpg")).read().isNull());
    for (const QString &name : std::as_const(appearing)) {
        QFile other(folder + name);
        if (name.endsWith(QLatin1Char('/')))
            QVERIFY(QFileInfo(other).isDir());
        else
            QVERIFY(other.open(QIODevice::ReadOnly) && other.readAll() == "someone else's");
    }
}

void tst_SimpleImageSaver::usedUpNumbersGiveOneLine_data()
{
    QTest::addColumn<QString>("existing");
    QTest::addColumn<QStringList>("expected"); // lines of a start and three frames
    const QString last = QStringLiteral("9223372036854775807");
    QTest::newRow("the highest number is taken") << QStringLiteral("pic") + last + QStringLiteral(".jpg")
                                                  << QStringList{QStringLiteral("usedUp")};
    QTest::newRow("the last number is written, then none")
        << QStringLiteral("pic9223372036854775806.jpg")
        << QStringList{QStringLiteral("Capturing images to memory...") + last,
                       QStringLiteral("Writing: %1") + last + QStringLiteral(".jpg"), QStringLiteral("usedUp")};
}

void tst_SimpleImageSaver::usedUpNumbersGiveOneLine()
{
    QFETCH(QString, existing);
    QFETCH(QStringList, expected);
    const QString usedUp = QStringLiteral("No file number left after %1%2.jpg: no frame will be saved")
                               .arg(prefix(), QStringLiteral("9223372036854775807"));
    for (QString &line : expected)
        line = line == QLatin1String("usedUp") ? usedUp : line.replace(QLatin1String("%1"), prefix());
    QVERIFY(QDir().mkpath(m_dir->path() + QStringLiteral("/capture")));
    touch(m_dir->path() + QStringLiteral("/capture/") + existing);

    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    CoutCapture out;
    saver.startHandling(nullptr);
    for (int i = 0; i < 3; ++i)
        saver.handleImage(m_frame);
    saver.stopHandling();
    QCOMPARE(out.lines(), expected);
    QCOMPARE(saver.nextFileNumber(), NoFreeImageNumber);
    QCOMPARE(QDir(m_dir->path() + QStringLiteral("/capture")).entryList(QDir::Files | QDir::Hidden).size(),
             expected.size() == 1 ? 1 : 2);
}

void tst_SimpleImageSaver::failedSaveReportsAndKeepsTheNumber()
{
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    saver.startHandling(nullptr);
    saver.handleImage(m_frame); // pic0
    saver.waitUntilWritten();
    // Make the folder unusable in a way that holds even for root: a file where the folder was.
    const QString folder = m_dir->path() + QStringLiteral("/capture");
    QVERIFY(QDir(folder).removeRecursively());
    touch(folder);

    CoutCapture out;
    saver.handleImage(m_frame);
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    QCOMPARE(out.lines(), QStringList(2, QStringLiteral("Could not write: ") + prefix() + QStringLiteral("1.jpg: Not a directory")));
    QCOMPARE(saver.nextFileNumber(), 1);

    // Once the folder can be written again, the sequence goes on without a gap.
    QVERIFY(QFile::remove(folder));
    out.clear();
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    QCOMPARE(out.lines(), QStringList{QStringLiteral("Writing: ") + prefix() + QStringLiteral("1.jpg")});
    QVERIFY(!QImageReader(prefix() + QStringLiteral("1.jpg")).read().isNull());
}

void tst_SimpleImageSaver::fullDiskLosesNoNumberAndLeavesNoTruncatedFile()
{
    // A file size limit makes writes fail part-way, as a full disk does.
    const QPixmap big = QPixmap::fromImage(photoLikeImage(640, 480, 2));
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    saver.startHandling(nullptr);
    saver.handleImage(m_frame); // pic0, before the disk fills up
    saver.waitUntilWritten();

    rlimit previous{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = previous;
    small.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    CoutCapture out;
    for (int i = 0; i < 3; ++i)
        saver.handleImage(big);
    saver.waitUntilWritten();
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &previous), 0);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(out.lines(), QStringList(3, QStringLiteral("Could not write: ") + prefix() + QStringLiteral("1.jpg: File too large")));
    QVERIFY2(!QFile::exists(prefix() + QStringLiteral("1.jpg")), "a truncated image was left behind");

    // Space is back: writing resumes at the number that failed.
    out.clear();
    saver.handleImage(big);
    saver.waitUntilWritten();
    QCOMPARE(out.lines(), QStringList{QStringLiteral("Writing: ") + prefix() + QStringLiteral("1.jpg")});
    QCOMPARE(QImageReader(prefix() + QStringLiteral("1.jpg")).read().size(), QSize(640, 480));
    // No temporary is left behind either.
    QCOMPARE(QDir(m_dir->path() + QStringLiteral("/capture")).entryList(QDir::Files | QDir::Hidden),
             (QStringList{QStringLiteral("pic0.jpg"), QStringLiteral("pic1.jpg")}));
}

void tst_SimpleImageSaver::failedWriteSaysWhy_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("reason");
    QTest::newRow("./capture is a file") << QStringLiteral("file") << QStringLiteral("Not a directory");
    QTest::newRow("read-only folder") << QStringLiteral("read-only") << QStringLiteral("Permission denied");
    QTest::newRow("the frame does not fit (full disk)") << QStringLiteral("size limit")
                                                         << QStringLiteral("File too large");
}

void tst_SimpleImageSaver::failedWriteSaysWhy()
{
    QFETCH(QString, setup);
    QFETCH(QString, reason);
    const QString folder = m_dir->path() + QStringLiteral("/capture");
    if (setup == QLatin1String("file")) {
        touch(folder);
    } else {
        QVERIFY(QDir().mkpath(folder));
        if (setup == QLatin1String("read-only")) {
            if (::geteuid() == 0)
                QSKIP("root writes into read-only folders");
            QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        }
    }
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    saver.startHandling(nullptr);
    rlimit previous{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (setup == QLatin1String("size limit")) {
        rlimit small = previous;
        small.rlim_cur = 100;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    CoutCapture out;
    saver.handleImage(QPixmap::fromImage(photoLikeImage(320, 240)));
    saver.waitUntilWritten();
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &previous), 0);
    std::signal(SIGXFSZ, oldHandler);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCOMPARE(out.lines(), QStringList{QStringLiteral("Could not write: ") + prefix() + QStringLiteral("0.jpg: ") + reason});
}

void tst_SimpleImageSaver::createsMissingFolder()
{
    const QString deep = m_dir->path() + QStringLiteral("/a/b/c/pic");
    SimpleImageSaver saver(deep, QStringLiteral("jpg"), -1);
    saver.startHandling(nullptr);
    CoutCapture out;
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    QCOMPARE(out.lines(), QStringList{QStringLiteral("Writing: ") + deep + QStringLiteral("0.jpg")});
    QVERIFY(QFile::exists(deep + QStringLiteral("0.jpg")));
}

void tst_SimpleImageSaver::stopWritesAndPrintsNothing()
{
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    saver.startHandling(nullptr);
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    CoutCapture out;
    saver.stopHandling();
    QVERIFY(out.lines().isEmpty());
    QCOMPARE(QDir(m_dir->path() + QStringLiteral("/capture")).entryList(QDir::Files).size(), 1);
}

void tst_SimpleImageSaver::stopReturnsWhenEveryFrameIsWrittenInOrder()
{
    // A queue of two frames against a burst of twenty: the producer has to wait, and each file
    // must still hold its own frame under its own number.
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1, 2);
    QList<QImage> frames;
    for (int i = 0; i < 20; ++i)
        frames << patternImage(96, 64, i * 16);
    CoutCapture out;
    saver.startHandling(nullptr);
    for (const QImage &frame : std::as_const(frames))
        saver.handleImage(QPixmap::fromImage(frame));
    saver.stopHandling();

    QStringList expected{QStringLiteral("Capturing images to memory...0")};
    for (int i = 0; i < 20; ++i)
        expected << QStringLiteral("Writing: %1%2.jpg").arg(prefix()).arg(i);
    QCOMPARE(out.lines(), expected);
    for (int i = 0; i < 20; ++i) {
        const QImage file = QImageReader(prefix() + QString::number(i) + QStringLiteral(".jpg")).read();
        const double own = psnr(file, frames[i]);
        QVERIFY2(own > 25.0, qPrintable(QStringLiteral("file %1: %2 dB").arg(i).arg(own)));
        if (i > 0)
            QVERIFY2(own > psnr(file, frames[i - 1]), "files out of order");
    }
}

void tst_SimpleImageSaver::filesHoldEachFrameWhateverItsBandMap_data()
{
    QTest::addColumn<qint64>("secondNumber");
    QTest::addColumn<bool>("truthfulMap");
    QTest::newRow("successor with its band map: unchanged bands reused") << qint64(1) << true;
    // A frame the saver did not see came in between: a map against that frame says nothing about
    // the saver's last frame, so it must compare the bands itself.
    QTest::newRow("a frame skipped in between: bands compared anew") << qint64(5) << false;
}

void tst_SimpleImageSaver::filesHoldEachFrameWhateverItsBandMap()
{
    QFETCH(qint64, secondNumber);
    QFETCH(bool, truthfulMap);
    const QImage first = patternImage(96, 80).convertToFormat(QImage::Format_RGB32);
    QImage second = first.copy();
    for (int x = 0; x < second.width(); ++x)
        second.setPixel(x, 40, qRgb(255, 255, 255)); // one band differs
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    saver.startHandling(nullptr);
    saver.handleFrame(CapturedFrame{first, BandMap::allChanged(first.height()), 0});
    BandMap map = BandMap::compare(second, first);
    if (!truthfulMap)
        map = BandMap::compare(second, second); // claims that nothing changed
    saver.handleFrame(CapturedFrame{second, map, secondNumber});
    saver.stopHandling();
    const QList<QImage> frames{first, second};
    for (int i = 0; i < 2; ++i) {
        const QImage file = QImageReader(prefix() + QString::number(i) + QStringLiteral(".jpg")).read();
        const QImage whole = decodeJpeg(encodeJpeg(frames[i], 75, ChromaSubsampling::Half));
        QCOMPARE(maxChannelDifference(file.convertToFormat(QImage::Format_RGB32), whole), 0);
    }
}

void tst_SimpleImageSaver::historyReadsBackEachFrameAsItsFile_data()
{
    QTest::addColumn<QList<QImage>>("frames");
    QTest::addColumn<bool>("wholeBandsOnly"); // every change spans most of its bands' width
    const QImage wide = photoLikeImage(640 + 64, 480, 1);
    QList<QImage> moving;
    for (int i = 0; i < 6; ++i)
        moving << wide.copy(i * 5, i, 640, 480);
    QTest::newRow("whole screen moves") << moving << true;

    QImage desktop = patternImage(640, 480, 2).convertToFormat(QImage::Format_RGB32);
    QList<QImage> video{desktop};
    for (int i = 0; i < 6; ++i) {
        QImage frame = desktop.copy();
        QPainter(&frame).drawImage(203 + i, 101, photoLikeImage(160, 90, 10 + i)); // off the block grid
        video << frame;
    }
    QTest::newRow("still desktop with a small video") << video << false;

    const QImage p = photoLikeImage(640, 480, 3);
    const QImage q = photoLikeImage(640, 480, 4);
    QTest::newRow("a window comes back") << QList<QImage>{p, q, p.copy(), q.copy(), p.copy()} << true;
    QTest::newRow("new size, then the old one") << QList<QImage>{p, q.scaled(333, 77), p.copy()} << true;
    QImage odd = photoLikeImage(333, 77, 5);
    QImage oddDot = odd.copy();
    oddDot.setPixel(332, 76, qRgb(255, 0, 0)); // the last, partial band and column
    QTest::newRow("odd size, change in the last corner") << QList<QImage>{odd, oddDot, odd.copy()} << false;
}

void tst_SimpleImageSaver::historyReadsBackEachFrameAsItsFile()
{
    QFETCH(QList<QImage>, frames);
    QFETCH(bool, wholeBandsOnly);
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    QVERIFY(saver.writesJpeg());
    JpegBandsCoder coder(saver.jpegQuality());
    FrameHistory history(3);
    history.setMovingAsVideo(false); // every frame in bands, as the files have it
    saver.startHandling(nullptr);
    QImage previous;
    for (int i = 0; i < frames.size(); ++i) {
        // As the session does: coded once, then the history and the saver take that coding,
        // each only with room.
        if (!history.hasRoomFor(1 + coder.pending()) || !saver.hasRoom()) {
            coder.drain();
            history.waitUntilStored();
            saver.waitUntilWritten();
        }
        const CapturedFrame frame{frames[i], BandMap::compare(frames[i], previous), i};
        const ConsolePlace place = FrameConsole::instance().reserve();
        coder.code(frame, [&history, &saver, place](const CapturedFrame &coded, const CodedJpeg &jpeg) {
            history.append(coded.image, coded.changes, jpeg.bands);
            saver.writeCoded(coded, jpeg.file, place);
        });
        previous = frames[i];
    }
    coder.drain();
    saver.stopHandling();
    history.waitUntilStored();

    // The bands changed across their width are the saver's own segments, and where a patch was
    // cheaper it was cut on the blocks of the file: every frame is its file, to the bit (which
    // holds the stored segments exactly and the rest above any PSNR bound).
    for (int i = 0; i < frames.size(); ++i) {
        const QImage file = QImageReader(prefix() + QString::number(i) + QStringLiteral(".jpg")).read();
        QVERIFY2(!file.isNull(), qPrintable(QString::number(i)));
        QCOMPARE(maxChannelDifference(history.frame(i), file.convertToFormat(QImage::Format_RGB32)), 0);
    }
    QVERIFY(history.takenBands() > 0);
    // A band the saver has coded is not coded again.
    if (wholeBandsOnly)
        QCOMPARE(history.encodedParts(), 0);
    else
        QVERIFY(history.encodedParts() > 0);
}

QTEST_MAIN(tst_SimpleImageSaver)
#include "tst_simpleimagesaver.moc"
