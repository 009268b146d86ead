#include "glformat.h"
#include "screengrabber.h"
#include "testsupport.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QTest>

#include <cmath>
#include <memory>

namespace {

// Every pixel differs from each of its neighbours and from the pixels a few steps away, so a
// grab that is shifted, scaled or cropped by a single device pixel does not match.
QRgb patternPixel(int x, int y, int seed)
{
    return qRgb((x * 7 + y * 3 + seed) & 0xff, (x ^ (y * 5)) & 0xff,
                ((x >> 8) * 41 + (y >> 8) * 97 + x + y * 11 + seed * 3) & 0xff);
}

QImage devicePattern(const QSize &deviceSize, qreal devicePixelRatio, int seed)
{
    QImage image(deviceSize, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = patternPixel(x, y, seed);
    }
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

// Compares the stored 32-bit words, padding byte included; empty when identical.
QString firstDifference(const QImage &actual, const QImage &expected)
{
    if (actual.size() != expected.size())
        return QStringLiteral("size %1x%2, expected %3x%4")
            .arg(actual.width()).arg(actual.height()).arg(expected.width()).arg(expected.height());
    if (actual.format() != expected.format())
        return QStringLiteral("format %1, expected %2").arg(actual.format()).arg(expected.format());
    for (int y = 0; y < actual.height(); ++y) {
        const auto *a = reinterpret_cast<const quint32 *>(actual.constScanLine(y));
        const auto *e = reinterpret_cast<const quint32 *>(expected.constScanLine(y));
        for (int x = 0; x < actual.width(); ++x) {
            if (a[x] != e[x])
                return QStringLiteral("pixel (%1,%2) is %3, expected %4")
                    .arg(x).arg(y).arg(a[x], 8, 16, QLatin1Char('0')).arg(e[x], 8, 16, QLatin1Char('0'));
        }
    }
    return {};
}

QImage referenceGrab(QScreen *screen, const QRect &area)
{
    const QPoint offset = area.topLeft() - screen->geometry().topLeft();
    return screen->grabWindow(0, offset.x(), offset.y(), area.width(), area.height()).toImage();
}

} // namespace

class tst_ScreenGrabber : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void initTestCase();
    void sharedMemoryPathTakenOnX11();
    void sameAsGrabWindowAndPattern_data();
    void sameAsGrabWindowAndPattern();
    void seesWindowsOpenedAndClosed();
    void areaReachingBeyondTheScreen();

private:
    // What a grab of `deviceSize` device pixels from `deviceTopLeft` shows: the pattern, whose
    // top-left corner sits at m_patternOrigin, and opaque black beyond the screen's edge.
    [[nodiscard]] QImage expectedPattern(const QPoint &deviceTopLeft, const QSize &deviceSize, int seed) const;
    [[nodiscard]] bool patternShown(const QRect &area, int seed) const;

    QScreen *m_screen = nullptr;
    qreal m_ratio = 1;
    // Logical position of the pattern window: even, so that it lies on whole device pixels at
    // the scale factors the tests run with (1, 1.5, 2).
    const QPoint m_windowPos{8, 16};
    QPoint m_patternOrigin;
    QRect m_deviceScreen;
    std::unique_ptr<PatternWindow> m_window;
};

QImage tst_ScreenGrabber::expectedPattern(const QPoint &deviceTopLeft, const QSize &deviceSize, int seed) const
{
    QImage image(deviceSize, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QPoint device = deviceTopLeft + QPoint(x, y);
            line[x] = m_deviceScreen.contains(device)
                          ? patternPixel(device.x() - m_patternOrigin.x(), device.y() - m_patternOrigin.y(), seed)
                          : qRgb(0, 0, 0);
        }
    }
    return image;
}

bool tst_ScreenGrabber::patternShown(const QRect &area, int seed) const
{
    const QImage grabbed = referenceGrab(m_screen, area);
    const QPoint deviceTopLeft(qRound(area.x() * m_ratio), qRound(area.y() * m_ratio));
    return firstDifference(grabbed, expectedPattern(deviceTopLeft, grabbed.size(), seed)).isEmpty();
}

