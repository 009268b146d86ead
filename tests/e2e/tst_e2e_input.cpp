// Runs the real capture_server under the X server with hotkeys pressed and mouse buttons clicked
// by xdotool while another window (this test's) has the focus, and checks what the program does
// and what its frames show.
#include "clickrings.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QProcess>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <cstdlib>

namespace {

// capture_server with its output collected, ended by SIGTERM as a user's Ctrl+C would.
class Server
{
public:
    Server(const QString &dir, const QStringList &arguments)
    {
        m_process.setWorkingDirectory(dir);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        QObject::connect(&m_process, &QProcess::readyRead, [this] { m_output += m_process.readAll(); });
        // Its window kept clear of where the test clicks and captures.
        m_process.start(QStringLiteral(CAPTURE_SERVER_PATH),
                        QStringList{QStringLiteral("-geometry"), QStringLiteral("560x640+1200+0"), QStringLiteral("--port"),
                                    QStringLiteral("0")}
                            + arguments);
    }
    ~Server()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(20000))
            m_process.kill();
        m_process.waitForFinished();
    }
    [[nodiscard]] bool has(const QString &text) const { return QString::fromLatin1(m_output).contains(text); }
    [[nodiscard]] QString line(const QRegularExpression &pattern) const
    {
        return pattern.match(QString::fromLatin1(m_output)).captured(0);
    }
    [[nodiscard]] QString output() const { return QString::fromLatin1(m_output); }

private:
    QProcess m_process;
    QByteArray m_output;
};

bool pressKeys(const QString &keys)
{
    return runSystemTool(QStringLiteral("xdotool"), {QStringLiteral("key"), keys}) == 0;
}

// Takes a key combination from the X server on a connection of the test's own, as another
// program holding that hotkey would.
class KeyTaker
{
public:
    KeyTaker(xcb_keysym_t keysym, std::uint16_t modifiers)
    {
        m_connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_connection))
            return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
        xcb_key_symbols_t *symbols = xcb_key_symbols_alloc(m_connection);
        xcb_keycode_t *codes = xcb_key_symbols_get_keycode(symbols, keysym);
        if (codes && codes[0] != XCB_NO_SYMBOL) {
            xcb_void_cookie_t cookie = xcb_grab_key_checked(m_connection, 0, m_root, modifiers, codes[0],
                                                            XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            xcb_generic_error_t *error = xcb_request_check(m_connection, cookie);
            m_taken = !error;
            std::free(error);
        }
        std::free(codes);
        xcb_key_symbols_free(symbols);
    }
    ~KeyTaker() { xcb_disconnect(m_connection); }
    [[nodiscard]] bool taken() const { return m_taken; }

private:
    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = 0;
    bool m_taken = false;
};

// Whether `image` has the ring of `colour` around `centre`: on four points of the ring, within
// JPEG's error, with the untouched background at the centre.
bool hasRing(const QImage &image, const QPoint &centre, QRgb colour, QRgb background)
{
    const auto near = [](QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) < 48 && std::abs(qGreen(a) - qGreen(b)) < 48 && std::abs(qBlue(a) - qBlue(b)) < 48;
    };
    const int r = (clickRingOuterRadius + clickRingInnerRadius) / 2;
    for (const QPoint offset : {QPoint(r, 0), QPoint(-r, 0), QPoint(0, r), QPoint(0, -r)}) {
        const QPoint p = centre + offset;
        if (!image.rect().contains(p) || !near(image.pixel(p), colour))
            return false;
    }
    return near(image.pixel(centre), background);
}

} // namespace

class tst_E2eInput : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void hotkeysActWhileAnotherWindowHasTheFocus_data();
    void hotkeysActWhileAnotherWindowHasTheFocus();
    void clickShowsARingOfItsButtonsColour_data();
    void clickShowsARingOfItsButtonsColour();

private:
    // A window of this test, which holds the focus while the hotkeys are pressed.
    std::unique_ptr<PatternWindow> m_focus;
};

