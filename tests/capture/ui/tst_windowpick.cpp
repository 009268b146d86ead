// Picking a window in the selection window: a real click through the X server (xdotool), over
// a real window, and the control window follows what lies under the pointer.
#include "configwindow.h"
#include "selectionwindow.h"
#include "testsupport.h"
#include "windowtracker.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class tst_WindowPick : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void clickPicksTheWindowUnderThePointer_data();
    void clickPicksTheWindowUnderThePointer();

private:
    QTemporaryDir m_workDir;
};

void tst_WindowPick::initTestCase()
{
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path()));
}

void tst_WindowPick::clickPicksTheWindowUnderThePointer_data()
{
    QTest::addColumn<bool>("pickButton"); // "Pick window" first, then a plain click; else Ctrl+click
    QTest::addColumn<QPoint>("clickAt");
    QTest::addColumn<bool>("picksPattern");
    QTest::addColumn<bool>("dragAfter"); // then the selection window again, and the rectangle dragged
    QTest::newRow("Ctrl+click on a window: it is followed") << false << QPoint(300, 650) << true << false;
    QTest::newRow("\"Pick window\", then a click on a window: it is followed") << true << QPoint(390, 740) << true << false;
    QTest::newRow("Ctrl+click on this program's own window: nothing is followed") << false << QPoint(1500, 200) << false << false;
    QTest::newRow("a window picked, then the rectangle dragged: the area again") << false << QPoint(300, 650) << true << true;
}

void tst_WindowPick::clickPicksTheWindowUnderThePointer()
{
    QFETCH(bool, pickButton);
    QFETCH(QPoint, clickAt);
    QFETCH(bool, picksPattern);
    QFETCH(bool, dragAfter);

    const QRect patternPlace(200, 600, 200, 150);
    PatternWindow pattern(patternImage(patternPlace.width(), patternPlace.height(), 3), patternPlace.topLeft());
    pattern.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pattern));
    CaptureOptions options;
    options.port = 0;
    ConfigWindow control(nullptr, qApp, options);
    control.setGeometry(1300, 0, 560, 640);
    control.show();
    QVERIFY(QTest::qWaitForWindowExposed(&control));

    control.SLOT_startSelection();
    SelectionWindow *selection = control.selectionWindow;
    QVERIFY(QTest::qWaitForWindowExposed(selection));
    QSignalSpy picked(selection, &SelectionWindow::windowPicked);
    if (pickButton)
        selection->findChild<QPushButton *>(QStringLiteral("pickWindowButton"))->click();
    QStringList click{QStringLiteral("mousemove"), QString::number(clickAt.x()), QString::number(clickAt.y())};
    click += pickButton ? QStringList{QStringLiteral("click"), QStringLiteral("1")}
                        : QStringList{QStringLiteral("keydown"), QStringLiteral("ctrl"), QStringLiteral("click"),
                                      QStringLiteral("1"), QStringLiteral("keyup"), QStringLiteral("ctrl")};
    QCOMPARE(runSystemTool(QStringLiteral("xdotool"), click), 0);

    QTRY_COMPARE(picked.count(), 1);
    QCOMPARE(picked.at(0).at(0).toPoint(), clickAt);
    QVERIFY(!selection->isVisible());
    if (picksPattern) {
        QVERIFY(control.followedWindow());
        QCOMPARE(control.followedWindow()->window().id, quint32(pattern.winId()));
        QCOMPARE(control.followedWindow()->window().area, patternPlace);
        QCOMPARE(*control.config.selection, patternPlace); // shown where the window is
    } else {
        QVERIFY(!control.followedWindow());
    }
    if (!dragAfter)
        return;
    control.SLOT_startSelection();
    QVERIFY(QTest::qWaitForWindowExposed(selection));
    QCOMPARE(runSystemTool(QStringLiteral("xdotool"),
                           {QStringLiteral("mousemove"), QStringLiteral("300"), QStringLiteral("700"), QStringLiteral("mousedown"),
                            QStringLiteral("1"), QStringLiteral("mousemove"), QStringLiteral("340"), QStringLiteral("730"),
                            QStringLiteral("mouseup"), QStringLiteral("1")}),
             0);
    QTRY_VERIFY(!control.followedWindow());
    QVERIFY(*control.config.selection != patternPlace); // the rectangle the user dragged
}

QTEST_MAIN(tst_WindowPick)
#include "tst_windowpick.moc"
