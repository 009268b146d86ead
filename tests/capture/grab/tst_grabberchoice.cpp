#include "grabberchoice.h"

#include <QTest>

Q_DECLARE_METATYPE(GrabberKind)

class tst_GrabberChoice : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void choiceFollowsOptionThenSession_data();
    void choiceFollowsOptionThenSession();
    void areaMapsIntoStreamPixels_data();
    void areaMapsIntoStreamPixels();
};

void tst_GrabberChoice::choiceFollowsOptionThenSession_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("sessionType");
    QTest::addColumn<QString>("waylandDisplay");
    QTest::addColumn<GrabberKind>("kind");
    QTest::addColumn<QString>("line");
    QTest::newRow("X11 session") << "" << "x11" << "" << GrabberKind::X11 << "Grabber: x11 (no Wayland session)";
    QTest::newRow("no session variables at all (Xvfb)") << "" << "" << "" << GrabberKind::X11
                                                       << "Grabber: x11 (no Wayland session)";
    QTest::newRow("Wayland session type, Qt through Xwayland") << "" << "wayland" << "" << GrabberKind::Portal
                                                              << "Grabber: portal (Wayland session: XDG_SESSION_TYPE=wayland)";
    QTest::newRow("session type in capitals") << "" << "Wayland" << "" << GrabberKind::Portal
                                             << "Grabber: portal (Wayland session: XDG_SESSION_TYPE=Wayland)";
    QTest::newRow("only WAYLAND_DISPLAY set") << "" << "" << "wayland-0" << GrabberKind::Portal
                                             << "Grabber: portal (Wayland session: WAYLAND_DISPLAY=wayland-0)";
    QTest::newRow("tty session with a Wayland display") << "" << "tty" << "wayland-1" << GrabberKind::Portal
                                                       << "Grabber: portal (Wayland session: WAYLAND_DISPLAY=wayland-1)";
    QTest::newRow("--grabber x11 on Wayland") << "x11" << "wayland" << "wayland-0" << GrabberKind::X11
                                             << "Grabber: x11 (--grabber x11)";
    QTest::newRow("--grabber portal on X11") << "portal" << "x11" << "" << GrabberKind::Portal
                                            << "Grabber: portal (--grabber portal)";
}

void tst_GrabberChoice::choiceFollowsOptionThenSession()
{
    QFETCH(QString, option);
    QFETCH(QString, sessionType);
    QFETCH(QString, waylandDisplay);
    QFETCH(GrabberKind, kind);
    QFETCH(QString, line);
    const GrabberChoice choice = chooseGrabber(option, sessionType, waylandDisplay);
    QCOMPARE(choice.kind, kind);
    QCOMPARE(grabberLine(choice), line);
}

void tst_GrabberChoice::areaMapsIntoStreamPixels_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QRect>("monitor");
    QTest::addColumn<QSize>("streamSize");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("scale 1, inside") << QRect(100, 50, 400, 300) << QRect(0, 0, 1280, 720) << QSize(1280, 720)
                                     << QRect(100, 50, 400, 300);
    QTest::newRow("scale 2: offset and size double") << QRect(100, 50, 400, 300) << QRect(0, 0, 1280, 720)
                                                     << QSize(2560, 1440) << QRect(200, 100, 800, 600);
    QTest::newRow("scale 1.5 rounds offset and size separately")
        << QRect(11, 11, 101, 101) << QRect(0, 0, 1280, 720) << QSize(1920, 1080) << QRect(17, 17, 152, 152);
    QTest::newRow("second monitor: its place is subtracted first")
        << QRect(1300, 10, 100, 100) << QRect(1280, 0, 1920, 1080) << QSize(1920, 1080) << QRect(20, 10, 100, 100);
    QTest::newRow("past the edge: clipped to the frame")
        << QRect(1100, 600, 400, 300) << QRect(0, 0, 1280, 720) << QSize(1280, 720) << QRect(1100, 600, 180, 120);
    QTest::newRow("left of the monitor: clipped") << QRect(-50, 10, 100, 20) << QRect(0, 0, 1280, 720)
                                                  << QSize(1280, 720) << QRect(0, 10, 50, 20);
    QTest::newRow("on another monitor: empty") << QRect(2000, 0, 100, 100) << QRect(0, 0, 1280, 720)
                                               << QSize(1280, 720) << QRect();
    QTest::newRow("no frame yet: empty") << QRect(0, 0, 100, 100) << QRect(0, 0, 1280, 720) << QSize() << QRect();
}

void tst_GrabberChoice::areaMapsIntoStreamPixels()
{
    QFETCH(QRect, area);
    QFETCH(QRect, monitor);
    QFETCH(QSize, streamSize);
    QFETCH(QRect, expected);
    const QRect mapped = streamArea(area, monitor, streamSize);
    if (expected.isEmpty())
        QVERIFY2(mapped.isEmpty(), qPrintable(QStringLiteral("%1,%2 %3x%4").arg(mapped.x()).arg(mapped.y()).arg(mapped.width()).arg(mapped.height())));
    else
        QCOMPARE(mapped, expected);
}

QTEST_GUILESS_MAIN(tst_GrabberChoice)
#include "tst_grabberchoice.moc"