void tst_E2eInput::initTestCase()
{
    if (runSystemTool(QStringLiteral("xdotool"), {QStringLiteral("version")}) != 0)
        QFAIL("xdotool is needed (scripts/install-deps.sh installs it)");
    QImage grey(400, 300, QImage::Format_RGB32);
    grey.fill(qRgb(128, 128, 128));
    m_focus = std::make_unique<PatternWindow>(grey, QPoint(100, 100));
    m_focus->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_focus.get()));
}

void tst_E2eInput::hotkeysActWhileAnotherWindowHasTheFocus_data()
{
    QTest::addColumn<uint>("takenKeysym"); // its key taken with Ctrl+Alt+Shift by another program first, or 0
    QTest::addColumn<QString>("takenLine");
    QTest::addColumn<bool>("numLock"); // pressed with NumLock on
    QTest::newRow("every hotkey free") << 0u << QString() << false;
    QTest::newRow("every hotkey free, NumLock on") << 0u << QString() << true;
    QTest::newRow("Start/Stop taken: Mark still works")
        << uint('r') << "Hotkey Ctrl+Alt+Shift+R (Start/Stop) is taken by another program" << false;
    QTest::newRow("Mark taken: Start/Stop still works")
        << uint('m') << "Hotkey Ctrl+Alt+Shift+M (Mark) is taken by another program" << false;
    QTest::newRow("Pause taken: the others still work")
        << uint('p') << "Hotkey Ctrl+Alt+Shift+P (Pause/Resume) is taken by another program" << false;
}

