#include "capturesession.h"

#include "captureoptions.h"

#include "configstructure.h"
#include "framehistory.h"
#include "grabber.h"
#include "imagerecorder.h"
#include "simpleimagesaver.h"
#include "webframebroadcaster.h"
#include "webviewserver.h"
#include "testsupport.h"

#include <QDir>
#include <QImageReader>
#include <QPainter>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <vector>

namespace {

// A grabber without a screen: a still photo-like desktop with a block that moves at every grab.
// Keeps what it handed out, so the test knows each frame.
class FakeGrabber : public Grabber
{
public:
    [[nodiscard]] QList<QRect> screens() const override { return {QRect(0, 0, 320, 240)}; }
    [[nodiscard]] QImage grab(const QRect &area, bool) override
    {
        QImage frame = m_desktop.copy(area);
        QPainter painter(&frame);
        painter.fillRect(int(grabbed.size()) * 12 % 280, 100, 40, 40, QColor(200, 40, 40));
        // A band that changes across its whole width: what the browsers take as JPEG.
        painter.fillRect(0, 192, 320, 16, QColor::fromHsv(int(grabbed.size()) * 37 % 360, 200, 200));
        painter.end();
        grabbed.push_back(frame);
        return frame;
    }
    [[nodiscard]] QImage snapshot() override { return m_desktop; }

    std::vector<QImage> grabbed;

private:
    const QImage m_desktop = photoLikeImage(320, 240, 7);
};

} // namespace

class tst_CaptureSession : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void keepsAndSendsEveryFrame_data();
    void keepsAndSendsEveryFrame();
};

void tst_CaptureSession::keepsAndSendsEveryFrame_data()
{
    QTest::addColumn<bool>("saver");
    QTest::addColumn<bool>("web");
    QTest::addColumn<bool>("browser"); // one connects after a few frames and leaves before the end
    QTest::newRow("saver: coded once, the history keeps the files' coding") << true << false << false;
    QTest::newRow("no handler: the history codes the frames itself") << false << false << false;
    QTest::newRow("web view, nobody watching: nothing coded for it") << false << true << false;
    QTest::newRow("web view, a browser for a while: its bands coded, every frame in order") << false << true << true;
}

void tst_CaptureSession::keepsAndSendsEveryFrame()
{
    QFETCH(bool, saver);
    QFETCH(bool, web);
    QFETCH(bool, browser);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString before = QDir::currentPath();
    QDir::setCurrent(dir.path()); // the saver writes below ./capture
    const auto restore = qScopeGuard([&before] { QDir::setCurrent(before); });
    CoutCapture cout;

    CaptureOptions options;
    if (web) {
        options.webPort = 0; // a free one
        options.bind = QHostAddress(QHostAddress::LocalHost);
        options.webToken = QStringLiteral("test-token-0123456789ab");
    }
    CaptureSession session(options);
    const quint16 webPort = web ? session.webServer()->serverPort() : 0;
    session.history()->setMovingAsVideo(false); // every frame in bands, as the files have it
    auto owned = std::make_unique<FakeGrabber>();
    FakeGrabber *grabber = owned.get();
    session.setGrabber(std::move(owned));
    QRect selection(0, 0, 320, 240);
    ConfigStructure config;
    config.selection = &selection;
    config.fps = 60;
    config.grabber = session.grabber();
    config.sink = &session;
    config.handler = saver ? session.imageSaver() : nullptr;
    config.webView = session.webView();
    ImageRecorder *recorder = session.recorder();
    QSignalSpy frames(recorder, &ImageRecorder::SIG_frameCaptured);
    recorder->SLOT_startCapture(&config);
    QTRY_VERIFY(frames.count() >= 10);
    int shown = 0;
    if (browser) {
        // The page's end of the WebSocket, answering every frame.
        QWebSocket socket(QStringLiteral("http://127.0.0.1:%1").arg(webPort));
        connect(&socket, &QWebSocket::binaryMessageReceived, &socket, [&socket, &shown](const QByteArray &) {
            ++shown;
            socket.sendTextMessage(QStringLiteral("ready"));
        });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws?token=%2").arg(webPort).arg(options.webToken)));
        QTRY_VERIFY(shown >= 10);
        socket.close();
        const int left = frames.count();
        QTRY_VERIFY(frames.count() >= left + 10);
    }
    recorder->SLOT_stopCapture();

    // Every grabbed frame is in the history, at its grab time, as it was grabbed.
    const int count = recorder->frameCount;
    FrameHistory &history = *session.history();
    history.waitUntilStored();
    QCOMPARE(history.size(), count);
    QCOMPARE(int(grabber->grabbed.size()), count);
    for (int i = 0; i < count; ++i) {
        QVERIFY(i == 0 || history.timeMs(i) >= history.timeMs(i - 1));
        const QImage kept = history.frame(i);
        QVERIFY2(psnr(kept, grabber->grabbed[size_t(i)]) > 30, qPrintable(QString::number(i)));
        if (saver) {
            // The file and the history hold one coding of the frame.
            const QImage file = QImageReader(QStringLiteral("capture/pic%1.jpg").arg(i)).read();
            QCOMPARE(maxChannelDifference(kept, file.convertToFormat(QImage::Format_RGB32)), 0);
        }
    }
    QVERIFY(history.timeMs(count - 1) > history.timeMs(0));
    // The history takes the shared coder's bands where they exist: the saver's always, the
    // browsers' only while one watched.
    QCOMPARE(history.takenBands() > 0, saver || browser);
}

QTEST_GUILESS_MAIN(tst_CaptureSession)
#include "tst_capturesession.moc"
