// Runs the real capture_server on a headless Wayland desktop (scripts/wayland-session.sh), where
// it reads the screen through the ScreenCast portal and PipeWire, and checks what comes out.
#include "configwindow.h"
#include "framebytes.h"
#include "imagerecorder.h"
#include "jpegcodec.h"
#include "portalgrabber.h"
#include "selectionwindow.h"
#include "testsupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDataStream>
#include <QDir>
#include <QImageReader>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <csignal>

namespace {

// The output of the session's compositor.
const QSize outputSize(1280, 720);
// Bounds the program's own waits on the portal stay well within.
constexpr int PortalWaitMs = 30000;

// A full-screen window showing a picture. The portal sends a frame only when the screen
// changes, so until stopBlinking() a small square in the bottom-right corner changes colour at
// 50 Hz; with `animate` the whole window changes colour instead, on every repaint.
class Picture : public QWidget
{
public:
    explicit Picture(const QImage &image, bool animate = false)
        : m_image(image)
        , m_animate(animate)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            ++m_counter;
            update();
        });
        m_timer.start(animate ? 10 : 20);
    }

    // Shows the picture alone from now on: the screen stands still.
    void stopBlinking()
    {
        m_timer.stop();
        m_blinking = false;
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        if (m_animate) {
            painter.fillRect(rect(), QColor::fromHsv((m_counter * 47) % 360, 255, 255));
            return;
        }
        painter.drawImage(0, 0, m_image);
        if (m_blinking)
            painter.fillRect(QRect(width() - 8, height() - 8, 8, 8), m_counter % 2 ? Qt::black : Qt::white);
    }

private:
    QImage m_image;
    bool m_animate = false;
    bool m_blinking = true;
    int m_counter = 0;
    QTimer m_timer;
};

// Changes the output's background, which a portal stream sees as a change of the screen.
void nudgeScreen()
{
    static int count = 0;
    QProcess::execute(QStringLiteral("swaymsg"), {QStringLiteral("output"), QStringLiteral("*"), QStringLiteral("bg"),
                                                  ++count % 2 ? QStringLiteral("#00ff00") : QStringLiteral("#ff00ff"),
                                                  QStringLiteral("solid_color")});
}

QString areaArgument(const QRect &r)
{
    return QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// capture_server on the portal, its own window kept off the Wayland output (offscreen), in `dir`.
void startServer(QProcess &server, const QString &dir, const QStringList &arguments, const QString &busAddress = {})
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!busAddress.isEmpty())
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    server.setProcessEnvironment(environment);
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel); // sanitizer reports reach the log
    server.setWorkingDirectory(dir);
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 QStringList{QStringLiteral("--grabber"), QStringLiteral("portal"), QStringLiteral("--port"),
                             QStringLiteral("0"), QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                             QStringLiteral("--start")}
                     + arguments);
}

// The saver's files picN.jpg in order, as long as the numbers run without a gap.
QList<QImage> savedFiles(const QString &dir)
{
    QList<QImage> files;
    for (int i = 0;; ++i) {
        const QString path = dir + QStringLiteral("/capture/pic%1.jpg").arg(i);
        if (!QFileInfo::exists(path))
            break;
        files.append(QImageReader(path).read());
    }
    return files;
}

QColor meanColour(const QImage &image)
{
    qint64 r = 0, g = 0, b = 0;
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < rgb.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x) {
            r += qRed(line[x]);
            g += qGreen(line[x]);
            b += qBlue(line[x]);
        }
    }
    const qint64 n = std::max<qint64>(1, qint64(rgb.width()) * rgb.height());
    return QColor(int(r / n), int(g / n), int(b / n));
}

} // namespace

class tst_PortalCapture : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void knownPictureComesOutExactly_data();
    void knownPictureComesOutExactly();
    void movingWindowGivesDistinctFrames();
    void selectionShowsThePortalsFrame();
    void cancelledDialogStartsNothing();
    void startAfterRefusalAsksAgain();
    void restoreTokenAsksOnlyOnce();
    void streamEndStopsCaptureWithEveryFile();
    void hotkeysAndClicksSayWhyTheyAreMissing();
    void missingPortalSaysWhatToInstall_data();
    void missingPortalSaysWhatToInstall();
    void windowWithoutThePortalsWindowsCapturesTheMonitor();
};

