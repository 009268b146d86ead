// From the selection window to the saved file: the user selects an area over a known pattern
// with the mouse or the keyboard, closes the window, captures with the image saver, and the
// file holds exactly the pattern's pixels of that area. Registered a second time with
// QT_SCALE_FACTOR=2, where the selection is in logical pixels and the file in device pixels.
#include "configwindow.h"
#include "glformat.h"
#include "imagerecorder.h"
#include "selectionwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QImage>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QScreen>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

class tst_E2eSelection : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void initTestCase();
    void selectedAreaIsCaptured_data();
    void selectedAreaIsCaptured();

private:
    qreal m_factor = 1.0;
};

namespace {

constexpr int cell = 8;                      // logical pixels; one JPEG block at the area's origin
const QPoint patternPos(600, 300);           // logical, inside a 960 x 540 logical screen
const QSize patternSize(200, 160);
const QRect wanted(616, 324, 100, 80);       // the selection, on cell corners of the pattern

// Flat grey cells whose levels differ by at least 64 from each neighbour and repeat in no
// regular way: survives JPEG almost exactly, while any shift, crop or scaling shows.
QImage cellPattern(qreal factor)
{
    const int columns = patternSize.width() / cell;
    const int rows = patternSize.height() / cell;
    const std::array<int, 4> levels{16, 80, 144, 208};
    QRandomGenerator rng(20240611);
    std::vector<int> chosen(size_t(columns * rows));
    QImage logical(patternSize, QImage::Format_RGB32);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            int level = 0;
            do {
                level = levels[rng.bounded(int(levels.size()))];
            } while ((column > 0 && level == chosen[size_t(row * columns + column - 1)])
                     || (row > 0 && level == chosen[size_t((row - 1) * columns + column)]));
            chosen[size_t(row * columns + column)] = level;
            for (int y = 0; y < cell; ++y)
                for (int x = 0; x < cell; ++x)
                    logical.setPixel(column * cell + x, row * cell + y, qRgb(level, level, level));
        }
    }
    // Each logical pixel becomes factor x factor device pixels, as the screen shows it.
    QImage device = logical.scaled(patternSize * factor, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    device.setDevicePixelRatio(factor);
    return device;
}

QImage grabLogical(const QRect &area)
{
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

// Mouse moves from `from` to `to` in steps of at most `maxStep` pixels on each axis, the button
// held, as a hand would move it.
void dragPath(QWidget *window, const QPoint &from, const QPoint &to, int maxStep)
{
    const QPoint delta = to - from;
    const int steps = std::max({1, (std::abs(delta.x()) + maxStep - 1) / maxStep,
                                (std::abs(delta.y()) + maxStep - 1) / maxStep});
    QTest::mousePress(window, Qt::LeftButton, {}, from);
    for (int k = 1; k <= steps; ++k)
        QTest::mouseMove(window, from + QPoint(delta.x() * k / steps, delta.y() * k / steps));
    QTest::mouseRelease(window, Qt::LeftButton, {}, to);
}

void typeInto(QSpinBox *box, const QString &text)
{
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
}

void pressKey(Qt::Key key, Qt::KeyboardModifiers modifiers, int times)
{
    for (int i = 0; i < times; ++i)
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
}

} // namespace

void tst_E2eSelection::initTestCase()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    QVERIFY(screen);
    m_factor = screen->devicePixelRatio();
    const QByteArray scale = qgetenv("QT_SCALE_FACTOR");
    if (!scale.isEmpty())
        QCOMPARE(m_factor, scale.toDouble()); // the scaled run must really be scaled
    QVERIFY(screen->geometry().contains(QRect(patternPos, patternSize)));
    qInfo("device pixel ratio %g", m_factor);
}

void tst_E2eSelection::selectedAreaIsCaptured_data()
{
    QTest::addColumn<bool>("byKeyboard");
    QTest::newRow("edges dragged and rectangle moved with the mouse") << false;
    QTest::newRow("size typed and rectangle moved with the arrow keys") << true;
}

