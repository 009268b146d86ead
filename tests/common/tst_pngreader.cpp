#include "pngreader.h"
#include "pngwriter.h"
#include "testsupport.h"

#include <QBuffer>
#include <QDataStream>
#include <QImageReader>
#include <QtEndian>
#include <QtTest>

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
