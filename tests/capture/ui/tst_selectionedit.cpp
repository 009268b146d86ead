#include "selectionedit.h"

#include <QTest>

Q_DECLARE_METATYPE(Qt::KeyboardModifiers)

// The edit rule of the selection rectangle, without a window.
class tst_SelectionEdit : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void mouseMove_data();
    void mouseMove();
    void moveFollowsPointerStepByStep();
    void key_data();
    void key();
};

namespace {

QRect edges(int left, int top, int right, int bottom)
{
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

} // namespace

void tst_SelectionEdit::mouseMove_data()
{
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QPoint>("pos");
    QTest::addColumn<QPoint>("lastPos");
    QTest::addColumn<bool>("dragging");
    QTest::addColumn<QRect>("expected");
    QTest::addColumn<bool>("edited");

    // A 200 x 200 rectangle with edges 100 and 299.
    const QRect r = edges(100, 100, 299, 299);

    // Each band, at its inner limit (19 pixels from the edge) and just beyond it.
    QTest::newRow("top band moves the top edge only")
        << r << QPoint(200, 119) << QPoint(200, 121) << false << edges(100, 98, 299, 299) << true;
    QTest::newRow("20 pixels below the top is no longer the top band")
        << r << QPoint(200, 120) << QPoint(200, 122) << false << edges(100, 98, 299, 297) << true;
    QTest::newRow("bottom band moves the bottom edge only")
        << r << QPoint(200, 280) << QPoint(200, 278) << false << edges(100, 100, 299, 301) << true;
    QTest::newRow("20 pixels above the bottom is no longer the bottom band")
        << r << QPoint(200, 279) << QPoint(200, 277) << false << edges(100, 102, 299, 301) << true;
    QTest::newRow("right band moves the right edge only")
        << r << QPoint(280, 200) << QPoint(283, 200) << false << edges(100, 100, 296, 299) << true;
    QTest::newRow("20 pixels left of the right edge is no longer the right band")
        << r << QPoint(279, 200) << QPoint(282, 200) << false << edges(97, 100, 296, 299) << true;
    QTest::newRow("left band moves the left edge only")
        << r << QPoint(119, 200) << QPoint(115, 200) << false << edges(104, 100, 299, 299) << true;
    QTest::newRow("20 pixels right of the left edge is no longer the left band")
        << r << QPoint(120, 200) << QPoint(116, 200) << false << edges(104, 100, 303, 299) << true;
    QTest::newRow("edge pixel counts as inside")
        << r << QPoint(299, 299) << QPoint(298, 298) << false << edges(100, 100, 299, 300) << true;

    // Band order: top before bottom before right before left.
    QTest::newRow("top-left corner moves the top edge, not the left")
        << r << QPoint(105, 105) << QPoint(100, 100) << false << edges(100, 105, 299, 299) << true;
    QTest::newRow("top-right corner moves the top edge, not the right")
        << r << QPoint(295, 105) << QPoint(290, 100) << false << edges(100, 105, 299, 299) << true;
    QTest::newRow("bottom-left corner moves the bottom edge, not the left")
        << r << QPoint(105, 295) << QPoint(100, 290) << false << edges(100, 100, 299, 304) << true;
    QTest::newRow("bottom-right corner moves the bottom edge, not the right")
        << r << QPoint(295, 295) << QPoint(290, 290) << false << edges(100, 100, 299, 304) << true;
    QTest::newRow("narrow rectangle: right band wins over left band")
        << edges(100, 100, 129, 299) << QPoint(115, 200) << QPoint(110, 200) << false
        << edges(100, 100, 134, 299) << true;

    // Rectangles under 40 pixels high: only the top and bottom bands remain.
    QTest::newRow("20 high: the bottom row still moves the top edge")
        << edges(100, 100, 299, 119) << QPoint(200, 119) << QPoint(195, 117) << false
        << edges(100, 102, 299, 119) << true;
    QTest::newRow("39 high: the one row in both bands moves the top edge")
        << edges(100, 100, 299, 138) << QPoint(200, 119) << QPoint(195, 116) << false
        << edges(100, 103, 299, 138) << true;
    QTest::newRow("39 high: the lower rows move the bottom edge, never the whole rectangle")
        << edges(100, 100, 299, 138) << QPoint(200, 120) << QPoint(195, 117) << false
        << edges(100, 100, 299, 141) << true;

    // Outside the rectangle.
    QTest::newRow("outside before dragging edits nothing")
        << r << QPoint(50, 50) << QPoint(40, 40) << false << r << false;
    QTest::newRow("first move already above the rectangle edits nothing")
        << r << QPoint(200, 97) << QPoint(200, 103) << false << r << false;
    QTest::newRow("dragging above the rectangle moves the top edge")
        << r << QPoint(200, 90) << QPoint(200, 95) << true << edges(100, 95, 299, 299) << true;
    QTest::newRow("dragging below the rectangle moves the bottom edge")
        << r << QPoint(200, 320) << QPoint(200, 310) << true << edges(100, 100, 299, 309) << true;
    QTest::newRow("dragging right of the rectangle moves the right edge")
        << r << QPoint(320, 200) << QPoint(310, 200) << true << edges(100, 100, 309, 299) << true;
    QTest::newRow("dragging left of the rectangle moves the left edge")
        << r << QPoint(80, 200) << QPoint(90, 200) << true << edges(90, 100, 299, 299) << true;
    QTest::newRow("dragging above and left of the rectangle moves the top edge")
        << r << QPoint(80, 90) << QPoint(90, 95) << true << edges(100, 95, 299, 299) << true;
    QTest::newRow("dragging far away without a step edits to the same rectangle")
        << r << QPoint(900, 900) << QPoint(900, 900) << true << r << true;

    // The centre move.
    QTest::newRow("centre move keeps the size")
        << r << QPoint(200, 200) << QPoint(190, 195) << false << edges(110, 105, 309, 304) << true;
    QTest::newRow("centre move with a positive sum follows the step exactly")
        << QRect(50, 50, 100, 100) << QPoint(101, 101) << QPoint(100, 100) << false
        << QRect(51, 51, 100, 100) << true;
    QTest::newRow("centre move with a negative sum truncates toward zero")
        << QRect(-50, -50, 100, 100) << QPoint(1, 1) << QPoint(0, 0) << false
        << QRect(-48, -48, 100, 100) << true;
    QTest::newRow("centre move with an odd size and negative sum follows the step")
        << QRect(-50, -50, 101, 101) << QPoint(1, 1) << QPoint(0, 0) << false
        << QRect(-49, -49, 101, 101) << true;

    // Edges dragged across the opposite edge: never normalised.
    QTest::newRow("top dragged below the bottom gives a negative height")
        << edges(100, 100, 299, 119) << QPoint(200, 110) << QPoint(200, 80) << true
        << edges(100, 130, 299, 119) << true;
    QTest::newRow("right dragged left of the left edge gives a negative width")
        << edges(100, 100, 129, 299) << QPoint(125, 200) << QPoint(165, 200) << true
        << edges(100, 100, 89, 299) << true;
    QTest::newRow("bottom dragged onto the top leaves a zero height")
        << edges(100, 100, 299, 299) << QPoint(200, 290) << QPoint(200, 490) << true
        << edges(100, 100, 299, 99) << true;
}

void tst_SelectionEdit::mouseMove()
{
    QFETCH(QRect, rect);
    QFETCH(QPoint, pos);
    QFETCH(QPoint, lastPos);
    QFETCH(bool, dragging);
    QFETCH(QRect, expected);
    QFETCH(bool, edited);

    const SelectionEdit result = editSelectionForMove(rect, pos, lastPos, dragging);
    QCOMPARE(result.rect, expected);
    QCOMPARE(result.edited, edited);
}

// A sequence as the window feeds it: pressing a few pixels below the top edge and moving up
// in small steps moves the top edge with the pointer, the bottom edge stays.
void tst_SelectionEdit::moveFollowsPointerStepByStep()
{
    QRect rect(0, 0, 640, 480);
    QPoint last(300, 4);
    bool dragging = false;
    for (int step = 1; step <= 5; ++step) {
        const QPoint pos(300, 4 - 2 * step);
        const SelectionEdit edit = editSelectionForMove(rect, pos, last, dragging);
        rect = edit.rect;
        dragging = dragging || edit.edited;
        last = pos;
    }
    // The pointer keeps its distance of four pixels below the edge it drags.
    QCOMPARE(rect, QRect(QPoint(0, -10), QPoint(639, 479)));
    QCOMPARE(rect.height(), 490);
}

void tst_SelectionEdit::key_data()
{
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<int>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QRect>("expected");
    QTest::addColumn<bool>("edited");

    const QRect r(100, 100, 200, 150);
    const Qt::KeyboardModifiers none;
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier;
    const Qt::KeyboardModifiers shift = Qt::ShiftModifier;
    const Qt::KeyboardModifiers ctrlShift = Qt::ControlModifier | Qt::ShiftModifier;

    QTest::newRow("left moves one pixel") << r << int(Qt::Key_Left) << none << QRect(99, 100, 200, 150) << true;
    QTest::newRow("right moves one pixel") << r << int(Qt::Key_Right) << none << QRect(101, 100, 200, 150) << true;
    QTest::newRow("up moves one pixel") << r << int(Qt::Key_Up) << none << QRect(100, 99, 200, 150) << true;
    QTest::newRow("down moves one pixel") << r << int(Qt::Key_Down) << none << QRect(100, 101, 200, 150) << true;
    QTest::newRow("ctrl moves ten pixels") << r << int(Qt::Key_Left) << ctrl << QRect(90, 100, 200, 150) << true;
    QTest::newRow("keypad arrow moves like an arrow")
        << r << int(Qt::Key_Down) << Qt::KeyboardModifiers(Qt::KeypadModifier) << QRect(100, 101, 200, 150) << true;
    QTest::newRow("moving past the screen edge is allowed")
        << QRect(0, 0, 10, 10) << int(Qt::Key_Up) << ctrl << QRect(0, -10, 10, 10) << true;
    QTest::newRow("shift+left narrows at the right edge")
        << r << int(Qt::Key_Left) << shift << QRect(100, 100, 199, 150) << true;
    QTest::newRow("shift+right widens at the right edge")
        << r << int(Qt::Key_Right) << shift << QRect(100, 100, 201, 150) << true;
    QTest::newRow("shift+up shortens at the bottom edge")
        << r << int(Qt::Key_Up) << shift << QRect(100, 100, 200, 149) << true;
    QTest::newRow("ctrl+shift+down lengthens by ten at the bottom")
        << r << int(Qt::Key_Down) << ctrlShift << QRect(100, 100, 200, 160) << true;
    QTest::newRow("shift+left stops at one pixel wide")
        << QRect(100, 100, 1, 150) << int(Qt::Key_Left) << shift << QRect(100, 100, 1, 150) << true;
    QTest::newRow("ctrl+shift+up stops at one pixel high")
        << QRect(100, 100, 200, 5) << int(Qt::Key_Up) << ctrlShift << QRect(100, 100, 200, 1) << true;
    QTest::newRow("shift+right grows a rectangle a drag turned inside out")
        << QRect(QPoint(100, 100), QPoint(95, 200)) << int(Qt::Key_Right) << shift
        << QRect(QPoint(100, 100), QPoint(96, 200)) << true;
    QTest::newRow("shift+left does not shrink a rectangle a drag turned inside out")
        << QRect(QPoint(100, 100), QPoint(95, 200)) << int(Qt::Key_Left) << shift
        << QRect(QPoint(100, 100), QPoint(95, 200)) << true;
    QTest::newRow("another key edits nothing") << r << int(Qt::Key_A) << none << r << false;
    QTest::newRow("page down edits nothing") << r << int(Qt::Key_PageDown) << shift << r << false;
}

void tst_SelectionEdit::key()
{
    QFETCH(QRect, rect);
    QFETCH(int, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QRect, expected);
    QFETCH(bool, edited);

    const SelectionEdit result = editSelectionForKey(rect, key, modifiers);
    QCOMPARE(result.rect, expected);
    QCOMPARE(result.edited, edited);
}

QTEST_GUILESS_MAIN(tst_SelectionEdit)
#include "tst_selectionedit.moc"