void tst_E2eSelection::selectedAreaIsCaptured()
{
    QFETCH(bool, byKeyboard);

    QTemporaryDir workDir; // the saver writes ./capture/picN.jpg
    QVERIFY(workDir.isValid());
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir.path()));
    const auto restoreDir = qScopeGuard([&] { QDir::setCurrent(previousDir); });

    const QImage pattern = cellPattern(m_factor);
    PatternWindow patternWindow(pattern, patternPos);
    patternWindow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&patternWindow));
    QTRY_COMPARE(maxChannelDifference(grabLogical(QRect(patternPos, patternSize)), pattern), 0);

    CaptureOptions options;
    options.port = 0;
    ConfigWindow control(nullptr, qApp, options);
    CoutCapture output; // from here on: the selection window's, the recorder's and the saver's lines
    SelectionWindow *selection = control.selectionWindow;

    control.selectAreaButton->click();
    QVERIFY(QTest::qWaitForWindowExposed(selection));
    QCOMPARE(selection->geometry(), QGuiApplication::primaryScreen()->geometry());
    QCOMPARE(*control.config.selection, QRect(0, 0, 640, 480));

    if (!byKeyboard) {
        dragPath(selection, QPoint(320, 470), QPoint(320, 70), 5);    // bottom edge up to 79
        dragPath(selection, QPoint(630, 40), QPoint(90, 40), 5);      // right edge left to 99
        dragPath(selection, QPoint(50, 40), QPoint(50, 40) + wanted.topLeft(), 8); // whole rectangle
        QCOMPARE(*control.config.selection, wanted);
        QTest::mouseClick(selection->findChild<QPushButton *>(QStringLiteral("closeButton")),
                          Qt::LeftButton);
    } else {
        typeInto(selection->findChild<QSpinBox *>(QStringLiteral("widthSpinBox")), QStringLiteral("100"));
        typeInto(selection->findChild<QSpinBox *>(QStringLiteral("heightSpinBox")), QStringLiteral("80"));
        QCOMPARE(*control.config.selection, QRect(0, 0, 100, 80));
        QTest::mouseClick(selection, Qt::LeftButton, {}, QPoint(500, 400)); // keyboard back to the window
        QTRY_COMPARE(QApplication::focusWidget(), selection);
        pressKey(Qt::Key_Right, Qt::ControlModifier, wanted.x() / 10);
        pressKey(Qt::Key_Right, {}, wanted.x() % 10);
        pressKey(Qt::Key_Down, Qt::ControlModifier, wanted.y() / 10);
        pressKey(Qt::Key_Down, {}, wanted.y() % 10);
        QCOMPARE(*control.config.selection, wanted);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    }
    QVERIFY(!selection->isVisible());

    // The pattern is back on the screen once the selection window is gone.
    QTRY_COMPARE(maxChannelDifference(grabLogical(QRect(patternPos, patternSize)), pattern), 0);

    control.imageSaverRadio->click();
    control.startStopButton->click();
    QVERIFY(control.capturing);
    QTRY_VERIFY(output.lines().contains(QStringLiteral("Writing: ./capture/pic0.jpg")));
    control.startStopButton->click();
    QVERIFY(!control.capturing);

    const QStringList lines = output.lines();
    const QSize snapshot = QGuiApplication::primaryScreen()->geometry().size() * m_factor;
    QCOMPARE(lines.value(0), QStringLiteral("%1 %2").arg(snapshot.width()).arg(snapshot.height()));
    const int presses = int(lines.count(QStringLiteral("MOUSE PRESSED")));
    QCOMPARE(presses, byKeyboard ? 1 : 3);
    QCOMPARE(int(lines.count(QStringLiteral("MOUSE RELEASED"))), presses);

    QImage saved(QStringLiteral("capture/pic0.jpg"));
    QVERIFY(!saved.isNull());
    saved = saved.convertToFormat(QImage::Format_RGB32);
    const QPoint offset = (wanted.topLeft() - patternPos) * m_factor;
    QImage expected = pattern.copy(QRect(offset, wanted.size() * m_factor));
    expected.setDevicePixelRatio(1.0);
    QCOMPARE(saved.size(), wanted.size() * m_factor); // 100 x 80, or 200 x 160 at scale 2
    const int worst = maxChannelDifference(saved, expected);
    QVERIFY2(worst <= 8, qPrintable(QStringLiteral("largest difference %1, PSNR %2 dB")
                                        .arg(worst).arg(psnr(saved, expected))));
}

QTEST_MAIN(tst_E2eSelection)
#include "tst_e2e_selection.moc"