void tst_ScreenGrabber::initTestCase()
{
    m_screen = QGuiApplication::primaryScreen();
    QVERIFY(m_screen);
    // The second and third runs of this test set QT_SCALE_FACTOR; make sure it took effect.
    const double requested = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                                 ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble()
                                 : 1.0;
    m_ratio = m_screen->devicePixelRatio();
    QCOMPARE(m_ratio, requested);
    QCOMPARE(m_screen->geometry().topLeft(), QPoint(0, 0));

    // A pattern window from m_windowPos to the screen's bottom-right corner, painted 1:1 in
    // device pixels.
    const QSize logicalSize = m_screen->geometry().size() - QSize(m_windowPos.x(), m_windowPos.y());
    const QSize deviceSize(qRound(logicalSize.width() * m_ratio), qRound(logicalSize.height() * m_ratio));
    m_deviceScreen = QRect(QPoint(0, 0), QSize(qRound(m_screen->geometry().width() * m_ratio),
                                               qRound(m_screen->geometry().height() * m_ratio)));
    m_patternOrigin = QPoint(qRound(m_windowPos.x() * m_ratio), qRound(m_windowPos.y() * m_ratio));
    m_window = std::make_unique<PatternWindow>(devicePattern(deviceSize, m_ratio, 0), m_windowPos);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    QTRY_VERIFY(patternShown(m_window->geometry(), 0));
}

void tst_ScreenGrabber::sharedMemoryPathTakenOnX11()
{
    // Under Xvfb (24-bit, MIT-SHM on a local socket) nothing should force the slow path.
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        QSKIP("not on the xcb platform");
    QVERIFY(sharedMemoryGrabAvailable());
    const QImage grabbed = grabScreenAreaSharedMemory(m_screen, QRect(20, 30, 64, 48));
    QVERIFY(!grabbed.isNull());
    QVERIFY(sharedMemoryGrabAvailable());
}

void tst_ScreenGrabber::sameAsGrabWindowAndPattern_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<bool>("insidePattern");

    const QRect screen = m_screen->geometry();
    const int w = screen.width();
    const int h = screen.height();
    const QPoint p = m_windowPos;
    // Rows run in this order: the full-screen grabs make the segment grow before the small
    // ones reuse it, so a stride or size taken from the segment instead of the area shows.
    QTest::newRow("origin and scale of the device mapping") << QRect(10, 20, 100, 80) << true;
    QTest::newRow("whole screen, root background around the pattern") << screen << false;
    QTest::newRow("whole pattern window") << QRect(p, screen.bottomRight()) << true;
    QTest::newRow("one pixel after a larger grab") << QRect(p.x() + 10, p.y() + 7, 1, 1) << true;
    QTest::newRow("odd size at odd offset, row stride") << QRect(p.x() + 3, p.y() + 5, 101, 77) << true;
    QTest::newRow("single row") << QRect(p.x() + 1, p.y() + 40, 333, 1) << true;
    QTest::newRow("single column") << QRect(p.x() + 57, p.y() + 2, 1, 211) << true;
    QTest::newRow("touching the right edge") << QRect(w - 57, 300, 57, 41) << true;
    QTest::newRow("touching the bottom edge") << QRect(200, h - 33, 71, 33) << true;
    QTest::newRow("bottom-right corner block") << QRect(w - 123, h - 45, 123, 45) << true;
    QTest::newRow("bottom-right corner pixel") << QRect(w - 1, h - 1, 1, 1) << true;
    QTest::newRow("full-width strip to the bottom") << QRect(0, h - 7, w, 7) << false;
    QTest::newRow("straddling the pattern's top-left corner") << QRect(p.x() - 5, p.y() - 5, 21, 19) << false;
    QTest::newRow("screen's top-left corner pixel") << QRect(0, 0, 1, 1) << false;
}

