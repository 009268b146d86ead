#include "frameparser.h"
#include "frameencoder.h"
#include "pngwriter.h"
#include "testsupport.h"

#include <QBuffer>
#include <QColor>
#include <QDataStream>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

namespace {

// Pixels in one format for comparing with `original`: 32-bit ARGB (premultiplied when the
// original is, as the frame's producer holds it), or 16-bit RGBA for deep images.
QImage comparable(const QImage &image, const QImage &original)
{
    if (original.depth() == 64)
        return image.convertToFormat(QImage::Format_RGBA64);
    return image.convertToFormat(original.format() == QImage::Format_ARGB32_Premultiplied
                                     ? QImage::Format_ARGB32_Premultiplied
                                     : QImage::Format_ARGB32);
}

// Every pixel differs from its neighbours; `alpha` adds a varying alpha channel.
QImage gradientImage(int width, int height, QImage::Format format, bool alpha)
{
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            line[x] = qRgba((x * 7 + y) & 0xff, (y * 13 + x * 3) & 0xff, (x ^ y) & 0xff,
                            alpha ? (x * 5 + y * 11) & 0xff : 0xff);
    }
    return image.convertToFormat(format);
}

QImage indexedWithTransparency()
{
    QImage image(37, 9, QImage::Format_Indexed8);
    image.setColorTable({qRgba(0, 0, 0, 0), qRgb(255, 0, 0), qRgba(0, 128, 255, 77), qRgb(1, 2, 3)});
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, uint((x + y) % 4));
    return image;
}

QImage deepImage()
{
    QImage image(33, 17, QImage::Format_RGBA64);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixelColor(x, y, QColor::fromRgba64(quint16(x * 1999 + 1), quint16(y * 3001 + 7),
                                                          quint16((x * y * 257) & 0xffff), quint16(65535 - x * 13)));
    return image;
}

} // namespace

class tst_FrameEncoder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void frameRoundTrip_data();
    void frameRoundTrip();
    void nullImageIsMarkerZero();
    void framesBackToBackStayInStep();
    void otherDecoderReadsSamePixels_data();
    void otherDecoderReadsSamePixels();
};

void tst_FrameEncoder::frameRoundTrip_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("colourType"); // 2: RGB, 6: RGBA

    QTest::newRow("photo-like 640x480") << photoLikeImage(640, 480, 3) << 2;
    QTest::newRow("odd width loses no column") << patternImage(641, 7, 1) << 2;
    QTest::newRow("odd width 3 px") << gradientImage(3, 5, QImage::Format_RGB32, false) << 2;
    QTest::newRow("one pixel") << gradientImage(1, 1, QImage::Format_RGB32, false) << 2;
    QTest::newRow("one row") << gradientImage(257, 1, QImage::Format_RGB32, false) << 2;
    QTest::newRow("one column, Up filter over every row") << gradientImage(1, 300, QImage::Format_RGB32, false) << 2;
    QTest::newRow("4000 px wide") << photoLikeImage(4000, 60, 5) << 2;
    QTest::newRow("alpha kept (ARGB32)") << gradientImage(99, 31, QImage::Format_ARGB32, true) << 6;
    QTest::newRow("alpha kept (premultiplied)") << gradientImage(50, 20, QImage::Format_ARGB32_Premultiplied, true) << 6;
    QTest::newRow("premultiplied, every pixel opaque")
        << gradientImage(50, 20, QImage::Format_ARGB32_Premultiplied, false) << 2;
    QTest::newRow("ARGB32 with every pixel opaque is written as RGB")
        << gradientImage(64, 16, QImage::Format_ARGB32, false) << 2;
    QTest::newRow("single clear pixel keeps alpha") << [] {
        QImage image = gradientImage(64, 16, QImage::Format_ARGB32, false);
        image.setPixel(63, 15, qRgba(10, 20, 30, 0));
        return image;
    }() << 6;
    QTest::newRow("RGB888 source, odd stride") << gradientImage(13, 11, QImage::Format_RGB888, false) << 2;
    QTest::newRow("BGR888 source, channels not swapped") << gradientImage(13, 11, QImage::Format_BGR888, false) << 2;
    QTest::newRow("RGBA8888 source") << gradientImage(21, 4, QImage::Format_RGBA8888, true) << 6;
    QTest::newRow("RGB16 source") << gradientImage(40, 40, QImage::Format_RGB16, false) << 2;
    QTest::newRow("grayscale source") << gradientImage(40, 3, QImage::Format_Grayscale8, false) << 2;
    QTest::newRow("indexed with transparent colours") << indexedWithTransparency() << 6;
    QTest::newRow("16 bits per channel not cut to 8") << deepImage() << 6;
}