void tst_PortalCapture::init()
{
    if (QByteArray(QTest::currentTestFunction()).startsWith("missingPortal"))
        return; // needs no session
    const QString unavailable = qEnvironmentVariable("DESKCAST_WAYLAND_UNAVAILABLE");
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(QStringLiteral("no headless Wayland session: ") + unavailable));
    if (qEnvironmentVariable("DESKCAST_WAYLAND_SESSION") != QLatin1String("1"))
        QSKIP("not inside a headless Wayland session: run through scripts/wayland-session.sh");
}

void tst_PortalCapture::knownPictureComesOutExactly_data()
{
    QTest::addColumn<QString>("handler");
    QTest::addColumn<QRect>("area");
    QTest::addColumn<bool>("cursor"); // --cursor: the desktop draws the pointer (this output has none)
    QTest::newRow("PNG over TCP, an inner area: pixel-exact") << QStringLiteral("tcp") << QRect(101, 53, 397, 211) << false;
    QTest::newRow("PNG over TCP, the whole output") << QStringLiteral("tcp") << QRect(QPoint(0, 0), outputSize) << false;
    QTest::newRow("PNG over TCP, past the output's edge: clipped")
        << QStringLiteral("tcp") << QRect(1100, 600, 400, 300) << false;
    QTest::newRow("PNG over TCP, pointer drawn by the desktop") << QStringLiteral("tcp") << QRect(10, 10, 300, 200) << true;
    QTest::newRow("JPEG files, a still screen: frames repeat, within JPEG's error")
        << QStringLiteral("saver") << QRect(640, 360, 320, 240) << false;
}

void tst_PortalCapture::knownPictureComesOutExactly()
{
    QFETCH(QString, handler);
    QFETCH(QRect, area);
    QFETCH(bool, cursor);
    const bool jpeg = handler == QLatin1String("saver");
    // Noise for the exact comparison; for JPEG a photo-like picture, whose error stays small.
    const QImage picture = jpeg ? photoLikeImage(outputSize.width(), outputSize.height(), 3)
                                : patternImage(outputSize.width(), outputSize.height(), 11);
    Picture window(picture);
    window.showFullScreen();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QImage expected = picture.copy(area & QRect(QPoint(0, 0), outputSize)).convertToFormat(QImage::Format_RGB32);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    const int frameCount = jpeg ? 20 : 150;
    QStringList arguments{QStringLiteral("--handler"), handler, QStringLiteral("--area"), areaArgument(area),
                          QStringLiteral("--fps"), QStringLiteral("30"), QStringLiteral("--frames"), QString::number(frameCount)};
    if (cursor)
        arguments << QStringLiteral("--cursor");
    startServer(server, dir.path(), arguments);
    QVERIFY(server.waitForStarted());

    if (jpeg) {
        // Once the capture runs the screen stands still: the portal sends no more frames, every
        // tick repeats the last one, and the run still ends.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath(QStringLiteral("capture/pic0.jpg")))
                                     || server.state() == QProcess::NotRunning,
                                 30000);
        window.stopBlinking();
        QTRY_VERIFY_WITH_TIMEOUT(server.state() == QProcess::NotRunning, 60000);
        const QString output = QString::fromLatin1(server.readAllStandardOutput());
        QVERIFY2(server.exitCode() == 0, qPrintable(output));
        const QList<QImage> files = savedFiles(dir.path());
        QCOMPARE(files.size(), frameCount);
        // The last file: by then the window is surely up. Encoded by the saver's own encoder,
        // exactly these pixels give the same file (a pixel's shift would not).
        const QImage wanted = QImage::fromData(encodeJpeg(expected, -1, ChromaSubsampling::Half), "jpg");
        QCOMPARE(files.last().size(), expected.size());
        QVERIFY2(maxChannelDifference(files.last(), wanted) <= 2,
                 qPrintable(QStringLiteral("differs by up to %1").arg(maxChannelDifference(files.last(), wanted))));
        return;
    }

    QByteArray output;
    quint16 port = 0;
    const QRegularExpression portLine(QStringLiteral("^Port: (\\d+)$"), QRegularExpression::MultilineOption);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            output += server.readAllStandardOutput();
            const QRegularExpressionMatch match = portLine.match(QString::fromLatin1(output));
            port = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
            return port != 0 || server.state() == QProcess::NotRunning;
        }(),
        20000);
    QVERIFY2(port != 0, output.constData());

    QTcpSocket viewer;
    QImage lastFrame;
    bool matched = false;
    onEachImage(viewer, [&](const QImage &image) {
        lastFrame = image;
        window.stopBlinking(); // the next frame of the stream shows the picture alone
        matched = matched || lastFrame.convertToFormat(QImage::Format_RGB32) == expected;
    });
    viewer.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(viewer.waitForConnected(10000));
    QTRY_VERIFY_WITH_TIMEOUT(matched || server.state() == QProcess::NotRunning, 30000);
    QVERIFY2(matched, qPrintable(QStringLiteral("no frame equal to the picture; the last %1x%2, differing by up to %3")
                                     .arg(lastFrame.width())
                                     .arg(lastFrame.height())
                                     .arg(maxChannelDifference(lastFrame, expected))));
    QVERIFY(server.waitForFinished(30000));
    QCOMPARE(server.exitCode(), 0);
    // This backend offers the embedded pointer: --cursor must have been granted, not dropped.
    output += server.readAllStandardOutput();
    QVERIFY2(!output.contains("cannot draw the pointer"), output.constData());
}

