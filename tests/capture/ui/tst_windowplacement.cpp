#include "windowplacement.h"

#include <QTest>

class tst_WindowPlacement : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void placeOutside_data();
    void placeOutside();
    void placeOutsideOnMonitors_data();
    void placeOutsideOnMonitors();
    void fittedPreviewSize_data();
    void fittedPreviewSize();
};

void tst_WindowPlacement::placeOutside_data()
{
    const QRect screen(0, 0, 1920, 1080);
    const QSize minimum(300, 300);
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QRect>("expected"); // null: no place

    QTest::newRow("clear of the area: stays") << screen << QRect(1000, 0, 560, 640) << minimum
                                               << QRect(0, 0, 640, 480) << QRect(1000, 0, 560, 640);
    QTest::newRow("over the default area: just right of it") << screen << QRect(0, 0, 662, 730) << minimum
                                                             << QRect(0, 0, 640, 480) << QRect(640, 0, 662, 730);
    QTest::newRow("the largest band wins over the nearest") << screen << QRect(300, 100, 600, 600) << minimum
                                                            << QRect(700, 0, 200, 1080) << QRect(900, 100, 600, 600);
    QTest::newRow("the largest band is too narrow: the one that holds it")
        << screen << QRect(400, 500, 400, 140) << QSize(100, 100) << QRect(300, 0, 1620, 930)
        << QRect(400, 930, 400, 140);
    QTest::newRow("no band holds it whole: shrunk into one that holds its minimum")
        << screen << QRect(0, 0, 600, 400) << minimum << QRect(0, 0, 1500, 1080) << QRect(1500, 0, 420, 400);
    QTest::newRow("off the screen beside the area: brought back") << screen << QRect(1800, 0, 560, 640) << minimum
                                                                  << QRect(0, 0, 640, 480) << QRect(1360, 0, 560, 640);
    QTest::newRow("a panel above: stays below it") << QRect(0, 30, 1920, 1050) << QRect(0, 0, 600, 600) << minimum
                                                   << QRect(0, 0, 640, 480) << QRect(640, 30, 600, 600);
    QTest::newRow("area covers the screen: no place") << screen << QRect(0, 0, 600, 400) << minimum << screen
                                                      << QRect();
    QTest::newRow("area beyond every edge: no place") << screen << QRect(0, 0, 600, 400) << minimum
                                                      << QRect(-100, -100, 3000, 3000) << QRect();
    QTest::newRow("bands narrower than the minimum: no place") << screen << QRect(0, 0, 600, 400) << minimum
                                                               << QRect(200, 200, 1520, 680) << QRect();
}

void tst_WindowPlacement::placeOutside()
{
    QFETCH(QRect, available);
    QFETCH(QRect, frame);
    QFETCH(QSize, minimum);
    QFETCH(QRect, area);
    QFETCH(QRect, expected);

    const std::optional<QRect> placed = ::placeOutside(available, frame, minimum, area);
    QCOMPARE(placed.has_value(), !expected.isNull());
    if (!placed)
        return;
    QCOMPARE(*placed, expected);
    QVERIFY(!placed->intersects(area));
    QVERIFY(available.contains(*placed));
}

void tst_WindowPlacement::placeOutsideOnMonitors_data()
{
    const QRect left(0, 0, 1280, 1024);
    const QRect right(1280, 0, 1280, 1024);
    const QSize minimum(300, 300);
    QTest::addColumn<QList<QRect>>("monitors");
    QTest::addColumn<QRect>("frame");
    QTest::addColumn<QSize>("minimum");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QRect>("expected"); // null: no place

    QTest::newRow("area on the second monitor, window over it: beside the area there")
        << QList<QRect>{left, right} << QRect(1300, 0, 600, 700) << minimum << QRect(1280, 0, 640, 480)
        << QRect(1920, 0, 600, 700);
    QTest::newRow("straddling the monitors and clear of the area: brought onto the one it mostly covers")
        << QList<QRect>{left, right} << QRect(1000, 100, 600, 700) << minimum << QRect(2000, 800, 100, 100)
        << QRect(1280, 100, 600, 700);
    QTest::newRow("area fills the second monitor: onto the first")
        << QList<QRect>{left, right} << QRect(1500, 100, 600, 700) << minimum << right << QRect(680, 100, 600, 700);
    QTest::newRow("no room on its monitor: whole on the other rather than shrunk")
        << QList<QRect>{left, right} << QRect(100, 100, 600, 700) << minimum << QRect(0, 0, 1000, 1024)
        << QRect(1280, 100, 600, 700);
    QTest::newRow("the whole desktop captured: no place")
        << QList<QRect>{left, right} << QRect(100, 100, 600, 700) << minimum << QRect(0, 0, 2560, 1024) << QRect();
}

void tst_WindowPlacement::placeOutsideOnMonitors()
{
    QFETCH(QList<QRect>, monitors);
    QFETCH(QRect, frame);
    QFETCH(QSize, minimum);
    QFETCH(QRect, area);
    QFETCH(QRect, expected);

    const std::optional<QRect> placed = ::placeOutside(monitors, frame, minimum, area);
    QCOMPARE(placed.has_value(), !expected.isNull());
    if (placed)
        QCOMPARE(*placed, expected);
}

void tst_WindowPlacement::fittedPreviewSize_data()
{
    QTest::addColumn<QSize>("preferred");
    QTest::addColumn<QSize>("room");
    QTest::addColumn<QSize>("expected");
    QTest::newRow("room enough: the preferred size") << QSize(640, 480) << QSize(1000, 800) << QSize(640, 480);
    QTest::newRow("short room: as high as it allows, same aspect") << QSize(640, 480) << QSize(900, 250)
                                                                  << QSize(333, 250);
    QTest::newRow("narrow room: as wide as it allows, same aspect") << QSize(640, 480) << QSize(320, 900)
                                                                   << QSize(320, 240);
}

void tst_WindowPlacement::fittedPreviewSize()
{
    QFETCH(QSize, preferred);
    QFETCH(QSize, room);
    QFETCH(QSize, expected);
    QCOMPARE(::fittedPreviewSize(preferred, room), expected);
}

QTEST_GUILESS_MAIN(tst_WindowPlacement)
#include "tst_windowplacement.moc"
