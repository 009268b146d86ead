#include "jpegcodec.h"
#include "testsupport.h"

#include <QImageReader>
#include <QTest>

class tst_JpegCodec : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void readsBackWhatItWrote_data();
    void readsBackWhatItWrote();
    void decodesSmallButNeverBelowTheSizeAsked_data();
    void decodesSmallButNeverBelowTheSizeAsked();
    void refusesBadInput_data();
    void refusesBadInput();
};

void tst_JpegCodec::readsBackWhatItWrote_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<int>("quality");
    QTest::addColumn<bool>("full");
    QTest::addColumn<double>("minimumPsnr");
    QTest::newRow("history settings on a photo") << photoLikeImage(640, 480) << 95 << true << 38.0;
    QTest::newRow("history settings on colourful blocks") << patternImage(333, 77) << 95 << true << 38.0;
    QTest::newRow("file settings on a photo") << photoLikeImage(640, 480) << -1 << false << 30.0;
    QTest::newRow("RGB888 source") << photoLikeImage(99, 101).convertToFormat(QImage::Format_RGB888) << 95 << true << 38.0;
}

void tst_JpegCodec::readsBackWhatItWrote()
{
    QFETCH(QImage, image);
    QFETCH(int, quality);
    QFETCH(bool, full);
    QFETCH(double, minimumPsnr);
    const QByteArray jpeg = encodeJpeg(image, quality, full ? ChromaSubsampling::Full : ChromaSubsampling::Half);
    QVERIFY(jpeg.startsWith("\xff\xd8"));
    const QImage ours = decodeJpeg(jpeg);
    const QImage qts = QImage::fromData(jpeg, "jpg"); // any reader takes the file
    QCOMPARE(ours.size(), image.size());
    QCOMPARE(qts.size(), image.size());
    QVERIFY(psnr(ours, image) >= minimumPsnr);
    QVERIFY(psnr(qts, image) >= minimumPsnr);
}

void tst_JpegCodec::decodesSmallButNeverBelowTheSizeAsked_data()
{
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("no size asked: whole") << QSize() << QSize(1920, 1080);
    QTest::newRow("half size fits exactly") << QSize(960, 540) << QSize(960, 540);
    QTest::newRow("preview of 640x480: half") << QSize(640, 480) << QSize(960, 540);
    QTest::newRow("just above half: five eighths") << QSize(1000, 600) << QSize(1200, 675);
    QTest::newRow("tiny: one eighth") << QSize(10, 10) << QSize(240, 135);
    QTest::newRow("larger than the frame: whole, never enlarged") << QSize(3840, 2160) << QSize(1920, 1080);
}

void tst_JpegCodec::decodesSmallButNeverBelowTheSizeAsked()
{
    QFETCH(QSize, minimum);
    QFETCH(QSize, expected);
    const QImage image = photoLikeImage(1920, 1080, 4);
    const QImage decoded = decodeJpeg(encodeJpeg(image, 95, ChromaSubsampling::Full), minimum);
    QCOMPARE(decoded.size(), expected);
    QVERIFY(psnr(decoded, image.scaled(expected, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)) > 30);
}

void tst_JpegCodec::refusesBadInput_data()
{
    QTest::addColumn<QByteArray>("data");
    const QByteArray good = encodeJpeg(patternImage(64, 48), 90, ChromaSubsampling::Full);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not a JPEG") << QByteArray("\x89PNG\r\n\x1a\n and more");
    QTest::newRow("header only") << good.left(20);
    QTest::newRow("truncated in the image data") << good.left(good.size() / 2);
    // A frame header claiming 60000 x 60000 pixels (13 GB) must be refused before allocating.
    QByteArray huge = good;
    const int sof = int(huge.indexOf("\xff\xc0"));
    QVERIFY(sof > 0);
    huge[sof + 5] = char(0xea);
    huge[sof + 6] = char(0x60);
    huge[sof + 7] = char(0xea);
    huge[sof + 8] = char(0x60);
    QTest::newRow("claims 60000x60000 pixels") << huge;
}

void tst_JpegCodec::refusesBadInput()
{
    QFETCH(QByteArray, data);
    QVERIFY(encodeJpeg(QImage(), 90, ChromaSubsampling::Full).isEmpty());
    const QImage image = decodeJpeg(data);
    // Truncated data may still decode to a partial picture; it must never be oversized.
    QVERIFY(image.isNull() || qint64(image.width()) * image.height() <= 64 * 48);
}

QTEST_MAIN(tst_JpegCodec)
#include "tst_jpegcodec.moc"