void tst_PortalCapture::movingWindowGivesDistinctFrames()
{
    Picture window(QImage(), true);
    window.showFullScreen();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    const int frameCount = 40;
    // 15 frames a second: the window changes several times between two ticks even when the
    // window, the compositor and the capture share two busy cores.
    startServer(server, dir.path(),
                {QStringLiteral("--handler"), QStringLiteral("saver"), QStringLiteral("--area"),
                 QStringLiteral("200,100,64,64"), QStringLiteral("--fps"), QStringLiteral("15"), QStringLiteral("--frames"),
                 QString::number(frameCount)});
    QVERIFY(server.waitForStarted());
    // Waits with the event loop running: the window keeps changing.
    QTRY_VERIFY_WITH_TIMEOUT(server.state() == QProcess::NotRunning, 60000);
    QVERIFY2(server.exitCode() == 0, server.readAllStandardOutput().constData());

    const QList<QImage> files = savedFiles(dir.path());
    QCOMPARE(files.size(), frameCount);
    // The colour changes much faster than the capture rate: each tick should find a new frame. A
    // few repeats are allowed for a busy machine; a grabber stuck on one frame repeats them all,
    // and one that takes only every other frame half of them.
    int distinct = 0;
    for (int i = 1; i < files.size(); ++i) {
        const QColor a = meanColour(files[i - 1]);
        const QColor b = meanColour(files[i]);
        if (std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue()) > 12)
            ++distinct;
    }
    QVERIFY2(distinct >= (frameCount - 1) * 3 / 4,
             qPrintable(QStringLiteral("%1 of %2 frames differ from the one before").arg(distinct).arg(frameCount - 1)));
}

