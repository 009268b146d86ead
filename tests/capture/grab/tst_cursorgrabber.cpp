// Drawing the mouse pointer into a frame: shape, hot spot, clipping at each edge of the frame
// and premultiplied alpha.
#include "cursorgrabber.h"

#include <QTest>

namespace {

constexpr QRgb background = 0xffc86428; // (200, 100, 40)
const QPoint frameOrigin(100, 50);      // the frame shows the root window from here on
const QSize frameSize(8, 6);

// 3x3 opaque pixels, each its own colour, except a fully transparent top-right corner.
QImage shape()
{
    QImage image(3, 3, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x)
            image.setPixel(x, y, qRgb(10 + x * 30, 20 + y * 30, 200));
    image.setPixel(2, 0, 0);
    return image;
}

QImage filledFrame(QRgb colour)
{
    QImage frame(frameSize, QImage::Format_RGB32);
    frame.fill(colour);
    return frame;
}

} // namespace

class tst_CursorGrabber : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void shapeLandsAtHotSpotClipped_data();
    void shapeLandsAtHotSpotClipped();
    void blendsPremultipliedAlpha_data();
    void blendsPremultipliedAlpha();
};

void tst_CursorGrabber::shapeLandsAtHotSpotClipped_data()
{
    QTest::addColumn<QPoint>("position");
    QTest::addColumn<QPoint>("hotSpot");
    QTest::addColumn<QPoint>("topLeft"); // where the shape's pixel (0,0) must land in the frame
    QTest::newRow("hot spot at the top-left corner") << QPoint(103, 52) << QPoint(0, 0) << QPoint(3, 2);
    QTest::newRow("hot spot inside: shape moves up and left") << QPoint(103, 52) << QPoint(1, 2) << QPoint(2, 0);
    QTest::newRow("frame origin subtracted") << QPoint(100, 50) << QPoint(0, 0) << QPoint(0, 0);
    QTest::newRow("clipped at the left edge") << QPoint(100, 52) << QPoint(1, 0) << QPoint(-1, 2);
    QTest::newRow("clipped at the top edge") << QPoint(103, 50) << QPoint(0, 2) << QPoint(3, -2);
    QTest::newRow("clipped at the right edge") << QPoint(107, 52) << QPoint(0, 0) << QPoint(7, 2);
    QTest::newRow("clipped at the bottom edge") << QPoint(103, 55) << QPoint(0, 0) << QPoint(3, 5);
    QTest::newRow("left of the frame: unchanged") << QPoint(97, 52) << QPoint(0, 0) << QPoint(-3, 2);
    QTest::newRow("on another monitor: unchanged") << QPoint(1500, 700) << QPoint(0, 0) << QPoint(1400, 650);
}

void tst_CursorGrabber::shapeLandsAtHotSpotClipped()
{
    QFETCH(QPoint, position);
    QFETCH(QPoint, hotSpot);
    QFETCH(QPoint, topLeft);
    const QImage cursorShape = shape();
    QImage frame = filledFrame(background);
    frame.setDevicePixelRatio(2);

    const QImage drawn = drawCursor(frame, frameOrigin, CursorImage{cursorShape, position, hotSpot});
    QCOMPARE(drawn.format(), QImage::Format_RGB32);
    QCOMPARE(drawn.size(), frameSize);
    QCOMPARE(drawn.devicePixelRatio(), 2.0);
    QCOMPARE(frame.pixel(0, 0), background); // the caller's copy is left alone
    for (int y = 0; y < frameSize.height(); ++y) {
        for (int x = 0; x < frameSize.width(); ++x) {
            const QPoint inShape = QPoint(x, y) - topLeft;
            const bool covered = QRect(QPoint(0, 0), cursorShape.size()).contains(inShape)
                                 && qAlpha(cursorShape.pixel(inShape)) == 255;
            const QRgb expected = covered ? cursorShape.pixel(inShape) : background;
            QVERIFY2(drawn.pixel(x, y) == expected,
                     qPrintable(QStringLiteral("pixel (%1,%2) is %3").arg(x).arg(y).arg(drawn.pixel(x, y), 8, 16)));
        }
    }
}

void tst_CursorGrabber::blendsPremultipliedAlpha_data()
{
    QTest::addColumn<QRgb>("frameColour");
    QTest::addColumn<QRgb>("cursorPixel"); // premultiplied ARGB, as the X server sends it
    QTest::addColumn<QRgb>("expected");
    QTest::newRow("opaque replaces") << background << QRgb(0xff102030) << QRgb(0xff102030);
    QTest::newRow("transparent keeps") << background << QRgb(0x00000000) << background;
    // 0x40 + 200 * 127 / 255 = 163.6; 0x20 + 100 * 127 / 255 = 81.8; 40 * 127 / 255 = 19.9
    QTest::newRow("half alpha adds the premultiplied colour") << background << QRgb(0x80402000) << qRgb(164, 82, 20);
    QTest::newRow("colour beyond its alpha saturates, never wraps") << background << QRgb(0x10ff0000) << qRgb(255, 94, 37);
    QTest::newRow("opaque alpha in the frame is kept") << QRgb(0xff000000) << QRgb(0x80808080) << qRgb(128, 128, 128);
}

void tst_CursorGrabber::blendsPremultipliedAlpha()
{
    QFETCH(QRgb, frameColour);
    QFETCH(QRgb, cursorPixel);
    QFETCH(QRgb, expected);
    QImage pixel(1, 1, QImage::Format_ARGB32_Premultiplied);
    pixel.setPixel(0, 0, cursorPixel);
    const QImage drawn = drawCursor(filledFrame(frameColour), frameOrigin,
                                    CursorImage{pixel, frameOrigin + QPoint(4, 3), QPoint(0, 0)});
    QCOMPARE(QString::number(drawn.pixel(4, 3), 16), QString::number(expected, 16));
    QCOMPARE(drawn.pixel(3, 3), frameColour);
}

QTEST_GUILESS_MAIN(tst_CursorGrabber)
#include "tst_cursorgrabber.moc"
