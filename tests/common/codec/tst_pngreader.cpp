#include "bandedpng.h"
#include "pngreader.h"
#include "pngwriter.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDataStream>
#include <QImageReader>
#include <QtEndian>
#include <QtTest>

#include <zlib.h>

namespace {

QByteArray qtPng(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QImage withAlpha(const QImage &image)
{
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < out.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            line[x] = (line[x] & 0x00ffffffu) | (quint32((x * 7 + y * 3) & 0xff) << 24);
    }
    return out;
}

// Rewrites the big-endian 32-bit value at `offset`.
QByteArray patched(QByteArray png, qsizetype offset, quint32 value)
{
    qToBigEndian(value, png.data() + offset);
    return png;
}

// The same PNG with the size in its header replaced (and the header's checksum made good).
QByteArray withHeaderSize(QByteArray png, quint32 width, quint32 height)
{
    png = patched(patched(png, 16, width), 20, height);
    quint32 crc = 0xffffffffu;
    for (qsizetype i = 12; i < 29; ++i) { // chunk type and data of IHDR
        crc ^= quint8(png[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return patched(png, 29, crc ^ 0xffffffffu);
}

QByteArray be32(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray chunk(const QByteArray &type, const QByteArray &data)
{
    const QByteArray typed = type + data;
    return be32(quint32(data.size())) + typed
        + be32(quint32(crc32(0, reinterpret_cast<const Bytef *>(typed.constData()), uInt(typed.size()))));
}

// Position of the data of the first chunk of `type`.
qsizetype chunkData(const QByteArray &png, const QByteArray &type)
{
    for (qsizetype pos = 8; pos + 12 <= png.size();) {
        if (png.mid(pos + 4, 4) == type)
            return pos + 8;
        pos += 12 + qsizetype(qFromBigEndian<quint32>(png.constData() + pos));
    }
    return -1;
}

// The PNG with the big-endian value at `offset` within the data of chunk `type` replaced, and
// that chunk's CRC made good, so that only the lie is left for the reader to find.
QByteArray withChunkValue(QByteArray png, const QByteArray &type, qsizetype offset, quint32 value)
{
    const qsizetype data = chunkData(png, type);
    const auto length = qFromBigEndian<quint32>(png.constData() + data - 8);
    qToBigEndian(value, png.data() + data + offset);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef *>(png.constData() + data - 4), length + 4);
    qToBigEndian(quint32(crc), png.data() + data + length);
    return png;
}

quint32 chunkValue(const QByteArray &png, const QByteArray &type, qsizetype offset)
{
    return qFromBigEndian<quint32>(png.constData() + chunkData(png, type) + offset);
}

// An RGB PNG with a band index of 16-row bands that is right about where the bands lie, made
// with zlib: bands after the first start with a row of filter `firstFilter` (2, "Up", refers to
// the band above), every other row unfiltered; each band ends with `flush`.
QByteArray craftedBandedPng(const QImage &image, quint8 firstFilter, int flush)
{
    const int width = image.width();
    const int height = image.height();
    QByteArray index = be32(16) + be32(quint32(BandMap::bandCount(height)));
    z_stream z{};
    deflateInit(&z, 6);
    QByteArray stream(int(compressBound(uLong(height) * uLong(width * 3 + 1))) + 1024, '\0');
    z.next_out = reinterpret_cast<Bytef *>(stream.data());
    z.avail_out = uInt(stream.size());
    for (int band = 0; band < BandMap::bandCount(height); ++band) {
        QByteArray rows;
        for (int y = BandMap::firstRow(band); y < BandMap::firstRow(band) + BandMap::rowCount(band, height); ++y) {
            const quint8 filter = (band > 0 && y == BandMap::firstRow(band)) ? firstFilter : 0;
            rows.append(char(filter));
            for (int x = 0; x < width; ++x) {
                const QRgb p = image.pixel(x, y);
                const QRgb up = y > 0 ? image.pixel(x, y - 1) : 0;
                const int c[3] = {qRed(p), qGreen(p), qBlue(p)};
                const int u[3] = {qRed(up), qGreen(up), qBlue(up)};
                for (int k = 0; k < 3; ++k)
                    rows.append(char(filter == 2 ? c[k] - u[k] : c[k]));
            }
        }
        const uLong before = std::max<uLong>(z.total_out, 2); // the zlib header comes with the first band
        z.next_in = reinterpret_cast<Bytef *>(rows.data());
        z.avail_in = uInt(rows.size());
        deflate(&z, flush);
        index += be32(quint32(before)) + be32(quint32(z.total_out - before));
    }
    deflate(&z, Z_FINISH);
    stream.truncate(qsizetype(z.total_out));
    deflateEnd(&z);
    QByteArray header = be32(quint32(width)) + be32(quint32(height)) + QByteArray("\x08\x02\x00\x00\x00", 5);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk(bandedpng::ChunkType, index)
        + chunk("IDAT", stream) + chunk("IEND", QByteArray());
}

} // namespace

class tst_PngReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsWhatQtReads_data();
    void readsWhatQtReads();
    void refusesImagesAboveTheAllocationLimit_data();
    void refusesImagesAboveTheAllocationLimit();
    void streamImageReadsOneFrameBody_data();
    void streamImageReadsOneFrameBody();
};

void tst_PngReader::readsWhatQtReads_data()
{
    QTest::addColumn<QByteArray>("png");

    const QImage photo = photoLikeImage(203, 117, 1);
    const QImage pattern = patternImage(97, 61, 2);
    QTest::newRow("our writer, opaque (Up filter)") << writePng(photo);
    QTest::newRow("our writer, alpha channel") << writePng(withAlpha(pattern));
    QTest::newRow("Qt's writer: Sub, Average and Paeth filters, many IDAT chunks")
        << qtPng(photoLikeImage(640, 480, 3));
    QTest::newRow("Qt's writer, alpha channel") << qtPng(withAlpha(photo));
    QTest::newRow("one pixel") << writePng(patternImage(1, 1, 4));
    QTest::newRow("grayscale goes to Qt's reader") << qtPng(photo.convertToFormat(QImage::Format_Grayscale8));
    QTest::newRow("palette goes to Qt's reader") << qtPng(pattern.convertToFormat(QImage::Format_Indexed8));
    QTest::newRow("16 bits per channel go to Qt's reader") << qtPng(photo.convertToFormat(QImage::Format_RGBA64));

    const QByteArray good = writePng(pattern);
    QByteArray badCrc = good;
    badCrc[29] = char(badCrc[29] ^ 0x55); // inside IHDR's CRC
    QTest::newRow("damaged header checksum") << badCrc;
    QTest::newRow("truncated image data") << good.left(good.size() / 2);
    QByteArray badDeflate = good;
    badDeflate[good.size() / 2] = char(badDeflate[good.size() / 2] ^ 0xff);
    QTest::newRow("damaged image data") << badDeflate;
    QTest::newRow("claims more rows than it carries") << withHeaderSize(good, 97, 62);
    QTest::newRow("bytes after the end") << good + QByteArray("trailing");
    // Qt's reader gets these without the chunks that could make it allocate more than the file
    // holds; the pixels must come out the same.
    QImage described = pattern.convertToFormat(QImage::Format_Indexed8);
    described.setText(QStringLiteral("Description"), QString(3000, QLatin1Char('x'))); // long: compressed
    QTest::newRow("palette with a compressed text chunk") << qtPng(described);
    const QByteArray palette = qtPng(pattern.convertToFormat(QImage::Format_Indexed8));
    const qsizetype iend = palette.size() - 12;
    QTest::newRow("palette, a chunk claiming 1 MiB more than the file holds")
        << palette.left(iend) + QByteArray("\x00\x10\x00\x00tEXtabc", 11);
    QTest::newRow("not a PNG") << QByteArray("GIF89a and more");

    // Frames of the banded writer, and band indexes that lie about the image data.
    QTest::newRow("our frame, 1920x1080") << writePng(photoLikeImage(1920, 1080, 7));
    BandedPngEncoder encoder;
    QImage next = photoLikeImage(301, 100, 8);
    (void)encoder.encode(next, BandMap::allChanged(next.height()));
    const QImage before = next.copy();
    next.setPixel(3, 40, 0xff123456u);
    QTest::newRow("our frame with reused bands") << encoder.encode(next, BandMap::compare(next, before));
    const QImage banded = photoLikeImage(77, 50, 9); // 4 bands
    const QByteArray ours = writePng(banded);
    QTest::newRow("band index: offset past the end") << withChunkValue(ours, "bdIX", 16, 0x7fff0000u);
    QTest::newRow("band index: length past the end") << withChunkValue(ours, "bdIX", 20, 0x7fff0000u);
    QTest::newRow("band index: overlapping bands")
        << withChunkValue(ours, "bdIX", 16, chunkValue(ours, "bdIX", 8));
    const quint32 first = chunkValue(ours, "bdIX", 12);
    const quint32 second = chunkValue(ours, "bdIX", 20);
    QTest::newRow("band index: boundary moved, bands do not inflate to their rows")
        << withChunkValue(withChunkValue(withChunkValue(ours, "bdIX", 12, second), "bdIX", 16, 2 + second), "bdIX",
                          20, first);
    QTest::newRow("band index: more rows per band than written") << withChunkValue(ours, "bdIX", 0, 17);
    QTest::newRow("band index: one band too many") << withChunkValue(ours, "bdIX", 4, 5);
    const qsizetype idat = chunkData(ours, "IDAT");
    const auto idatLength = qsizetype(qFromBigEndian<quint32>(ours.constData() + idat - 8));
    QTest::newRow("band index right, checksum of the image data wrong")
        << withChunkValue(ours, "IDAT", idatLength - 4, chunkValue(ours, "IDAT", idatLength - 4) ^ 1u);
    QTest::newRow("crafted bands, consistent index (control)") << craftedBandedPng(banded, 0, Z_FULL_FLUSH);
    QTest::newRow("crafted bands: a band's first row refers to the band above")
        << craftedBandedPng(banded, 2, Z_FULL_FLUSH);
    QTest::newRow("crafted bands: bands share history (sync flush)") << craftedBandedPng(banded, 0, Z_SYNC_FLUSH);
    QTest::newRow("empty") << QByteArray();
}

void tst_PngReader::readsWhatQtReads()
{
    QFETCH(QByteArray, png);
    const QImage expected = QImage::fromData(png, "PNG");
    const QImage image = readPng(png);
    QCOMPARE(image.isNull(), expected.isNull());
    QCOMPARE(image.format(), expected.format());
    QCOMPARE(image.size(), expected.size());
    QVERIFY(image == expected);
}

void tst_PngReader::refusesImagesAboveTheAllocationLimit_data()
{
    QTest::addColumn<QByteArray>("png");
    QTest::addColumn<bool>("refused");

    // With a limit of 1 MiB: 512 x 512 pixels of 4 bytes fit exactly, one more row does not.
    QTest::newRow("exactly at the limit") << writePng(patternImage(512, 512, 5)) << false;
    QTest::newRow("one row above the limit") << writePng(patternImage(512, 513, 5)) << true;
    QTest::newRow("alpha image above the limit") << writePng(withAlpha(patternImage(600, 600, 5))) << true;
    // A header claiming 100000 x 100000 pixels (40 GB) in a file of a few hundred bytes.
    QTest::newRow("decompression bomb") << withHeaderSize(writePng(patternImage(16, 16, 5)), 100000, 100000)
                                        << true;
}

void tst_PngReader::refusesImagesAboveTheAllocationLimit()
{
    QFETCH(QByteArray, png);
    QFETCH(bool, refused);

    const int previous = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(1);
    const QImage image = readPng(png);
    QImageReader::setAllocationLimit(previous);
    QCOMPARE(image.isNull(), refused);
}

void tst_PngReader::streamImageReadsOneFrameBody_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QImage>("expected");
    QTest::addColumn<bool>("ok");

    const QImage image = patternImage(33, 21, 6);
    QByteArray frame;
    QDataStream out(&frame, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_4_4);
    out << image;
    QTest::newRow("marker and PNG") << frame << image << true;
    QTest::newRow("null marker") << QByteArray(4, '\0') << QImage() << true;
    QTest::newRow("marker, then no PNG") << QByteArray("\0\0\0\1notapng", 12) << QImage() << false;
    QTest::newRow("marker cut short") << QByteArray("\0\0", 2) << QImage() << false;
}

void tst_PngReader::streamImageReadsOneFrameBody()
{
    QFETCH(QByteArray, body);
    QFETCH(QImage, expected);
    QFETCH(bool, ok);

    QBuffer buffer(&body);
    buffer.open(QIODevice::ReadOnly);
    QDataStream in(&buffer);
    in.setVersion(QDataStream::Qt_4_4);
    QImage image(5, 5, QImage::Format_RGB32); // must be replaced
    readStreamImage(in, image);
    QCOMPARE(in.status() == QDataStream::Ok, ok);
    if (ok)
        QCOMPARE(image.convertToFormat(QImage::Format_RGB32), expected.convertToFormat(QImage::Format_RGB32));
}

QTEST_GUILESS_MAIN(tst_PngReader)
#include "tst_pngreader.moc"