void tst_PortalCapture::selectionShowsThePortalsFrame()
{
    const QImage picture = patternImage(outputSize.width(), outputSize.height(), 5);
    Picture window(picture);
    window.showFullScreen();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    PortalGrabber portal;
    QSignalSpy ready(&portal, &PortalGrabber::ready);
    portal.start(false);
    QTRY_VERIFY_WITH_TIMEOUT(ready.size() == 1 || portal.state() == PortalGrabber::State::Failed, PortalWaitMs);
    QVERIFY2(ready.size() == 1, qPrintable(portal.status()));
    window.stopBlinking();
    const QRect output(QPoint(0, 0), outputSize);
    // The desktop sends a frame only for a change: the last blink may be the newest it sent, so
    // the window is painted again (the same picture) until the stream shows it still.
    const QImage still = picture.convertToFormat(QImage::Format_RGB32);
    QTRY_VERIFY_WITH_TIMEOUT((window.update(), portal.grabArea(output, output) == still), PortalWaitMs);

    CaptureOptions options;
    options.port = 0;
    options.bind = QHostAddress::LocalHost;
    ConfigWindow control(nullptr, qApp, options);
    control.setGrabber(&portal);
    control.SLOT_startSelection();
    SelectionWindow *selection = control.selectionWindow;
    QVERIFY(selection->isVisible());
    // What the window paints: the portal's frame at 30 % over its background, right of the
    // rectangle and its controls.
    QImage expected(selection->size(), QImage::Format_RGB32);
    expected.fill(selection->palette().color(selection->backgroundRole()));
    {
        QPainter painter(&expected);
        painter.setOpacity(0.3);
        painter.drawImage(expected.rect(), picture);
    }
    const QRect compared(700, 0, outputSize.width() - 700, outputSize.height());
    QCOMPARE(selection->size(), outputSize);
    const QImage shown = selection->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const int difference = maxChannelDifference(shown.copy(compared), expected.copy(compared));
    QVERIFY2(difference <= 2, qPrintable(QStringLiteral("differs by up to %1").arg(difference)));
    selection->hide();
}

void tst_PortalCapture::cancelledDialogStartsNothing()
{
    // Run in a session whose backend refuses to share (scripts/wayland-session.sh --refuse).
    if (qEnvironmentVariable("DESKCAST_TEST_PORTAL_REFUSES") != QLatin1String("1"))
        QSKIP("needs a session whose portal refuses: DESKCAST_TEST_PORTAL_REFUSES=1 with --refuse");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    startServer(server, dir.path(), {QStringLiteral("--frames"), QStringLiteral("5")});
    QVERIFY(server.waitForStarted());
    QVERIFY2(server.waitForFinished(PortalWaitMs), "capture_server still runs after the portal refused");
    const QString output = QString::fromLatin1(server.readAllStandardOutput());
    QCOMPARE(server.exitCode(), 1);
    QVERIFY2(output.contains(QStringLiteral("Screen sharing was cancelled in the desktop portal's dialog: nothing is captured")),
             qPrintable(output));
    QVERIFY(!output.contains(QStringLiteral("Captures/s")));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("capture/pic0.jpg"))));
}

void tst_PortalCapture::startAfterRefusalAsksAgain()
{
    if (qEnvironmentVariable("DESKCAST_TEST_PORTAL_REFUSES") != QLatin1String("1"))
        QSKIP("needs a session whose portal refuses: DESKCAST_TEST_PORTAL_REFUSES=1 with --refuse");
    PortalGrabber portal;
    QSignalSpy failed(&portal, &PortalGrabber::failed);
    CaptureOptions options;
    options.port = 0;
    options.bind = QHostAddress::LocalHost;
    ConfigWindow control(nullptr, qApp, options);
    control.setGrabber(&portal);
    portal.start(false);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, PortalWaitMs);
    QVERIFY(control.windowTitle().contains(QStringLiteral("cancelled")));
    // "Start/Stop" starts nothing but asks the portal again, which refuses again.
    control.startStopButton->click();
    QVERIFY(!control.capturing);
    QCOMPARE(portal.state(), PortalGrabber::State::Starting);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 2, PortalWaitMs);
    QVERIFY(!control.capturing);
    QCOMPARE(control.recorder->frameCount, 0);
}

