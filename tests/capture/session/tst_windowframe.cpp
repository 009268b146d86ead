// A run's fitter scales again only the rows of bands that changed: whatever changed, its result
// must be exactly what fitting the whole image afresh gives.
#include "testsupport.h"
#include "windowframe.h"

#include <QTest>

class tst_WindowFrame : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void fitterEqualsAFreshFit_data();
    void fitterEqualsAFreshFit();
};

void tst_WindowFrame::fitterEqualsAFreshFit_data()
{
    QTest::addColumn<QSize>("window");
    QTest::addColumn<QRect>("changed"); // painted over between the two frames
    QTest::addColumn<QSize>("nextWindow");
    QTest::newRow("shrunk, one band at the top changed") << QSize(703, 411) << QRect(0, 0, 703, 16) << QSize(703, 411);
    QTest::newRow("shrunk, a few rows across two bands") << QSize(703, 411) << QRect(100, 30, 5, 4) << QSize(703, 411);
    QTest::newRow("shrunk, the last short band") << QSize(703, 411) << QRect(0, 405, 1, 6) << QSize(703, 411);
    QTest::newRow("grown, a band in the middle") << QSize(150, 97) << QRect(0, 48, 150, 16) << QSize(150, 97);
    QTest::newRow("nothing changed") << QSize(640, 480) << QRect() << QSize(640, 480);
    QTest::newRow("resized again: a new place in the frame") << QSize(640, 480) << QRect() << QSize(500, 120);
}

void tst_WindowFrame::fitterEqualsAFreshFit()
{
    QFETCH(QSize, window);
    QFETCH(QRect, changed);
    QFETCH(QSize, nextWindow);
    const QSize frame(320, 240);

    const QImage first = patternImage(window.width(), window.height(), 1).convertToFormat(QImage::Format_RGB32);
    QImage second = nextWindow == window ? first.copy()
                                         : patternImage(nextWindow.width(), nextWindow.height(), 2).convertToFormat(QImage::Format_RGB32);
    for (int y = changed.top(); y <= changed.bottom(); ++y) {
        for (int x = changed.left(); x <= changed.right(); ++x)
            second.setPixel(x, y, ~second.pixel(x, y) | 0xff000000u);
    }

    FrameFitter fitter;
    const QImage fittedFirst = fitter.fit(first, frame);
    QCOMPARE(fittedFirst, fitIntoFrame(first, frame));
    const QImage fittedSecond = fitter.fit(second, frame);
    QCOMPARE(fittedSecond.size(), frame);
    QCOMPARE(fittedSecond, fitIntoFrame(second, frame));
    QCOMPARE(fittedFirst, fitIntoFrame(first, frame)); // the frame handed on before is left alone
}

QTEST_MAIN(tst_WindowFrame)
#include "tst_windowframe.moc"