void tst_ScreenGrabber::sameAsGrabWindowAndPattern()
{
    QFETCH(QRect, area);
    QFETCH(bool, insidePattern);
    QVERIFY(m_screen->geometry().contains(area));

    const QImage reference = referenceGrab(m_screen, area);
    QCOMPARE(reference.format(), QImage::Format_RGB32);
    const QSize deviceSize(qRound(area.width() * m_ratio), qRound(area.height() * m_ratio));
    QCOMPARE(reference.size(), deviceSize);

    if (sharedMemoryGrabAvailable()) {
        const QImage shared = grabScreenAreaSharedMemory(m_screen, area);
        QVERIFY(!shared.isNull());
        QCOMPARE(shared.devicePixelRatio(), reference.devicePixelRatio());
        const QString difference = firstDifference(shared, reference);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }

    // What the recorder calls, whichever path it takes.
    const QImage grabbed = grabScreenArea(m_screen, area);
    QCOMPARE(grabbed.devicePixelRatio(), m_ratio);
    const QString pixmapDifference = firstDifference(grabbed, reference);
    QVERIFY2(pixmapDifference.isEmpty(), qPrintable(pixmapDifference));

    if (insidePattern) {
        const QPoint deviceTopLeft(qRound(area.x() * m_ratio), qRound(area.y() * m_ratio));
        const QString difference = firstDifference(grabbed, expectedPattern(deviceTopLeft, deviceSize, 0));
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
    }
}

void tst_ScreenGrabber::seesWindowsOpenedAndClosed()
{
    // A window opened over part of the pattern must show in the next grab, and the pattern
    // again once it is gone: nothing is cached between grabs.
    const QRect area(m_windowPos + QPoint(30, 20), QSize(120, 90));
    const QPoint overPos = area.topLeft() + QPoint(10, 10);
    const QSize overDevice(qRound(60 * m_ratio), qRound(40 * m_ratio));
    auto over = std::make_unique<PatternWindow>(devicePattern(overDevice, m_ratio, 99), overPos);
    over->show();
    QVERIFY(QTest::qWaitForWindowExposed(over.get()));
    QTRY_VERIFY(!patternShown(area, 0));

    const QRect overArea(overPos, over->size());
    const QString overDifference =
        firstDifference(grabScreenArea(m_screen, overArea), devicePattern(overDevice, 1, 99));
    QVERIFY2(overDifference.isEmpty(), qPrintable(overDifference));
    const QString areaDifference =
        firstDifference(grabScreenArea(m_screen, area), referenceGrab(m_screen, area));
    QVERIFY2(areaDifference.isEmpty(), qPrintable(areaDifference));

    over.reset();
    QTRY_VERIFY(patternShown(area, 0));
    const QPoint deviceTopLeft(qRound(area.x() * m_ratio), qRound(area.y() * m_ratio));
    const QImage grabbed = grabScreenArea(m_screen, area);
    const QString difference = firstDifference(grabbed, expectedPattern(deviceTopLeft, grabbed.size(), 0));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
}

void tst_ScreenGrabber::areaReachingBeyondTheScreen()
{
    // At a fractional scale factor grabWindow's rounding can reach a device pixel past the
    // screen's edge (and the screen may shrink under a running recorder): the part on the
    // screen is grabbed, the rest is opaque black, as grabWindow gives it here.
    if (!sharedMemoryGrabAvailable())
        QSKIP("no shared-memory path on this platform");
    const QRect screen = m_screen->geometry();
    const QRect area(screen.right() - 9, screen.bottom() - 4, 20, 10);
    const QImage shared = grabScreenAreaSharedMemory(m_screen, area);
    QVERIFY(!shared.isNull());
    const QString difference = firstDifference(shared, referenceGrab(m_screen, area));
    QVERIFY2(difference.isEmpty(), qPrintable(difference));

    const QPoint deviceTopLeft(qRound(area.x() * m_ratio), qRound(area.y() * m_ratio));
    const QString patternDifference = firstDifference(shared, expectedPattern(deviceTopLeft, shared.size(), 0));
    QVERIFY2(patternDifference.isEmpty(), qPrintable(patternDifference));

    // Wholly off the screen: this grab fails alone, the path stays on for the next one.
    QVERIFY(grabScreenAreaSharedMemory(m_screen, QRect(screen.right() + 5, 0, 10, 10)).isNull());
    QVERIFY(sharedMemoryGrabAvailable());
    QVERIFY(!grabScreenAreaSharedMemory(m_screen, QRect(screen.right() - 9, 0, 10, 10)).isNull());
}

QTEST_MAIN(tst_ScreenGrabber)
#include "tst_screengrabber.moc"