void tst_PortalCapture::restoreTokenAsksOnlyOnce()
{
    // Run in a session whose backend shares when first asked and refuses afterwards
    // (scripts/wayland-session.sh --ask-once).
    if (qEnvironmentVariable("DESKCAST_TEST_PORTAL_ASKS_ONCE") != QLatin1String("1"))
        QSKIP("needs a session whose portal shares only once: DESKCAST_TEST_PORTAL_ASKS_ONCE=1 with --ask-once");
    const QString token = QDir::homePath() + QStringLiteral("/.config/capture_server/portal-restore-token");
    QVERIFY(!QFileInfo::exists(token));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // One scripted run of three frames: its exit status and console.
    const auto run = [&](int &status, QString &output) {
        QProcess server;
        startServer(server, dir.path(), {QStringLiteral("--frames"), QStringLiteral("3")});
        QVERIFY(server.waitForStarted());
        // The screen changes until the run ends, so that each stream has a first frame.
        QTRY_VERIFY_WITH_TIMEOUT((nudgeScreen(), server.state() == QProcess::NotRunning), PortalWaitMs);
        status = server.exitCode();
        output = QString::fromLatin1(server.readAllStandardOutput());
    };
    int status = -1;
    QString output;
    run(status, output); // the user is asked and shares
    QVERIFY2(status == 0, qPrintable(output));
    QVERIFY(QFileInfo::exists(token));
    run(status, output); // not asked again: the token restores the choice
    QVERIFY2(status == 0, qPrintable(output));
    QVERIFY(QFile::remove(token));
    run(status, output); // without the token the user is asked, and now refuses
    QVERIFY2(status == 1 && output.contains(QLatin1String("cancelled")), qPrintable(output));
}

void tst_PortalCapture::streamEndStopsCaptureWithEveryFile()
{
    // Ends the session's compositor or portal backend: run in a session of its own, with
    // DESKCAST_TEST_END_STREAM=compositor or backend.
    const QString what = qEnvironmentVariable("DESKCAST_TEST_END_STREAM");
    const QString pidVariable = what == QLatin1String("compositor") ? QStringLiteral("DESKCAST_SWAY_PID")
                                : what == QLatin1String("backend")  ? QStringLiteral("DESKCAST_PORTAL_BACKEND_PID")
                                                                    : QString();
    if (pidVariable.isEmpty())
        QSKIP("ends the session: needs DESKCAST_TEST_END_STREAM=compositor or backend");
    const int pid = qEnvironmentVariableIntValue(qPrintable(pidVariable));
    QVERIFY(pid > 0);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    startServer(server, dir.path(),
                {QStringLiteral("--handler"), QStringLiteral("saver"), QStringLiteral("--area"), QStringLiteral("0,0,640,360"),
                 QStringLiteral("--fps"), QStringLiteral("30")});
    QVERIFY(server.waitForStarted());
    // The screen changes until the capture runs, so that the stream has a first frame.
    QTRY_VERIFY_WITH_TIMEOUT((nudgeScreen(), QFileInfo::exists(dir.filePath(QStringLiteral("capture/pic4.jpg")))), 30000);
    QCOMPARE(::kill(pid, SIGTERM), 0);

    QVERIFY2(server.waitForFinished(PortalWaitMs), "capture_server still runs after its stream ended");
    const QString output = QString::fromLatin1(server.readAllStandardOutput());
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 1);
    QVERIFY2(output.contains(QRegularExpression(QStringLiteral("The screen's stream ended \\(.*\\): capture stopped"))),
             qPrintable(output));
    // Stopped as "Start/Stop" would: every frame announced was written, numbered without a gap.
    const QList<QImage> files = savedFiles(dir.path());
    QCOMPARE(qsizetype(files.size()), output.count(QStringLiteral("Writing: ")));
    for (const QImage &file : files)
        QCOMPARE(file.size(), QSize(640, 360));
}

