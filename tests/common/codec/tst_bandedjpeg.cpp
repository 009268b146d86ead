#include "bandedjpeg.h"
#include "jpegcodec.h"
#include "testsupport.h"

#include <QProcess>
#include <QTest>

#include <cstring>

namespace {

// What ImageMagick decodes from a JPEG file, as raw RGB bytes.
QByteArray imageMagickPixels(const QByteArray &jpeg)
{
    QProcess convert;
    convert.start(QStringLiteral("convert"), {QStringLiteral("jpg:-"), QStringLiteral("rgb:-")});
    if (!convert.waitForStarted())
        return {};
    convert.write(jpeg);
    convert.closeWriteChannel();
    if (!convert.waitForFinished(60000) || convert.exitCode() != 0)
        return {};
    return convert.readAllStandardOutput();
}

// A frame whose listed bands are painted over with fresh content.
QImage alterBands(const QImage &frame, const QList<int> &bands, int seed)
{
    QImage out = frame.copy();
    const QImage other = photoLikeImage(frame.width(), frame.height(), seed);
    for (int band : bands) {
        for (int y = BandMap::firstRow(band); y < BandMap::firstRow(band) + BandMap::rowCount(band, frame.height()); ++y)
            std::memcpy(out.scanLine(y), other.constScanLine(y), size_t(out.bytesPerLine()));
    }
    return out;
}

} // namespace

class tst_BandedJpeg : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void decodesLikeAWholeFrameEncode_data();
    void decodesLikeAWholeFrameEncode();
};

void tst_BandedJpeg::decodesLikeAWholeFrameEncode_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QSize>("secondSize"); // of the second frame
    QTest::addColumn<QList<int>>("altered"); // bands of the second frame that change
    QTest::addColumn<int>("seed");
    QTest::newRow("one short band 8 rows") << QSize(64, 8) << QSize(64, 8) << QList<int>{0} << 1;
    QTest::newRow("exactly one band") << QSize(48, 16) << QSize(48, 16) << QList<int>{} << 2;
    QTest::newRow("one row past a band") << QSize(32, 17) << QSize(32, 17) << QList<int>{1} << 3;
    QTest::newRow("width not a multiple of 16") << QSize(333, 77) << QSize(333, 77) << QList<int>{0, 4} << 4;
    QTest::newRow("odd width, last band changed") << QSize(17, 33) << QSize(17, 33) << QList<int>{2} << 5;
    QTest::newRow("one pixel") << QSize(1, 1) << QSize(1, 1) << QList<int>{0} << 6;
    QTest::newRow("full HD, a tenth of the bands") << QSize(1920, 1080) << QSize(1920, 1080)
                                                   << QList<int>{0, 9, 10, 11, 30, 31, 50, 66, 67} << 7;
    QTest::newRow("full HD, still") << QSize(1920, 1080) << QSize(1920, 1080) << QList<int>{} << 8;
    QTest::newRow("more than eight restart markers, odd width") << QSize(1366, 250) << QSize(1366, 250)
                                                                << QList<int>{3, 8, 15} << 9;
    QTest::newRow("new size between frames") << QSize(200, 100) << QSize(120, 40) << QList<int>{} << 10;
}

void tst_BandedJpeg::decodesLikeAWholeFrameEncode()
{
    QFETCH(QSize, size);
    QFETCH(QSize, secondSize);
    QFETCH(QList<int>, altered);
    QFETCH(int, seed);
    const QImage first = photoLikeImage(size.width(), size.height(), seed);
    const QImage second = secondSize == size ? alterBands(first, altered, seed + 100)
                                             : patternImage(secondSize.width(), secondSize.height(), seed);
    BandedJpegEncoder encoder;
    QImage previous;
    for (const QImage &frame : {first, second}) {
        const BandMap changes = BandMap::compare(frame, previous);
        const QByteArray banded = encoder.encode(frame, changes);
        QVERIFY(!banded.isEmpty());
        QCOMPARE(encoder.encodedBands(), changes.changedCount());
        QCOMPARE(encoder.reusedBands(), changes.count() - changes.changedCount());
        const QByteArray whole = encodeJpeg(frame, 75, ChromaSubsampling::Half);
        const QImage expected = decodeJpeg(whole);
        QCOMPARE(decodeJpeg(banded), expected);
        // Every decoder reads it, to the pixels it reads from the whole-frame file.
        QImage qts;
        QVERIFY(qts.loadFromData(banded, "jpg"));
        QCOMPARE(qts.convertToFormat(QImage::Format_RGB32), QImage::fromData(whole, "jpg").convertToFormat(QImage::Format_RGB32));
        const QByteArray magick = imageMagickPixels(banded);
        QVERIFY(!magick.isEmpty());
        QVERIFY(magick == imageMagickPixels(whole));
        // Each band, handed on with the file's header sized to it, is that band coded alone.
        const auto bands = encoder.bands();
        QVERIFY(bands && bands->size == frame.size() && int(bands->segments.size()) == changes.count());
        for (int band = 0; band < changes.count(); ++band) {
            const int rows = BandMap::rowCount(band, frame.height());
            QByteArray alone = bands->header;
            QVERIFY(setJpegSize(alone, frame.width(), rows));
            alone += bands->segments[size_t(band)] + QByteArray("\xff\xd9");
            QCOMPARE(alone, encodeJpeg(frame.copy(0, BandMap::firstRow(band), frame.width(), rows), 75,
                                       ChromaSubsampling::Half));
        }
        // Restarts add a little, never much.
        QVERIFY2(banded.size() <= whole.size() + whole.size() / 50 + 8 * changes.count() + 16,
                 qPrintable(QStringLiteral("%1 against %2 bytes").arg(banded.size()).arg(whole.size())));
        previous = frame;
    }
}

QTEST_GUILESS_MAIN(tst_BandedJpeg)
#include "tst_bandedjpeg.moc"
