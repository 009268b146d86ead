#include "bandedpng.h"
#include "testsupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <zlib.h>

namespace {

enum class Change { Every, None, Alternate };

// The concatenated IDAT data of a PNG file.
QByteArray imageData(const QByteArray &png)
{
    QByteArray data;
    for (qsizetype pos = 8; pos + 12 <= png.size();) {
        const auto length = qFromBigEndian<quint32>(png.constData() + pos);
        if (png.mid(pos + 4, 4) == "IDAT")
            data += png.mid(pos + 8, qsizetype(length));
        pos += 12 + qsizetype(length);
    }
    return data;
}

// The pixels ImageMagick reads from `png`, as RGBA bytes.
QByteArray magickRgba(const QByteArray &png, QTemporaryDir &dir)
{
    QFile file(dir.filePath(QStringLiteral("frame.png")));
    if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size())
        return {};
    file.close();
    QProcess convert;
    convert.start(QStringLiteral("convert"), {file.fileName(), QStringLiteral("-depth"), QStringLiteral("8"),
                                              QStringLiteral("rgba:-")});
    if (!convert.waitForFinished(60000) || convert.exitCode() != 0)
        return {};
    return convert.readAllStandardOutput();
}

QByteArray rgbaBytes(const QImage &image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    QByteArray bytes;
    for (int y = 0; y < rgba.height(); ++y)
        bytes.append(reinterpret_cast<const char *>(rgba.constScanLine(y)), qsizetype(rgba.width()) * 4);
    return bytes;
}

// `image` with the pixels of band `band` changed.
void touchBand(QImage &image, int band, int seed)
{
    const int first = BandMap::firstRow(band);
    const int y = first + seed % BandMap::rowCount(band, image.height());
    const int x = (seed * 7) % image.width();
    image.setPixel(x, y, image.pixel(x, y) ^ 0x00102030u);
}

QImage withAlpha(QImage image)
{
    image = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = (line[x] & 0x00ffffffu) | (quint32((x * 5 + y * 11) & 0xff) << 24);
    }
    return image;
}

} // namespace

class tst_BandedPng : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void framesReadBackExactly_data();
    void framesReadBackExactly();
    void newSizeOrFormatEncodesEveryBand_data();
    void newSizeOrFormatEncodesEveryBand();
    void bandRunsAreStandalonePngs_data();
    void bandRunsAreStandalonePngs();
};

void tst_BandedPng::framesReadBackExactly_data()
{
    QTest::addColumn<QImage>("first");
    QTest::addColumn<int>("change");

    const struct
    {
        const char *name;
        int width;
        int height;
    } sizes[] = {{"1 row", 9, 1}, {"15 rows, odd width", 33, 15}, {"16 rows: one whole band", 16, 16},
                 {"17 rows: a band of one row", 31, 17}, {"1080 rows", 1921, 1080}};
    for (const auto &size : sizes) {
        const QImage photo = photoLikeImage(size.width, size.height, size.height);
        for (const auto &[change, changeName] : {std::pair{Change::Every, "every band changed"},
                                                 std::pair{Change::None, "unchanged frames reuse every band"},
                                                 std::pair{Change::Alternate, "alternate bands changed"}}) {
            QTest::addRow("%s, opaque, %s", size.name, changeName) << photo << int(change);
            if (size.height < 1080)
                QTest::addRow("%s, alpha, %s", size.name, changeName) << withAlpha(photo) << int(change);
        }
    }
}

// Three frames through one encoder: each reads back exactly, through Qt's reader (libpng) and
// ImageMagick, with only the changed bands encoded and the checksum zlib computes.
void tst_BandedPng::framesReadBackExactly()
{
    QFETCH(QImage, first);
    QFETCH(int, change);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    BandedPngEncoder encoder;
    const int bands = BandMap::bandCount(first.height());
    QImage previous;
    QImage frame = first;
    QByteArray previousPng;
    for (int k = 0; k < 3; ++k) {
        if (k > 0) {
            frame = previous.copy();
            for (int band = 0; band < bands; ++band) {
                if (Change(change) == Change::Every || (Change(change) == Change::Alternate && band % 2 == k % 2))
                    touchBand(frame, band, k + band);
            }
        }
        const BandMap changes = BandMap::compare(frame, previous);
        const QByteArray png = encoder.encode(frame, changes);
        QVERIFY(!png.isEmpty());
        QCOMPARE(encoder.encodedBands(), changes.changedCount());
        QCOMPARE(encoder.reusedBands(), bands - changes.changedCount());
        if (k > 0 && Change(change) == Change::None) {
            QCOMPARE(encoder.reusedBands(), bands);
            QCOMPARE(png, previousPng);
        }

        const QImage qt = QImage::fromData(png, "PNG");
        QCOMPARE(qt.convertToFormat(QImage::Format_ARGB32), frame.convertToFormat(QImage::Format_ARGB32));
        QCOMPARE(magickRgba(png, dir), rgbaBytes(frame));

        // zlib inflates the stream as one (checking the Adler-32 itself), and its checksum of the
        // filtered rows is the one the stream carries.
        const QByteArray data = imageData(png);
        const int channels = frame.hasAlphaChannel() ? 4 : 3;
        QByteArray filtered((qsizetype(frame.width()) * channels + 1) * frame.height(), '\0');
        uLongf filteredSize = uLongf(filtered.size());
        QCOMPARE(uncompress(reinterpret_cast<Bytef *>(filtered.data()), &filteredSize,
                            reinterpret_cast<const Bytef *>(data.constData()), uLong(data.size())),
                 Z_OK);
        QCOMPARE(qsizetype(filteredSize), filtered.size());
        const uLong adler = adler32(1, reinterpret_cast<const Bytef *>(filtered.constData()), uInt(filtered.size()));
        QCOMPARE(quint32(adler), qFromBigEndian<quint32>(data.constData() + data.size() - 4));

        previous = frame;
        previousPng = png;
    }
}

