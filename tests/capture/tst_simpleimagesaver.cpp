#include "simpleimagesaver.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

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
    void neverOverwritesAFileThatAppearsMeanwhile();
    void failedSaveReportsAndKeepsTheNumber();
    void createsMissingFolder();
    void fullDiskLosesNoNumberAndLeavesNoTruncatedFile();
    void stopWritesAndPrintsNothing();
    void stopReturnsWhenEveryFrameIsWrittenInOrder();

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
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("name");
    QTest::newRow("first file") << 0 << QStringLiteral("./capture/pic0.jpg");
    QTest::newRow("no padding at 9") << 9 << QStringLiteral("./capture/pic9.jpg");
    QTest::newRow("no padding at 10") << 10 << QStringLiteral("./capture/pic10.jpg");
    QTest::newRow("large number") << 123456 << QStringLiteral("./capture/pic123456.jpg");
}

void tst_SimpleImageSaver::fileNames()
{
    QFETCH(int, number);
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
    QTest::addColumn<int>("firstNumber");
    QTest::newRow("empty folder") << QStringList() << 0;
    QTest::newRow("a gap does not get filled") << QStringList{QStringLiteral("pic0.jpg"), QStringLiteral("pic7.jpg")} << 8;
    QTest::newRow("9 is followed by 10") << QStringList{QStringLiteral("pic9.jpg")} << 10;
    QTest::newRow("other names are ignored")
        << QStringList{QStringLiteral("pic3.png"), QStringLiteral("picture5.jpg"), QStringLiteral("pic4.jpg.bak"),
                       QStringLiteral("pic-2.jpg"), QStringLiteral("xpic6.jpg"), QStringLiteral("pic1.jpg")}
        << 2;
    QTest::newRow("padded numbers are not ours") << QStringList{QStringLiteral("pic007.jpg")} << 0;
}

void tst_SimpleImageSaver::continuesAfterExistingFiles()
{
    QFETCH(QStringList, existing);
    QFETCH(int, firstNumber);
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

void tst_SimpleImageSaver::neverOverwritesAFileThatAppearsMeanwhile()
{
    SimpleImageSaver saver(prefix(), QStringLiteral("jpg"), -1);
    saver.startHandling(nullptr);
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    touch(prefix() + QStringLiteral("1.jpg"), "someone else's"); // another program took number 1
    CoutCapture out;
    saver.handleImage(m_frame);
    saver.waitUntilWritten();
    QCOMPARE(out.lines(), QStringList{QStringLiteral("Writing: ") + prefix() + QStringLiteral("2.jpg")});
    QFile other(prefix() + QStringLiteral("1.jpg"));
    QVERIFY(other.open(QIODevice::ReadOnly));
    QCOMPARE(other.readAll(), QByteArray("someone else's"));
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
    QCOMPARE(out.lines(), (QStringList{QStringLiteral("Could not write: ") + prefix() + QStringLiteral("1.jpg"),
                                       QStringLiteral("Could not write: ") + prefix() + QStringLiteral("1.jpg")}));
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

    QCOMPARE(out.lines(), QStringList(3, QStringLiteral("Could not write: ") + prefix() + QStringLiteral("1.jpg")));
    QVERIFY2(!QFile::exists(prefix() + QStringLiteral("1.jpg")), "a truncated image was left behind");

    // Space is back: writing resumes at the number that failed.
    out.clear();
    saver.handleImage(big);
    saver.waitUntilWritten();
    QCOMPARE(out.lines(), QStringList{QStringLiteral("Writing: ") + prefix() + QStringLiteral("1.jpg")});
    QCOMPARE(QImageReader(prefix() + QStringLiteral("1.jpg")).read().size(), QSize(640, 480));
    QCOMPARE(QDir(m_dir->path() + QStringLiteral("/capture")).entryList(QDir::Files),
             (QStringList{QStringLiteral("pic0.jpg"), QStringLiteral("pic1.jpg")}));
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

QTEST_MAIN(tst_SimpleImageSaver)
#include "tst_simpleimagesaver.moc"
