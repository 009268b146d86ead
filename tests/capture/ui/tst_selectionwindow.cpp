#include "configwindow.h"
#include "glformat.h"
#include "selectionwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QSpinBox>
#include <QTest>

#include <memory>

// The selection window driven as a user drives it: mouse events, the spin boxes, the keys.
class tst_SelectionWindow : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void init();
    void cleanup();
    void startsWithDefaultRectangle();
    void backgroundPrintsItsSize_data();
    void backgroundPrintsItsSize();
    void mouseLines_data();
    void mouseLines();
    void drag_data();
    void drag();
    void releaseEndsTheDrag();
    void spinBoxesFollowWhileButtonHeld();
    void typedSizesResize();
    void bothSizesEditedInOneDragAreKept();
    void controlsTravelWithRectangle();
    void keys_data();
    void keys();
    void closeButtonHides();
    void openingsKeepRectangleAndTakeFreshSnapshot();

private:
    void showWindow();
    QSpinBox *widthBox() const { return m_window->findChild<QSpinBox *>(QStringLiteral("widthSpinBox")); }
    QSpinBox *heightBox() const { return m_window->findChild<QSpinBox *>(QStringLiteral("heightSpinBox")); }
    QPushButton *closeButton() const { return m_window->findChild<QPushButton *>(QStringLiteral("closeButton")); }
    QRect rect() const { return *m_window->getSelectionRect(); }

    std::unique_ptr<SelectionWindow> m_window;
};

namespace {

QRect edges(int left, int top, int right, int bottom)
{
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

QRgb screenPixel(const QPoint &at)
{
    return QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), 1, 1).toImage().pixel(0, 0);
}

// The snapshot's colour as the window shows it: 30 % over the palette background.
QRgb dimmed(QRgb snapshot, QColor background)
{
    return qRgb(qRound(0.3 * qRed(snapshot) + 0.7 * background.red()),
                qRound(0.3 * qGreen(snapshot) + 0.7 * background.green()),
                qRound(0.3 * qBlue(snapshot) + 0.7 * background.blue()));
}

bool near(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) <= 2 && std::abs(qGreen(a) - qGreen(b)) <= 2
        && std::abs(qBlue(a) - qBlue(b)) <= 2;
}

QImage filled(QSize size, QColor colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

} // namespace

void tst_SelectionWindow::init()
{
    m_window = std::make_unique<SelectionWindow>(nullptr);
}

void tst_SelectionWindow::cleanup()
{
    m_window.reset();
}