void tst_BandedPng::newSizeOrFormatEncodesEveryBand_data()
{
    QTest::addColumn<QImage>("before");
    QTest::addColumn<QImage>("after");

    const QImage photo = photoLikeImage(40, 50, 3);
    QTest::newRow("fewer rows") << photo << photo.copy(0, 0, 40, 40);
    QTest::newRow("other width") << photo << photo.copy(0, 0, 39, 50);
    QTest::newRow("alpha channel appears") << photo << withAlpha(photo);
    QTest::newRow("other pixel format, same pixels") << photo << photo.convertToFormat(QImage::Format_RGB888);
}

// A band map that claims nothing changed must not make a frame of another size or format reuse
// bands encoded for the frame before.
void tst_BandedPng::newSizeOrFormatEncodesEveryBand()
{
    QFETCH(QImage, before);
    QFETCH(QImage, after);

    BandedPngEncoder encoder;
    QVERIFY(!encoder.encode(before, BandMap::allChanged(before.height())).isEmpty());
    BandMap nothing = BandMap::allChanged(after.height());
    for (int band = 0; band < nothing.count(); ++band)
        nothing.setChanged(band, false);
    const QByteArray png = encoder.encode(after, nothing);
    QCOMPARE(encoder.encodedBands(), BandMap::bandCount(after.height()));
    QCOMPARE(QImage::fromData(png, "PNG").convertToFormat(QImage::Format_ARGB32),
             after.convertToFormat(QImage::Format_ARGB32));
}

void tst_BandedPng::bandRunsAreStandalonePngs_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("leftStale"); // a changed band brought up only where wanted; -1: none

    const QImage photo = photoLikeImage(40, 50, 5); // bands of 16, 16, 16 and 2 rows
    QTest::newRow("first band") << photo << 0 << 1 << -1;
    QTest::newRow("run in the middle") << photo << 1 << 2 << -1;
    QTest::newRow("last, shorter band") << photo << 3 << 1 << -1;
    QTest::newRow("whole image") << photo << 0 << 4 << -1;
    QTest::newRow("alpha channel") << withAlpha(photo) << 1 << 3 << -1;
    QTest::newRow("run beside a band left stale") << photo << 2 << 2 << 1;
    QTest::newRow("run over a band left stale") << photo << 0 << 3 << 1;
}

// A run of bands cut from the kept bytes is a PNG file of its own that any reader takes to
// exactly the run's rows; a run that would hold bytes of an older frame is refused.
void tst_BandedPng::bandRunsAreStandalonePngs()
{
    QFETCH(QImage, image);
    QFETCH(int, first);
    QFETCH(int, count);
    QFETCH(int, leftStale);

    BandedPngEncoder encoder;
    QImage frame = image;
    QVERIFY(!encoder.encode(frame, BandMap::allChanged(frame.height())).isEmpty());
    if (leftStale >= 0) {
        // Every band changes; all but one are wanted now.
        const QImage before = frame;
        for (int band = 0; band < BandMap::bandCount(frame.height()); ++band)
            touchBand(frame, band, band + 3);
        BandMap wanted = BandMap::allChanged(frame.height());
        wanted.setChanged(leftStale, false);
        QVERIFY(encoder.updateBands(frame, BandMap::compare(frame, before), wanted));
        QVERIFY(encoder.isStale(leftStale));
    }
    const QByteArray png = encoder.bandRunPng(first, count);
    if (leftStale >= first && leftStale < first + count) {
        QVERIFY(png.isEmpty());
        return;
    }
    const int top = BandMap::firstRow(first);
    const int rows = qMin(frame.height(), BandMap::firstRow(first + count)) - top;
    const QImage expected = frame.copy(0, top, frame.width(), rows).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(QImage::fromData(png, "PNG").convertToFormat(QImage::Format_ARGB32), expected);
    QTemporaryDir dir;
    QCOMPARE(magickRgba(png, dir), rgbaBytes(expected));
}

QTEST_GUILESS_MAIN(tst_BandedPng)
#include "tst_bandedpng.moc"