void tst_PortalCapture::hotkeysAndClicksSayWhyTheyAreMissing()
{
    // This desktop's portal has no GlobalShortcuts, and no portal tells of the mouse's buttons:
    // each says so in one line, and the capture itself goes on.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    QByteArray output;
    connect(&server, &QProcess::readyReadStandardOutput, this, [&] { output += server.readAllStandardOutput(); });
    startServer(server, dir.path(),
                {QStringLiteral("--handler"), QStringLiteral("saver"), QStringLiteral("--area"), QStringLiteral("0,0,320,240"),
                 QStringLiteral("--show-clicks")});
    const QString hotkeys = QStringLiteral("Hotkeys are not available on this Wayland desktop: its portal offers no "
                                           "global shortcuts (org.freedesktop.portal.GlobalShortcuts)");
    const QString clicks = QStringLiteral("Clicks are not shown on Wayland: ");
    QTRY_VERIFY_WITH_TIMEOUT((nudgeScreen(), QFileInfo::exists(dir.filePath(QStringLiteral("capture/pic2.jpg")))
                                                 && output.contains(hotkeys.toLatin1())),
                             PortalWaitMs);
    server.terminate();
    QVERIFY(server.waitForFinished(PortalWaitMs));
    output += server.readAllStandardOutput();
    QCOMPARE(QString::fromLatin1(output).count(hotkeys), 1);
    QCOMPARE(QString::fromLatin1(output).count(clicks), 1);
}

void tst_PortalCapture::missingPortalSaysWhatToInstall_data()
{
    QTest::addColumn<bool>("bus");
    QTest::addColumn<QString>("line");
    QTest::newRow("no session bus") << false
                                    << "Screen capture on Wayland needs a D-Bus session bus, and there is none";
    QTest::newRow("a bus without the portal")
        << true << "Screen capture on Wayland needs the desktop portal: install xdg-desktop-portal and the portal backend";
}

void tst_PortalCapture::missingPortalSaysWhatToInstall()
{
    QFETCH(bool, bus);
    QFETCH(QString, line);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString address = QStringLiteral("unix:path=") + dir.filePath(QStringLiteral("no-bus"));
    QProcess daemon;
    if (bus) {
        // A bus of our own that can start no service at all.
        QFile config(dir.filePath(QStringLiteral("bus.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("<busconfig><type>session</type><listen>unix:path=" + dir.filePath(QStringLiteral("bus")).toUtf8()
                     + "</listen><policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                       "</policy></busconfig>");
        config.close();
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                      QStringLiteral("--print-address=1")});
        if (!daemon.waitForStarted())
            QSKIP("dbus-daemon is not installed");
        QTRY_VERIFY_WITH_TIMEOUT(daemon.canReadLine(), 10000);
        address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    QProcess server;
    startServer(server, dir.path(), {QStringLiteral("--frames"), QStringLiteral("5")}, address);
    QVERIFY(server.waitForFinished(PortalWaitMs));
    const QString output = QString::fromLatin1(server.readAllStandardOutput());
    QCOMPARE(server.exitCode(), 1);
    QVERIFY2(output.contains(line), qPrintable(output));
    daemon.kill();
    daemon.waitForFinished();
}

void tst_PortalCapture::windowWithoutThePortalsWindowsCapturesTheMonitor()
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get.setArguments({QStringLiteral("org.freedesktop.portal.ScreenCast"), QStringLiteral("AvailableSourceTypes")});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, PortalWaitMs);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    if (reply.arguments().value(0).value<QDBusVariant>().variant().toUInt() & 2)
        QSKIP("this desktop's portal offers windows: the desktop's dialog picks one");

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess server;
    startServer(server, dir.path(),
                {QStringLiteral("--window-name"), QStringLiteral("anything"), QStringLiteral("--frames"), QStringLiteral("3")});
    QVERIFY(server.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT((nudgeScreen(), server.state() == QProcess::NotRunning), PortalWaitMs);
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    const QString output = QString::fromLatin1(server.readAllStandardOutput());
    QVERIFY2(output.contains(QStringLiteral("Following a window is not available on this desktop: its screen-sharing "
                                            "portal offers no windows, so the monitor is captured")),
             qPrintable(output));
    QCOMPARE(savedFiles(dir.path()).size(), 3);
}

QTEST_MAIN(tst_PortalCapture)
#include "tst_portalcapture.moc"