void tst_SelectionWindow::showWindow()
{
    m_window->showFullScreen();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_SelectionWindow::startsWithDefaultRectangle()
{
    QVERIFY(!m_window->isVisible());
    QCOMPARE(rect(), QRect(0, 0, 640, 480));
    QCOMPARE(rect().right(), 639);
    QCOMPARE(rect().bottom(), 479);
    QCOMPARE(widthBox()->value(), 640);
    QCOMPARE(heightBox()->value(), 480);
    QCOMPARE(widthBox()->minimum(), 1);
    QCOMPARE(widthBox()->maximum(), 100000);
    QCOMPARE(heightBox()->minimum(), 1);
    QCOMPARE(heightBox()->maximum(), 100000);
    QCOMPARE(closeButton()->text(), QStringLiteral("Close"));
    QCOMPARE(closeButton()->font().family(), QStringLiteral("Times"));
    QCOMPARE(closeButton()->font().pointSize(), 18);
    QCOMPARE(closeButton()->font().weight(), QFont::Bold);
    QVERIFY(m_window->autoFillBackground());

    // The pointer the recorder reads stays the same and sees every edit.
    QRect *pointer = m_window->getSelectionRect();
    m_window->setSelectionRect(QRect(5, 6, 70, 80));
    QCOMPARE(m_window->getSelectionRect(), pointer);
    QCOMPARE(*pointer, QRect(5, 6, 70, 80));
    QCOMPARE(widthBox()->value(), 70);
    QCOMPARE(heightBox()->value(), 80);
}

void tst_SelectionWindow::backgroundPrintsItsSize_data()
{
    QTest::addColumn<QList<QSize>>("sizes");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("one snapshot, one line") << QList<QSize>{{1280, 1024}} << QStringList{"1280 1024"};
    QTest::newRow("each snapshot its own line")
        << QList<QSize>{{1920, 1080}, {800, 600}} << QStringList{"1920 1080", "800 600"};
    QTest::newRow("a null snapshot prints its zero size") << QList<QSize>{{0, 0}} << QStringList{"0 0"};
}

void tst_SelectionWindow::backgroundPrintsItsSize()
{
    QFETCH(QList<QSize>, sizes);
    QFETCH(QStringList, lines);
    CoutCapture output;
    for (const QSize &size : sizes)
        m_window->setBackground(size.isEmpty() ? QPixmap() : QPixmap(size));
    QCOMPARE(output.lines(), lines);
}

void tst_SelectionWindow::mouseLines_data()
{
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<QList<QPoint>>("moves");
    QTest::newRow("click") << Qt::LeftButton << QList<QPoint>{};
    QTest::newRow("moves print nothing") << Qt::LeftButton << QList<QPoint>{{310, 250}, {330, 260}};
    QTest::newRow("any button") << Qt::RightButton << QList<QPoint>{{310, 250}};
}

void tst_SelectionWindow::mouseLines()
{
    QFETCH(Qt::MouseButton, button);
    QFETCH(QList<QPoint>, moves);
    CoutCapture output;
    QTest::mousePress(m_window.get(), button, {}, QPoint(300, 240));
    QCOMPARE(output.lines(), QStringList{"MOUSE PRESSED"});
    for (const QPoint &pos : moves)
        QTest::mouseMove(m_window.get(), pos);
    QTest::mouseRelease(m_window.get(), button, {}, moves.isEmpty() ? QPoint(300, 240) : moves.last());
    QCOMPARE(output.lines(), (QStringList{"MOUSE PRESSED", "MOUSE RELEASED"}));
}

void tst_SelectionWindow::drag_data()
{
    QTest::addColumn<QRect>("start");
    QTest::addColumn<QPoint>("press");
    QTest::addColumn<QList<QPoint>>("moves");
    QTest::addColumn<QRect>("expected");

    const QRect r = edges(100, 100, 299, 299);
    QTest::newRow("centre drag moves the rectangle with the pointer")
        << r << QPoint(200, 200) << QList<QPoint>{{205, 203}, {215, 210}, {230, 220}}
        << edges(130, 120, 329, 319);
    QTest::newRow("top edge follows a 10-pixel upward drag, bottom stays")
        << r << QPoint(200, 103) << QList<QPoint>{{200, 101}, {200, 99}, {200, 97}, {200, 95}, {200, 93}}
        << edges(100, 90, 299, 299);
    QTest::newRow("first move already above the rectangle edits nothing")
        << r << QPoint(200, 103) << QList<QPoint>{{200, 95}, {200, 90}} << r;
    QTest::newRow("press and moves outside change nothing")
        << r << QPoint(50, 50) << QList<QPoint>{{60, 60}, {70, 80}, {40, 20}} << r;
    QTest::newRow("a move landing inside starts editing that goes on outside")
        << r << QPoint(50, 150) << QList<QPoint>{{90, 150}, {105, 150}, {60, 150}}
        << edges(70, 100, 299, 299);
    QTest::newRow("centre move with negative coordinates shifts one extra pixel")
        << QRect(-50, -50, 100, 100) << QPoint(-10, -10) << QList<QPoint>{{-9, -9}}
        << QRect(-48, -48, 100, 100);
    QTest::newRow("right edge dragged across the left edge stays inside out")
        << edges(100, 100, 129, 299) << QPoint(125, 200)
        << QList<QPoint>{{115, 200}, {105, 200}, {95, 200}, {85, 200}} << edges(100, 100, 89, 299);
}

void tst_SelectionWindow::drag()
{
    QFETCH(QRect, start);
    QFETCH(QPoint, press);
    QFETCH(QList<QPoint>, moves);
    QFETCH(QRect, expected);

    m_window->setSelectionRect(start);
    CoutCapture output; // keeps the lines out of the test log
    QTest::mousePress(m_window.get(), Qt::LeftButton, {}, press);
    for (const QPoint &pos : moves)
        QTest::mouseMove(m_window.get(), pos);
    QTest::mouseRelease(m_window.get(), Qt::LeftButton, {}, moves.last());
    QCOMPARE(rect(), expected);
}

void tst_SelectionWindow::releaseEndsTheDrag()
{
    CoutCapture output;
    m_window->setSelectionRect(QRect(100, 100, 200, 200));
    QTest::mousePress(m_window.get(), Qt::LeftButton, {}, QPoint(200, 200));
    QTest::mouseMove(m_window.get(), QPoint(202, 202));
    QTest::mouseRelease(m_window.get(), Qt::LeftButton, {}, QPoint(202, 202));
    QCOMPARE(rect(), QRect(102, 102, 200, 200));

    // A new press outside: the previous drag must not carry over.
    QTest::mousePress(m_window.get(), Qt::LeftButton, {}, QPoint(50, 50));
    QTest::mouseMove(m_window.get(), QPoint(40, 40));
    QTest::mouseRelease(m_window.get(), Qt::LeftButton, {}, QPoint(40, 40));
    QCOMPARE(rect(), QRect(102, 102, 200, 200));
}

void tst_SelectionWindow::spinBoxesFollowWhileButtonHeld()
{
    showWindow();
    CoutCapture output;
    m_window->setSelectionRect(QRect(100, 100, 200, 200));
    QTest::mousePress(m_window.get(), Qt::LeftButton, {}, QPoint(200, 290));
    QTest::mouseMove(m_window.get(), QPoint(200, 295)); // bottom band: bottom to 304
    QTest::mouseMove(m_window.get(), QPoint(200, 305)); // below, dragging: bottom to 314
    QCOMPARE(rect(), QRect(100, 100, 200, 215));
    QTRY_COMPARE(heightBox()->value(), 215);
    QCOMPARE(widthBox()->value(), 200);

    // While the button is held a value in a box does not resize the rectangle.
    heightBox()->setValue(50);
    widthBox()->setValue(60);
    QCOMPARE(rect(), QRect(100, 100, 200, 215));
    QTRY_COMPARE(heightBox()->value(), 215); // the next paint shows the size again
    QTRY_COMPARE(widthBox()->value(), 200);

    QTest::mouseRelease(m_window.get(), Qt::LeftButton, {}, QPoint(200, 310));
    heightBox()->setValue(50);
    QCOMPARE(rect(), QRect(100, 100, 200, 50));
}

void tst_SelectionWindow::typedSizesResize()
{
    showWindow();
    m_window->setSelectionRect(QRect(30, 40, 640, 480));
    widthBox()->setFocus();
    widthBox()->selectAll();
    QTest::keyClicks(widthBox(), QStringLiteral("800"));
    QCOMPARE(rect(), QRect(30, 40, 800, 480));
    QCOMPARE(rect().right(), 30 + 799);

    heightBox()->setFocus();
    heightBox()->selectAll();
    QTest::keyClicks(heightBox(), QStringLiteral("120"));
    QCOMPARE(rect(), QRect(30, 40, 800, 120));
    // A paint shows the size in the boxes and must not put the old size back.
    m_window->repaint();
    QCOMPARE(rect(), QRect(30, 40, 800, 120));
    QCOMPARE(widthBox()->value(), 800);
}

// Within one drag the bottom edge and then the right edge move before the window repaints;
// showing the new size in the boxes after the release must keep both edits.
void tst_SelectionWindow::bothSizesEditedInOneDragAreKept()
{
    showWindow();
    CoutCapture output;
    m_window->setSelectionRect(QRect(100, 100, 200, 200));
    QTest::mousePress(m_window.get(), Qt::LeftButton, {}, QPoint(295, 290));
    QTest::mouseMove(m_window.get(), QPoint(295, 298)); // bottom band: bottom to 307
    QTest::mouseMove(m_window.get(), QPoint(300, 250)); // right of the rectangle: right to 304
    QTest::mouseRelease(m_window.get(), Qt::LeftButton, {}, QPoint(300, 250));
    QCOMPARE(rect(), edges(100, 100, 304, 307));

    m_window->repaint();
    QCOMPARE(widthBox()->value(), 205);
    QCOMPARE(heightBox()->value(), 208);
    QCOMPARE(rect(), edges(100, 100, 304, 307));
}

void tst_SelectionWindow::controlsTravelWithRectangle()
{
    showWindow();
    m_window->setSelectionRect(QRect(300, 200, 400, 300));
    QTRY_COMPARE(closeButton()->geometry(), QRect(300, 200, 75, 30));
    QCOMPARE(widthBox()->geometry(), QRect(400, 200, 75, 30));
    QCOMPARE(heightBox()->geometry(), QRect(400, 230, 75, 30));
    QVERIFY(closeButton()->isVisible());

    CoutCapture output;
    QTest::mousePress(m_window.get(), Qt::LeftButton, {}, QPoint(500, 350));
    QTest::mouseMove(m_window.get(), QPoint(510, 345));
    QTest::mouseRelease(m_window.get(), Qt::LeftButton, {}, QPoint(510, 345));
    QTRY_COMPARE(closeButton()->geometry(), QRect(310, 195, 75, 30));
    QCOMPARE(widthBox()->geometry(), QRect(410, 195, 75, 30));
    QCOMPARE(heightBox()->geometry(), QRect(410, 225, 75, 30));
}

void tst_SelectionWindow::keys_data()
{
    QTest::addColumn<bool>("inWidthBox");
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QRect>("expected");
    QTest::addColumn<bool>("visible");

    const QRect r(100, 100, 200, 150);
    const Qt::KeyboardModifiers none;
    QTest::newRow("left moves one pixel") << false << int(Qt::Key_Left) << none << QRect(99, 100, 200, 150) << true;
    QTest::newRow("ctrl+down moves ten pixels")
        << false << int(Qt::Key_Down) << Qt::KeyboardModifiers(Qt::ControlModifier) << QRect(100, 110, 200, 150) << true;
    QTest::newRow("shift+right moves the right edge")
        << false << int(Qt::Key_Right) << Qt::KeyboardModifiers(Qt::ShiftModifier) << QRect(100, 100, 201, 150) << true;
    QTest::newRow("ctrl+shift+up moves the bottom edge by ten")
        << false << int(Qt::Key_Up) << (Qt::ControlModifier | Qt::ShiftModifier) << QRect(100, 100, 200, 140) << true;
    QTest::newRow("escape closes and keeps the rectangle") << false << int(Qt::Key_Escape) << none << r << false;
    QTest::newRow("return closes") << false << int(Qt::Key_Return) << none << r << false;
    QTest::newRow("keypad enter closes")
        << false << int(Qt::Key_Enter) << Qt::KeyboardModifiers(Qt::KeypadModifier) << r << false;
    QTest::newRow("escape while typing a width closes too") << true << int(Qt::Key_Escape) << none << r << false;
    QTest::newRow("enter after typing a width closes too") << true << int(Qt::Key_Return) << none << r << false;
    QTest::newRow("up in a width box clicked on its frame still resizes")
        << true << int(Qt::Key_Up) << none << QRect(100, 100, 201, 150) << true;
}

void tst_SelectionWindow::keys()
{
    QFETCH(bool, inWidthBox);
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QRect, expected);
    QFETCH(bool, visible);

    m_window->setSelectionRect(QRect(100, 100, 200, 150));
    showWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    // Shown, the window has the keyboard; a click into a box takes it there.
    QTRY_COMPARE(QApplication::focusWidget(), m_window.get());
    if (inWidthBox) {
        QTest::mouseClick(widthBox(), Qt::LeftButton, {}, QPoint(10, 15));
        QTRY_VERIFY(widthBox()->hasFocus());
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
    QCOMPARE(rect(), expected);
    QCOMPARE(m_window->isVisible(), visible);
}

void tst_SelectionWindow::closeButtonHides()
{
    showWindow();
    m_window->setSelectionRect(QRect(100, 100, 200, 150));
    QTRY_COMPARE(closeButton()->pos(), QPoint(100, 100));
    QTest::mouseClick(closeButton(), Qt::LeftButton);
    QVERIFY(!m_window->isVisible());
    QCOMPARE(rect(), QRect(100, 100, 200, 150));
}

// Through the control window: each "Select area" takes a new snapshot of the screen and shows
// it dimmed; the rectangle chosen at the previous opening is kept.
void tst_SelectionWindow::openingsKeepRectangleAndTakeFreshSnapshot()
{
    CaptureOptions options;
    options.port = 0;
    ConfigWindow control(nullptr, qApp, options);
    SelectionWindow *selection = control.selectionWindow;
    const QPoint spot(1300, 800); // outside the rectangle and its controls
    QScreen *screen = QGuiApplication::primaryScreen();
    QVERIFY(screen->geometry().contains(QRect(spot, QSize(100, 100))));
    const QSize snapshotSize = screen->geometry().size() * screen->devicePixelRatio();
    const QString sizeLine = QStringLiteral("%1 %2").arg(snapshotSize.width()).arg(snapshotSize.height());

    auto red = std::make_unique<PatternWindow>(filled({100, 100}, Qt::red), spot);
    red->show();
    QVERIFY(QTest::qWaitForWindowExposed(red.get()));
    QTRY_COMPARE(screenPixel(spot + QPoint(50, 50)), qRgb(255, 0, 0));

    CoutCapture output;
    control.SLOT_startSelection();
    QVERIFY(QTest::qWaitForWindowExposed(selection));
    QVERIFY(selection->isFullScreen());
    QCOMPARE(selection->geometry(), screen->geometry());
    QCOMPARE(output.lines(), QStringList{sizeLine});
    const QColor background = selection->palette().color(QPalette::Window);
    QRgb shown = selection->grab().toImage().pixel(spot + QPoint(50, 50));
    QVERIFY2(near(shown, dimmed(qRgb(255, 0, 0), background)), qPrintable(QString::number(shown, 16)));

    QTest::mousePress(selection, Qt::LeftButton, {}, QPoint(320, 240));
    QTest::mouseMove(selection, QPoint(330, 250));
    QTest::mouseRelease(selection, Qt::LeftButton, {}, QPoint(330, 250));
    QCOMPARE(*control.config.selection, QRect(10, 10, 640, 480));
    QTest::mouseClick(selection->findChild<QPushButton *>(QStringLiteral("closeButton")), Qt::LeftButton);
    QVERIFY(!selection->isVisible());

    red.reset();
    auto blue = std::make_unique<PatternWindow>(filled({100, 100}, Qt::blue), spot);
    blue->show();
    QVERIFY(QTest::qWaitForWindowExposed(blue.get()));
    QTRY_COMPARE(screenPixel(spot + QPoint(50, 50)), qRgb(0, 0, 255));

    control.SLOT_startSelection();
    QVERIFY(QTest::qWaitForWindowExposed(selection));
    QCOMPARE(output.lines(), (QStringList{sizeLine, QStringLiteral("MOUSE PRESSED"),
                                          QStringLiteral("MOUSE RELEASED"), sizeLine}));
    QCOMPARE(*control.config.selection, QRect(10, 10, 640, 480));
    shown = selection->grab().toImage().pixel(spot + QPoint(50, 50));
    QVERIFY2(near(shown, dimmed(qRgb(0, 0, 255), background)), qPrintable(QString::number(shown, 16)));
    selection->close();
}

QTEST_MAIN(tst_SelectionWindow)
#include "tst_selectionwindow.moc"