void tst_E2eInput::hotkeysActWhileAnotherWindowHasTheFocus()
{
    QFETCH(uint, takenKeysym);
    QFETCH(QString, takenLine);
    QFETCH(bool, numLock);
    std::unique_ptr<KeyTaker> taker;
    if (takenKeysym != 0) {
        taker = std::make_unique<KeyTaker>(takenKeysym, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_SHIFT);
        QVERIFY(taker->taken());
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Server server(dir.path(), {QStringLiteral("--handler"), QStringLiteral("video"), QStringLiteral("--area"),
                               QStringLiteral("100,100,400,300")});
    QTRY_VERIFY_WITH_TIMEOUT(server.has(QStringLiteral("Hotkeys: ")), 20000);
    if (!takenLine.isEmpty())
        QVERIFY2(server.has(takenLine), qPrintable(server.output()));
    const bool startStop = takenKeysym != 'r';
    const bool mark = takenKeysym != 'm';
    const bool pause = takenKeysym != 'p';

    // The focus is elsewhere: on this test's window.
    m_focus->activateWindow();
    QTRY_VERIFY(m_focus->isActiveWindow());
    const auto toggleNumLock = [] { return pressKeys(QStringLiteral("Num_Lock")); };
    if (numLock)
        QVERIFY(toggleNumLock());
    auto numLockOff = qScopeGuard([&] {
        if (numLock)
            (void)toggleNumLock();
    });
    if (startStop) {
        QVERIFY(pressKeys(QStringLiteral("ctrl+alt+shift+r")));
        QTRY_VERIFY_WITH_TIMEOUT(server.has(QStringLiteral("Recording: ./capture/capture0.mkv")), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(server.has(QStringLiteral("Captures/s")), 10000);
    }
    if (mark) {
        QVERIFY(pressKeys(QStringLiteral("ctrl+alt+shift+m")));
        const QRegularExpression start(startStop ? QStringLiteral("Mark start: frame (\\d+)")
                                                 : QStringLiteral("Mark: no frame to mark yet"));
        QTRY_VERIFY_WITH_TIMEOUT(!server.line(start).isEmpty(), 10000);
        if (startStop) {
            const int first = start.match(server.output()).captured(1).toInt();
            QVERIFY(pressKeys(QStringLiteral("ctrl+alt+shift+m")));
            const QRegularExpression end(QStringLiteral("Mark end: frame (\\d+)"));
            QTRY_VERIFY_WITH_TIMEOUT(!server.line(end).isEmpty(), 10000);
            QVERIFY(end.match(server.output()).captured(1).toInt() >= first);
        }
    }
    if (startStop && pause) {
        QVERIFY(pressKeys(QStringLiteral("ctrl+alt+shift+p")));
        QTRY_VERIFY_WITH_TIMEOUT(server.has(QStringLiteral("Paused")), 10000);
        QVERIFY(pressKeys(QStringLiteral("ctrl+alt+shift+p")));
        QTRY_VERIFY_WITH_TIMEOUT(!server.line(QRegularExpression(QStringLiteral("^Resumed after \\d+\\.\\d s$"), QRegularExpression::MultilineOption)).isEmpty(), 10000);
    }
    if (startStop) {
        QVERIFY(pressKeys(QStringLiteral("ctrl+alt+shift+r")));
        QTRY_VERIFY_WITH_TIMEOUT(server.has(QStringLiteral("Recorded ./capture/capture0.mkv: ")), 10000);
        QVERIFY(QFileInfo(dir.filePath(QStringLiteral("capture/capture0.mkv"))).size() > 0);
    }
}

void tst_E2eInput::clickShowsARingOfItsButtonsColour_data()
{
    QTest::addColumn<int>("button");
    QTest::newRow("left: red") << 1;
    QTest::newRow("middle: green") << 2;
    QTest::newRow("right: blue") << 3;
}

void tst_E2eInput::clickShowsARingOfItsButtonsColour()
{
    QFETCH(int, button);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The grey window at 100,100; the capture starts 50 pixels into it.
    const QPoint areaOrigin(150, 150);
    Server server(dir.path(), {QStringLiteral("--handler"), QStringLiteral("saver"), QStringLiteral("--area"),
                               QStringLiteral("150,150,300,200"), QStringLiteral("--start"), QStringLiteral("--show-clicks"),
                               QStringLiteral("--hotkey-startstop"), QStringLiteral("none"), QStringLiteral("--hotkey-pause"),
                               QStringLiteral("none"), QStringLiteral("--hotkey-mark"), QStringLiteral("none")});
    const QString saved = dir.filePath(QStringLiteral("capture/pic%1.jpg"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(saved.arg(1)), 20000);
    const QPoint click(310, 240);
    QCOMPARE(runSystemTool(QStringLiteral("xdotool"), {QStringLiteral("mousemove"), QString::number(click.x()),
                                                       QString::number(click.y()), QStringLiteral("click"),
                                                       QString::number(button)}),
             0);

    // Some frame after the click shows its ring, then a later one no longer does.
    const QRgb grey = qRgb(128, 128, 128);
    int next = 0;
    int ringAt = -1;
    const auto scan = [&](bool wantRing) {
        for (;; ++next) {
            const QString path = saved.arg(next);
            if (!QFileInfo::exists(saved.arg(next + 1)))
                return false; // the newest file may still be written
            const QImage image = QImageReader(path).read();
            if (!image.isNull() && hasRing(image, click - areaOrigin, clickColour(button), grey) == wantRing)
                return true;
        }
    };
    QTRY_VERIFY_WITH_TIMEOUT(scan(true), 10000);
    ringAt = next++;
    QTRY_VERIFY_WITH_TIMEOUT(scan(false), 10000);
    // About half a second at 20 frames a second: several frames, not dozens.
    QVERIFY2(next - ringAt <= 20, qPrintable(QStringLiteral("ring in frames %1 to %2").arg(ringAt).arg(next)));
    // Another button's colour is not what was drawn.
    for (const int other : {1, 2, 3}) {
        if (other != button)
            QVERIFY(!hasRing(QImageReader(saved.arg(ringAt)).read(), click - areaOrigin, clickColour(other), grey));
    }
}

QTEST_MAIN(tst_E2eInput)
#include "tst_e2e_input.moc"
