#include "capturearea.h"

#include <QTest>

class tst_CaptureArea : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void intervalIsTruncatedNeverRounded_data();
    void intervalIsTruncatedNeverRounded();
    void intervalMatchesIntegerQuotientForEveryRate();
    void areaIsOrderedAndClipped_data();
    void areaIsOrderedAndClipped();
    void areaIsClippedToTheWholeDesktop_data();
    void areaIsClippedToTheWholeDesktop();
};

void tst_CaptureArea::intervalIsTruncatedNeverRounded_data()
{
    QTest::addColumn<int>("fps");
    QTest::addColumn<int>("interval");
    QTest::newRow("1 fps") << 1 << 1000;
    QTest::newRow("7 fps (142.86 truncated)") << 7 << 142;
    QTest::newRow("10 fps") << 10 << 100;
    QTest::newRow("15 fps (66.67 truncated)") << 15 << 66;
    QTest::newRow("20 fps") << 20 << 50;
    QTest::newRow("25 fps") << 25 << 40;
    QTest::newRow("30 fps (33.33 truncated)") << 30 << 33;
    QTest::newRow("40 fps") << 40 << 25;
    QTest::newRow("50 fps") << 50 << 20;
    QTest::newRow("59 fps (16.95 truncated)") << 59 << 16;
    QTest::newRow("60 fps (16.67 truncated)") << 60 << 16;
}

void tst_CaptureArea::intervalIsTruncatedNeverRounded()
{
    QFETCH(int, fps);
    QFETCH(int, interval);
    QCOMPARE(captureIntervalMs(fps), interval);
}

void tst_CaptureArea::intervalMatchesIntegerQuotientForEveryRate()
{
    for (int fps = 1; fps <= 60; ++fps)
        QCOMPARE(captureIntervalMs(fps), 1000 / fps);
}

void tst_CaptureArea::areaIsOrderedAndClipped_data()
{
    QTest::addColumn<QRect>("selection");
    QTest::addColumn<QRect>("expected");
    const auto edges = [](int l, int t, int r, int b) { return QRect(QPoint(l, t), QPoint(r, b)); };
    QTest::newRow("default selection inside the screen") << QRect(0, 0, 640, 480) << QRect(0, 0, 640, 480);
    QTest::newRow("equal left and right edges: one pixel wide") << edges(10, 10, 10, 20) << QRect(10, 10, 1, 11);
    QTest::newRow("runs past the right and bottom edges") << QRect(1800, 1000, 300, 200) << QRect(1800, 1000, 120, 80);
    QTest::newRow("starts left of and above the screen") << QRect(-50, -20, 100, 60) << QRect(0, 0, 50, 40);
    QTest::newRow("right edge dragged across the left one") << edges(100, 10, 90, 19) << QRect(90, 10, 11, 10);
    QTest::newRow("bottom edge dragged across the top one") << edges(5, 50, 14, 40) << QRect(5, 40, 10, 11);
    QTest::newRow("wholly off the screen") << QRect(2000, 0, 100, 100) << QRect();
    QTest::newRow("wholly above the screen") << QRect(0, -300, 100, 100) << QRect();
    QTest::newRow("covers more than the screen") << QRect(-10, -10, 5000, 5000) << QRect(0, 0, 1920, 1080);
}

void tst_CaptureArea::areaIsOrderedAndClipped()
{
    QFETCH(QRect, selection);
    QFETCH(QRect, expected);
    const QRect area = captureArea(selection, QRect(0, 0, 1920, 1080));
    if (expected.isNull())
        QVERIFY(area.isEmpty());
    else
        QCOMPARE(area, expected);
}

void tst_CaptureArea::areaIsClippedToTheWholeDesktop_data()
{
    QTest::addColumn<QList<QRect>>("screens");
    QTest::addColumn<QRect>("selection");
    QTest::addColumn<QRect>("expected");
    const QList<QRect> sideBySide{QRect(0, 0, 1280, 1024), QRect(1280, 0, 1920, 1080)};
    const QList<QRect> secondOnTheLeft{QRect(0, 0, 1280, 1024), QRect(-1920, 0, 1920, 1080)};
    QTest::newRow("one screen as before") << QList<QRect>{QRect(0, 0, 1920, 1080)} << QRect(1800, 1000, 300, 200)
                                          << QRect(1800, 1000, 120, 80);
    QTest::newRow("wholly on the second monitor") << sideBySide << QRect(1500, 100, 200, 100) << QRect(1500, 100, 200, 100);
    QTest::newRow("spanning both monitors") << sideBySide << QRect(1180, 100, 200, 100) << QRect(1180, 100, 200, 100);
    QTest::newRow("past the second monitor's right edge") << sideBySide << QRect(3100, 100, 200, 50)
                                                          << QRect(3100, 100, 100, 50);
    QTest::newRow("below the shorter monitor: the desktop's bounding rectangle")
        << sideBySide << QRect(100, 1000, 50, 100) << QRect(100, 1000, 50, 80);
    QTest::newRow("second monitor left of the primary") << secondOnTheLeft << QRect(-100, 10, 200, 20)
                                                        << QRect(-100, 10, 200, 20);
    QTest::newRow("past the left monitor's left edge") << secondOnTheLeft << QRect(-2000, 10, 200, 20)
                                                       << QRect(-1920, 10, 120, 20);
    QTest::newRow("beyond every monitor") << sideBySide << QRect(3300, 0, 100, 100) << QRect();
    QTest::newRow("no screens: nothing to capture") << QList<QRect>{} << QRect(0, 0, 100, 100) << QRect();
}

void tst_CaptureArea::areaIsClippedToTheWholeDesktop()
{
    QFETCH(QList<QRect>, screens);
    QFETCH(QRect, selection);
    QFETCH(QRect, expected);
    const QRect area = captureArea(selection, screens);
    if (expected.isNull())
        QVERIFY(area.isEmpty());
    else
        QCOMPARE(area, expected);
}

QTEST_GUILESS_MAIN(tst_CaptureArea)
#include "tst_capturearea.moc"
