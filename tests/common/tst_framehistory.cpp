#include "framehistory.h"
#include "testsupport.h"

#include <QPainter>
#include <QTest>

#include <cmath>

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
    void keepsOrderUnderBackPressure();
    void memoryStaysBoundedOverManyFrames();
    void stillScreenCostsNoSpace();
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
    QCOMPARE(history.append(frame), 0);
    history.waitUntilStored();
    const QImage kept = history.frame(0);
    QCOMPARE(kept.size(), frame.size());
    // What is kept must look like what was captured.
    QVERIFY2(psnr(kept, frame) >= 38.0, qPrintable(QStringLiteral("PSNR %1 dB").arg(psnr(kept, frame))));
    QCOMPARE(history.bytesInMemory(), 0);
    QVERIFY(history.storedBytes() > 0);
}

void tst_FrameHistory::servesFramesWhileStillPending()
{
    FrameHistory history(64);
    QList<QImage> frames;
    for (int i = 0; i < 20; ++i) {
        frames << patternImage(64, 48, i);
        QCOMPARE(history.append(frames.constLast()), i);
        // Readable at once, whether the worker has got to it or not.
        QVERIFY(psnr(history.frame(i), frames.constLast()) >= 38.0);
    }
    QCOMPARE(history.size(), 20);
}

void tst_FrameHistory::outOfRangeIndicesGiveNullImages()
{
    FrameHistory history;
    QVERIFY(history.frame(0).isNull());
    history.append(patternImage(8, 8));
    history.waitUntilStored();
    QVERIFY(history.frame(-1).isNull());
    QVERIFY(history.frame(1).isNull());
    QVERIFY(history.frame(std::numeric_limits<int>::max()).isNull());
    QVERIFY(!history.frame(0).isNull());
}

void tst_FrameHistory::nullFrameKeepsItsIndex()
{
    FrameHistory history;
    history.append(patternImage(10, 10, 1));
    history.append(QImage());
    history.append(patternImage(10, 10, 2));
    history.waitUntilStored();
    QCOMPARE(history.size(), 3);
    QVERIFY(history.frame(1).isNull());
    QVERIFY(psnr(history.frame(2), patternImage(10, 10, 2)) >= 38.0);
}

void tst_FrameHistory::keepsOrderUnderBackPressure()
{
    // Only two frames may wait: append() has to block and the order must survive it.
    FrameHistory history(2);
    const int count = 40;
    for (int i = 0; i < count; ++i)
        QCOMPARE(history.append(patternImage(96, 64, i * 16)), i);
    history.waitUntilStored();
    for (int i = 0; i < count; ++i) {
        const QImage kept = history.frame(i);
        // Each frame is closer to its own original than to its neighbours'.
        const double own = psnr(kept, patternImage(96, 64, i * 16));
        QVERIFY2(own >= 38.0, qPrintable(QStringLiteral("frame %1: %2 dB").arg(i).arg(own)));
        if (i > 0)
            QVERIFY(psnr(kept, patternImage(96, 64, (i - 1) * 16)) < own);
    }
}

void tst_FrameHistory::memoryStaysBoundedOverManyFrames()
{
    // 300 full-HD frames are 2.4 GB raw; the history must keep them out of memory.
    const QImage base = photoLikeImage(1920, 1080, 9);
    FrameHistory history;
    history.append(base);
    history.waitUntilStored();
    const qint64 before = residentBytes();
    for (int i = 1; i < 300; ++i) {
        QImage frame = base;
        frame.setPixel(i % 1920, 0, qRgb(i % 256, 0, 0)); // a distinct frame each time
        history.append(frame);
    }
    history.waitUntilStored();
    const qint64 growth = residentBytes() - before;
    QVERIFY2(growth < 150 * 1024 * 1024, qPrintable(QStringLiteral("grew by %1 MB").arg(growth >> 20)));
    QCOMPARE(history.bytesInMemory(), 0);
    QCOMPARE(history.size(), 300);
    QVERIFY(psnr(history.frame(150), base) >= 38.0);
}

void tst_FrameHistory::stillScreenCostsNoSpace()
{
    FrameHistory history;
    const QImage still = photoLikeImage(320, 240, 5);
    history.append(still);
    history.waitUntilStored();
    const qint64 one = history.storedBytes();
    for (int i = 0; i < 10; ++i)
        history.append(still.copy()); // equal pixels in a separate buffer, as a new grab gives
    QImage changed = still.copy();
    changed.setPixel(319, 239, qRgb(255, 0, 0)); // one pixel differs in the last row
    history.append(changed);
    history.append(still.copy());
    history.waitUntilStored();
    QCOMPARE(history.size(), 13);
    // The repeats share the first record; the changed frame and the one after it get their own.
    QVERIFY(history.storedBytes() >= 3 * one - 3 * one / 10);
    QVERIFY(history.storedBytes() <= 3 * one + 3 * one / 10);
    for (int i = 0; i < 11; ++i)
        QVERIFY(psnr(history.frame(i), still) >= 38.0);
    QVERIFY(history.frame(11).pixelColor(319, 239).red() > 200); // the changed pixel is kept
    QVERIFY(psnr(history.frame(12), still) >= 38.0);
}

QTEST_MAIN(tst_FrameHistory)
#include "tst_framehistory.moc"
