#include "boxscaler.h"
#include "testsupport.h"

#include <QTest>

namespace {

// The mean of each factor x factor block, rounded: what shrinking by a whole factor must give.
QImage blockMeans(const QImage &source, int factor)
{
    QImage result(source.width() / factor, source.height() / factor, QImage::Format_RGB32);
    for (int y = 0; y < result.height(); ++y) {
        for (int x = 0; x < result.width(); ++x) {
            int sums[3] = {0, 0, 0};
            for (int dy = 0; dy < factor; ++dy) {
                for (int dx = 0; dx < factor; ++dx) {
                    const QRgb p = source.pixel(x * factor + dx, y * factor + dy);
                    sums[0] += qRed(p);
                    sums[1] += qGreen(p);
                    sums[2] += qBlue(p);
                }
            }
            const int n = factor * factor;
            result.setPixel(x, y, qRgb((sums[0] + n / 2) / n, (sums[1] + n / 2) / n, (sums[2] + n / 2) / n));
        }
    }
    return result;
}

} // namespace

class tst_BoxScaler : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void resamples_data();
    void resamples();
    void partialRowsEqualWholeFrame_data();
    void partialRowsEqualWholeFrame();
};

void tst_BoxScaler::resamples_data()
{
    QTest::addColumn<QImage>("source");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<QImage>("expected");
    const QImage pattern = patternImage(96, 64, 5);
    QTest::newRow("same size: an exact copy") << pattern << pattern.size() << pattern;
    QTest::newRow("half: the mean of each 2x2") << pattern << QSize(48, 32) << blockMeans(pattern, 2);
    QTest::newRow("a quarter: the mean of each 4x4") << pattern << QSize(24, 16) << blockMeans(pattern, 4);
    // Odd widths leave pixels past the last whole step of four (or two) for the plain loops.
    const QImage odd = patternImage(99, 66, 7);
    QTest::newRow("a third, odd width: the mean of each 3x3") << odd << QSize(33, 22) << blockMeans(odd, 3);
    QTest::newRow("twice: each pixel repeated") << blockMeans(pattern, 2) << QSize(96, 64)
                                                  << blockMeans(pattern, 2).scaled(96, 64);
    QImage translucent = pattern.convertToFormat(QImage::Format_ARGB32);
    translucent.setPixel(0, 0, qRgba(10, 20, 30, 0));
    QImage opaque = pattern.copy();
    opaque.setPixel(0, 0, qRgb(10, 20, 30));
    QTest::newRow("alpha is dropped, colour kept") << translucent << pattern.size() << opaque;
    // A one-pixel checkerboard shrunk by 3/2 in both directions: every output pixel mixes
    // black and white in the proportion of the area it covers, so none is pure.
    QImage checker(6, 6, QImage::Format_RGB32);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 6; ++x)
            checker.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
    // Each output pixel takes one source pixel whole, half of two more and a quarter of the
    // fourth, which has the colour of the first: 1.25 / 2.25 of that colour.
    QImage mixed(4, 4, QImage::Format_RGB32);
    const int whole[4] = {0, 2, 3, 5}; // the source column (row) each output column (row) takes whole
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 4; ++x) {
            const int grey = (whole[x] + whole[y]) % 2 ? 142 : 113; // 255 * 1.25 / 2.25 and 255 * 1 / 2.25
            mixed.setPixel(x, y, qRgb(grey, grey, grey));
        }
    }
    QTest::newRow("3:2 checkerboard: shares of the area") << checker << QSize(4, 4) << mixed;
    // Down only (the width kept, 7 pixels): each output row takes one source row whole and half of
    // the next or the one before: 0.5 / 1.5 or 1 / 1.5 white.
    QImage column(7, 6, QImage::Format_RGB32);
    QImage downOnly(7, 4, QImage::Format_RGB32);
    for (int x = 0; x < 7; ++x) {
        for (int y = 0; y < 6; ++y)
            column.setPixel(x, y, (x + y) % 2 ? qRgb(255, 255, 255) : qRgb(0, 0, 0));
        for (int y = 0; y < 4; ++y) {
            const int grey = (x % 2 == 0) == (y < 2) ? 85 : 170;
            downOnly.setPixel(x, y, qRgb(grey, grey, grey));
        }
    }
    QTest::newRow("3:2 down only, odd width: shares of the rows") << column << QSize(7, 4) << downOnly;
}

void tst_BoxScaler::resamples()
{
    QFETCH(QImage, source);
    QFETCH(QSize, to);
    QFETCH(QImage, expected);
    const QImage result = BoxScaler::scaled(source, to);
    QCOMPARE(result.size(), to);
    QCOMPARE(maxChannelDifference(result, expected), 0);
    QCOMPARE(qAlpha(result.pixel(0, 0)), 255);
}

void tst_BoxScaler::partialRowsEqualWholeFrame_data()
{
    QTest::addColumn<QSize>("from");
    QTest::addColumn<QSize>("to");
    QTest::addColumn<int>("sourceFirst");
    QTest::addColumn<int>("sourceEnd");
    QTest::newRow("shrink 640x480 to 437x301, a band in the middle") << QSize(640, 480) << QSize(437, 301) << 160 << 176;
    QTest::newRow("grow 64x48 to 150x101, the last band") << QSize(64, 48) << QSize(150, 101) << 32 << 48;
    QTest::newRow("shrink, the first band") << QSize(200, 100) << QSize(30, 7) << 0 << 16;
    QTest::newRow("1080p to 640x480: block means, then weights; a band across two blocks")
        << QSize(1920, 1080) << QSize(640, 480) << 519 << 535;
    QTest::newRow("1080p to 640x480, the last band") << QSize(1920, 1080) << QSize(640, 480) << 1072 << 1080;
}

void tst_BoxScaler::partialRowsEqualWholeFrame()
{
    // A band that changed is redrawn from the rows rowsFor() names alone: those rows, made on
    // their own over an old picture, must give the picture of the new frame.
    QFETCH(QSize, from);
    QFETCH(QSize, to);
    QFETCH(int, sourceFirst);
    QFETCH(int, sourceEnd);
    const QImage before = patternImage(from.width(), from.height(), 1);
    QImage after = before.copy();
    for (int y = sourceFirst; y < sourceEnd; ++y)
        for (int x = 0; x < after.width(); ++x)
            after.setPixel(x, y, qRgb(x % 256, 255 - y % 256, 77));

    const BoxScaler scaler(from, to);
    QImage picture = BoxScaler::scaled(before, to);
    const auto [first, end] = scaler.rowsFor(sourceFirst, sourceEnd);
    QVERIFY(first < end);
    scaler.scaleRows(after, picture.bits(), picture.bytesPerLine(), first, end);
    QCOMPARE(maxChannelDifference(picture, BoxScaler::scaled(after, to)), 0);
}

QTEST_GUILESS_MAIN(tst_BoxScaler)
#include "tst_boxscaler.moc"