void tst_FrameEncoder::frameRoundTrip()
{
    QFETCH(QImage, image);
    QFETCH(int, colourType);

    const QByteArray frame = encodeFrame(image);
    QVERIFY(frame.size() > 12 + 8);
    QCOMPARE(qFromBigEndian<qint64>(frame.constData()), qint64(frame.size() - 8));
    QCOMPARE(qFromBigEndian<qint32>(frame.constData() + 8), 1);
    const QByteArray png = frame.mid(12);
    QCOMPARE(png, writePng(image));
    QVERIFY(png.startsWith("\x89PNG\r\n\x1a\n"));
    QCOMPARE(png.mid(12, 4), QByteArray("IHDR"));
    QCOMPARE(qFromBigEndian<quint32>(png.constData() + 16), quint32(image.width()));
    QCOMPARE(qFromBigEndian<quint32>(png.constData() + 20), quint32(image.height()));
    QCOMPARE(int(png.at(25)), colourType);
    QVERIFY(png.endsWith(QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12)));

    // Qt's stream reader, the viewer's decoder, takes the marker and the PNG and nothing more.
    QDataStream stream(frame);
    qint64 length = 0;
    QImage decoded;
    stream >> length >> decoded;
    QCOMPARE(stream.status(), QDataStream::Ok);
    QVERIFY(!decoded.isNull());
    QCOMPARE(decoded.hasAlphaChannel(), colourType == 6);
    QCOMPARE(comparable(decoded, image), comparable(image, image));
}

void tst_FrameEncoder::nullImageIsMarkerZero()
{
    const QByteArray frame = encodeFrame(QImage());
    QCOMPARE(frame, QByteArray("\0\0\0\0\0\0\0\x04\0\0\0\0", 12));

    // The same bytes as Qt's own serialisation of a null image behind the length.
    QByteArray qtBody;
    QDataStream out(&qtBody, QIODevice::WriteOnly);
    out << QImage();
    QCOMPARE(frame.mid(8), qtBody);
    QVERIFY(writePng(QImage()).isEmpty());
}

void tst_FrameEncoder::framesBackToBackStayInStep()
{
    const QList<QImage> images = {patternImage(31, 17, 0), QImage(), photoLikeImage(200, 100, 9),
                                  gradientImage(5, 5, QImage::Format_ARGB32, true)};
    QByteArray stream;
    for (const QImage &image : images)
        stream += encodeFrame(image);

    QBuffer device(&stream);
    QVERIFY(device.open(QIODevice::ReadOnly));
    QDataStream in(&device);
    in.setVersion(StreamVersion);
    for (const QImage &image : images) {
        const qint64 start = device.pos();
        qint64 length = 0;
        QImage decoded;
        in >> length >> decoded;
        QCOMPARE(in.status(), QDataStream::Ok);
        QCOMPARE(device.pos(), start + 8 + length);
        QCOMPARE(decoded.isNull(), image.isNull());
        if (!image.isNull())
            QCOMPARE(comparable(decoded, image), comparable(image, image));
    }
    QVERIFY(device.atEnd());
}

void tst_FrameEncoder::otherDecoderReadsSamePixels_data()
{
    QTest::addColumn<QImage>("image");
    QTest::newRow("opaque, odd width") << photoLikeImage(333, 77, 2);
    QTest::newRow("straight alpha") << gradientImage(64, 9, QImage::Format_ARGB32, true);
}

void tst_FrameEncoder::otherDecoderReadsSamePixels()
{
    // A decoder that shares nothing with Qt's: ImageMagick, dumping raw RGBA bytes.
    const QString convert = QStandardPaths::findExecutable(QStringLiteral("convert"));
    if (convert.isEmpty())
        QSKIP("ImageMagick's convert is not installed");
    QFETCH(QImage, image);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath(QStringLiteral("frame.png")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(writePng(image));
    file.close();

    QProcess process;
    process.start(convert, {file.fileName(), QStringLiteral("-depth"), QStringLiteral("8"), QStringLiteral("rgba:-")});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray raw = process.readAllStandardOutput();
    const QImage expected = image.convertToFormat(QImage::Format_RGBA8888);
    QCOMPARE(raw.size(), qsizetype(expected.sizeInBytes()));
    QCOMPARE(raw, QByteArray(reinterpret_cast<const char *>(expected.constBits()), expected.sizeInBytes()));
}

QTEST_GUILESS_MAIN(tst_FrameEncoder)
#include "tst_frameencoder.moc"
