// Every monitor: run through twomonitors.sh, on a desktop of two monitors side by side. The
// selection window covers both with a snapshot of both, and capture_server captures an area on
// either monitor or across the two, clipped to the desktop, with exactly the screen's pixels.
#include "configwindow.h"
#include "glformat.h"
#include "jpegcodec.h"
#include "selectionwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QImageReader>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QRect leftMonitor(0, 0, 1280, 1024);
const QRect rightMonitor(1280, 0, 1280, 1024);

QString areaText(const QRect &r)
{
    return QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

} // namespace

class tst_E2eMonitors : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void initTestCase();
    void areaOnAnyMonitorIsCaptured_data();
    void areaOnAnyMonitorIsCaptured();
    void selectionCoversEveryMonitor();
    void windowKeepsOutOfAnAreaOnAnyMonitor_data();
    void windowKeepsOutOfAnAreaOnAnyMonitor();
};

void tst_E2eMonitors::initTestCase()
{
    QList<QRect> screens;
    for (const QScreen *screen : QGuiApplication::screens())
        screens.append(screen->geometry());
    QVERIFY2(screens == (QList<QRect>{leftMonitor, rightMonitor}),
             "expects the two monitors twomonitors.sh sets up; run it through ctest");
    QCOMPARE(QGuiApplication::primaryScreen()->geometry(), leftMonitor);
}

void tst_E2eMonitors::areaOnAnyMonitorIsCaptured_data()
{
    QTest::addColumn<QRect>("patternRect"); // where the pattern window sits
    QTest::addColumn<QRect>("selection");   // what --area asks for
    QTest::addColumn<QRect>("expected");    // what must be in the file
    QTest::newRow("across the two monitors") << QRect(1080, 100, 400, 300) << QRect(1180, 150, 200, 150)
                                             << QRect(1180, 150, 200, 150);
    QTest::newRow("wholly on the second monitor") << QRect(1700, 300, 300, 200) << QRect(1750, 320, 150, 100)
                                                  << QRect(1750, 320, 150, 100);
    QTest::newRow("past the desktop's right edge: clipped to the desktop")
        << QRect(2260, 700, 300, 200) << QRect(2360, 750, 400, 100) << QRect(2360, 750, 200, 100);
}

void tst_E2eMonitors::areaOnAnyMonitorIsCaptured()
{
    QFETCH(QRect, patternRect);
    QFETCH(QRect, selection);
    QFETCH(QRect, expected);

    const QImage pattern = patternImage(patternRect.width(), patternRect.height(), 5);
    PatternWindow window(pattern, patternRect.topLeft());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_COMPARE(maxChannelDifference(QGuiApplication::primaryScreen()
                                          ->grabWindow(0, patternRect.x(), patternRect.y(), patternRect.width(),
                                                       patternRect.height())
                                          .toImage(),
                                      pattern),
                 0);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess process;
    process.setWorkingDirectory(dir.path());
    // The program's own window stays in the left monitor's bottom-left corner, clear of the patterns.
    process.start(QStringLiteral(CAPTURE_SERVER_PATH),
                  {QStringLiteral("-geometry"), QStringLiteral("560x440+0+560"), QStringLiteral("--port"), QStringLiteral("0"),
                   QStringLiteral("--start"), QStringLiteral("--area"), areaText(selection), QStringLiteral("--frames"),
                   QStringLiteral("2")});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);

    const QImage wanted = QImage::fromData(
        encodeJpeg(pattern.copy(expected.translated(-patternRect.topLeft())), -1, ChromaSubsampling::Half), "jpg");
    for (int i = 0; i < 2; ++i) {
        const QImage file = QImageReader(dir.filePath(QStringLiteral("capture/pic%1.jpg").arg(i))).read();
        QCOMPARE(file.size(), expected.size());
        QVERIFY2(maxChannelDifference(file, wanted) <= 2,
                 qPrintable(QStringLiteral("frame %1 differs by up to %2").arg(i).arg(maxChannelDifference(file, wanted))));
    }
}

void tst_E2eMonitors::selectionCoversEveryMonitor()
{
    const QPoint spot(2000, 600); // on the right monitor, clear of the default rectangle
    QImage red(100, 100, QImage::Format_RGB32);
    red.fill(Qt::red);
    PatternWindow redWindow(red, spot);
    redWindow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&redWindow));

    CaptureOptions options;
    options.port = 0;
    ConfigWindow control(nullptr, qApp, options);
    CoutCapture output;
    control.selectAreaButton->click();
    SelectionWindow *selection = control.selectionWindow;
    QVERIFY(QTest::qWaitForWindowExposed(selection));
    QCOMPARE(selection->geometry(), leftMonitor | rightMonitor);
    QCOMPARE(output.lines().value(0), QStringLiteral("2560 1024")); // the snapshot's size

    // The right monitor's red window shows, dimmed, in the snapshot behind the rectangle.
    const QRgb shown = selection->grab().toImage().pixel(spot + QPoint(50, 50));
    QVERIFY2(qRed(shown) > qGreen(shown) + 40 && qRed(shown) > qBlue(shown) + 40, qPrintable(QString::number(shown, 16)));
    selection->close();
}

void tst_E2eMonitors::windowKeepsOutOfAnAreaOnAnyMonitor_data()
{
    QTest::addColumn<QPoint>("windowAt");
    QTest::addColumn<QRect>("area");
    QTest::newRow("area on the second monitor under the window") << QPoint(1400, 50) << QRect(1300, 0, 700, 600);
    QTest::newRow("area across the two monitors under the window") << QPoint(1000, 100) << QRect(900, 0, 800, 700);
    QTest::newRow("window on the first monitor, area filling the second") << QPoint(1100, 200) << rightMonitor;
}

void tst_E2eMonitors::windowKeepsOutOfAnAreaOnAnyMonitor()
{
    QFETCH(QPoint, windowAt);
    QFETCH(QRect, area);
    CaptureOptions options;
    options.port = 0;
    options.handler = QStringLiteral("tcp"); // no files: nobody connects
    ConfigWindow control(nullptr, qApp, options);
    control.show();
    QVERIFY(QTest::qWaitForWindowExposed(&control));
    control.move(windowAt);
    QTRY_COMPARE(control.frameGeometry().topLeft(), windowAt);
    QVERIFY(control.frameGeometry().intersects(area));
    control.selectionWindow->setSelectionRect(area);

    control.startStopButton->click();
    // Wherever the area lies, the window is not in it: it would film itself in every frame.
    QTRY_VERIFY(!control.frameGeometry().intersects(area));
    const QRect frame = control.frameGeometry();
    QVERIFY(leftMonitor.contains(frame) || rightMonitor.contains(frame));
    control.startStopButton->click();
}

QTEST_MAIN(tst_E2eMonitors)
#include "tst_e2e_monitors.moc"
