#include "capturesession.h"
#include "configstructure.h"
#include "glformat.h"
#include "framehistory.h"
#include "glstreamrenderer.h"
#include "imagehandler.h"
#include "imagerecorder.h"
#include "orderedworker.h"
#include "simpleimagesaver.h"
#include "testsupport.h"

#include <QDir>
#include <QGuiApplication>
#include <QScopeGuard>
#include <QPixmap>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTemporaryDir>
#include <QTimerEvent>

#include <condition_variable>
#include <mutex>

namespace {

// Records the calls the recorder makes, in order.
class RecordingHandler : public ImageHandler
{
public:
    QStringList calls;
    QList<QSize> frameSizes;
    const ConfigStructure *startConfig = nullptr;

    void startHandling(const ConfigStructure *config) override
    {
        startConfig = config;
        calls << QStringLiteral("start");
    }
    void handleFrame(const CapturedFrame &frame) override
    {
        calls << QStringLiteral("frame");
        frameSizes << frame.image.size();
    }
    void stopHandling() override { calls << QStringLiteral("stop"); }
};

// A handler whose worker can be stalled, as a slow disk would stall the saver.
class StallingHandler : public ImageHandler
{
public:
    QList<qint64> handled; // numbers of the frames whose work is done, in the order it was done
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    OrderedWorker worker{1};

    void startHandling(const ConfigStructure *) override {}
    void stopHandling() override { worker.drain(); }
    bool hasRoom() const override { return worker.hasRoom(); }
    void handleFrame(const CapturedFrame &frame) override
    {
        QVERIFY(worker.tryPost(
            [this] {
                std::unique_lock lock(mutex);
                opened.wait(lock, [this] { return open; });
            },
            [this, number = frame.number] { handled << number; }));
    }
    void release()
    {
        {
            std::lock_guard lock(mutex);
            open = true;
        }
        opened.notify_all();
    }
};

} // namespace

class tst_ImageRecorder : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void init();
    void handlerSeesStartFramesStop();
    void stopBeforeFirstTickGivesStartThenStop();
    void timerEventAfterStopDoesNothing();
    void frameCountCarriesOverBetweenRuns();
    void noRendererStillFeedsHandler();
    void noHandlerStillPreviewsAndPrintsRate();
    void framesHaveTheSelectedSize_data();
    void framesHaveTheSelectedSize();
    void selectionOffScreenGrabsNothingAndSaysSoOnce();
    void stalledHandlerSlowsGrabsAndLosesNothing();
    void handlerLinesComeBeforeTheRateLine_data();
    void handlerLinesComeBeforeTheRateLine();

private:
    std::unique_ptr<CaptureSession> m_session; // where the recorder hands its frames
    QRect m_selection;
    ConfigStructure m_config;
    RecordingHandler m_handler;
};

void tst_ImageRecorder::init()
{
    m_selection = QRect(0, 0, 64, 48);
    m_config = ConfigStructure();
    m_config.selection = &m_selection;
    m_config.desktop = QGuiApplication::primaryScreen();
    m_config.handler = &m_handler;
    m_config.fps = 60;
    m_session = std::make_unique<CaptureSession>();
    m_config.grabber = m_session->grabber();
    m_config.sink = m_session.get();
    m_handler.calls.clear();
    m_handler.frameSizes.clear();
}

void tst_ImageRecorder::handlerSeesStartFramesStop()
{
    ImageRecorder recorder;
    QSignalSpy frames(&recorder, &ImageRecorder::SIG_frameCaptured);
    CoutCapture out;
    recorder.SLOT_startCapture(&m_config);
    QCOMPARE(m_handler.calls, QStringList{QStringLiteral("start")});
    QCOMPARE(m_handler.startConfig, &m_config);
    QTRY_VERIFY(frames.count() >= 3);
    recorder.SLOT_stopCapture();
    QCOMPARE(m_handler.calls.constFirst(), QStringLiteral("start"));
    QCOMPARE(m_handler.calls.constLast(), QStringLiteral("stop"));
    QCOMPARE(m_handler.calls.count(QStringLiteral("frame")), recorder.frameCount);
    // One rate line per frame.
    QCOMPARE(out.lines().filter(QRegularExpression(QStringLiteral("^Captures/s [0-9.e+inf]+$"))).size(),
             recorder.frameCount);
}

void tst_ImageRecorder::stopBeforeFirstTickGivesStartThenStop()
{
    ImageRecorder recorder;
    m_config.fps = 1;
    recorder.SLOT_startCapture(&m_config);
    recorder.SLOT_stopCapture();
    QCOMPARE(m_handler.calls, (QStringList{QStringLiteral("start"), QStringLiteral("stop")}));
    QCOMPARE(recorder.frameCount, 0);
}

void tst_ImageRecorder::timerEventAfterStopDoesNothing()
{
    ImageRecorder recorder;
    QSignalSpy frames(&recorder, &ImageRecorder::SIG_frameCaptured);
    recorder.SLOT_startCapture(&m_config);
    QTRY_VERIFY(frames.count() >= 1);
    recorder.SLOT_stopCapture();
    const int count = recorder.frameCount;
    const int calls = int(m_handler.calls.size());
    QTimerEvent stray(12345);
    QCoreApplication::sendEvent(&recorder, &stray);
    QTest::qWait(50); // and no timer left behind
    QCOMPARE(recorder.frameCount, count);
    QCOMPARE(m_handler.calls.size(), calls);
}

void tst_ImageRecorder::frameCountCarriesOverBetweenRuns()
{
    ImageRecorder recorder;
    QSignalSpy frames(&recorder, &ImageRecorder::SIG_frameCaptured);
    recorder.SLOT_startCapture(&m_config);
    QTRY_VERIFY(frames.count() >= 2);
    recorder.SLOT_stopCapture();
    const int first = recorder.frameCount;
    QCOMPARE(first, int(frames.count()));
    recorder.SLOT_startCapture(&m_config);
    QTRY_VERIFY(frames.count() >= first + 2);
    recorder.SLOT_stopCapture();
    QVERIFY(recorder.frameCount >= first + 2);
    QCOMPARE(recorder.frameCount, int(frames.count()));
    QCOMPARE(m_handler.calls.count(QStringLiteral("start")), 2);
    QCOMPARE(m_handler.calls.count(QStringLiteral("stop")), 2);
}

void tst_ImageRecorder::noRendererStillFeedsHandler()
{
    ImageRecorder recorder;
    QSignalSpy frames(&recorder, &ImageRecorder::SIG_frameCaptured);
    m_config.renderer = nullptr;
    recorder.SLOT_startCapture(&m_config);
    QTRY_VERIFY(frames.count() >= 2);
    recorder.SLOT_stopCapture();
    QCOMPARE(m_handler.calls.count(QStringLiteral("frame")), recorder.frameCount);
}

void tst_ImageRecorder::noHandlerStillPreviewsAndPrintsRate()
{
    GLStreamRenderer renderer;
    m_session->setPreview(&renderer);
    renderer.show();
    QVERIFY(QTest::qWaitForWindowExposed(&renderer));
    ImageRecorder recorder;
    QSignalSpy frames(&recorder, &ImageRecorder::SIG_frameCaptured);
    m_config.handler = nullptr;
    m_config.renderer = &renderer;
    CoutCapture out;
    recorder.SLOT_startCapture(&m_config);
    QTRY_VERIFY(frames.count() >= 3);
    recorder.SLOT_stopCapture();
    QCOMPARE(m_session->history()->size(), recorder.frameCount);
    QCOMPARE(renderer.storedFrameCount(), recorder.frameCount);
    QCOMPARE(out.lines().filter(QStringLiteral("Captures/s ")).size(), recorder.frameCount);
    QVERIFY(m_handler.calls.isEmpty());
}

void tst_ImageRecorder::framesHaveTheSelectedSize_data()
{
    QTest::addColumn<QRect>("selection");
    QTest::addColumn<QSize>("frameSize");
    const QSize screen = QGuiApplication::primaryScreen()->size();
    QTest::newRow("one pixel wide (equal left and right edges)") << QRect(QPoint(10, 10), QPoint(10, 29)) << QSize(1, 20);
    QTest::newRow("inclusive edges") << QRect(QPoint(0, 0), QPoint(99, 49)) << QSize(100, 50);
    QTest::newRow("past the bottom-right corner: clipped")
        << QRect(screen.width() - 30, screen.height() - 20, 100, 100) << QSize(30, 20);
    QTest::newRow("edges dragged across each other: ordered")
        << QRect(QPoint(50, 40), QPoint(41, 31)) << QSize(10, 10);
}

void tst_ImageRecorder::framesHaveTheSelectedSize()
{
    QFETCH(QRect, selection);
    QFETCH(QSize, frameSize);
    m_selection = selection;
    ImageRecorder recorder;
    QSignalSpy frames(&recorder, &ImageRecorder::SIG_frameCaptured);
    recorder.SLOT_startCapture(&m_config);
    QTRY_VERIFY(frames.count() >= 1);
    recorder.SLOT_stopCapture();
    QVERIFY(!m_handler.frameSizes.isEmpty());
    for (const QSize &size : std::as_const(m_handler.frameSizes))
        QCOMPARE(size, frameSize);
}

void tst_ImageRecorder::selectionOffScreenGrabsNothingAndSaysSoOnce()
{
    m_selection = QRect(5000, 5000, 100, 100);
    ImageRecorder recorder;
    CoutCapture out;
    recorder.SLOT_startCapture(&m_config);
    QTest::qWait(100); // six ticks' worth at 60 fps
    recorder.SLOT_stopCapture();
    QCOMPARE(recorder.frameCount, 0);
    QCOMPARE(m_handler.calls, (QStringList{QStringLiteral("start"), QStringLiteral("stop")}));
    QCOMPARE(out.lines().filter(QStringLiteral("outside the screen")).size(), 1);
    QVERIFY(out.lines().filter(QStringLiteral("Captures/s")).isEmpty());
}

void tst_ImageRecorder::stalledHandlerSlowsGrabsAndLosesNothing()
{
    StallingHandler handler;
    m_config.handler = &handler;
    ImageRecorder recorder;
    CoutCapture out;
    recorder.SLOT_startCapture(&m_config);
    // The first frame stalls the handler's worker: the recorder skips grabs and says so once.
    QTRY_VERIFY(out.lines().filter(QStringLiteral("grabs are skipped")).size() == 1);
    const int grabbedWhileStalled = recorder.frameCount;
    QCOMPARE(grabbedWhileStalled, 1);
    handler.release();
    QTRY_VERIFY(handler.handled.size() >= 4);
    recorder.SLOT_stopCapture();
    QCOMPARE(out.lines().filter(QStringLiteral("grabs are skipped")).size(), 1);
    // Every grabbed frame was handled, in grab order, none twice.
    QCOMPARE(handler.handled.size(), recorder.frameCount);
    for (int i = 0; i < handler.handled.size(); ++i)
        QCOMPARE(handler.handled[i], handler.handled.constFirst() + i);
}

void tst_ImageRecorder::handlerLinesComeBeforeTheRateLine_data()
{
    QTest::addColumn<bool>("sessionSaver");
    QTest::newRow("the session's saver: coded once, written later") << true;
    QTest::newRow("a saver of its own: coded and written on its worker") << false;
}

void tst_ImageRecorder::handlerLinesComeBeforeTheRateLine()
{
    QFETCH(bool, sessionSaver);
    QTemporaryDir dir;
    const QString before = QDir::currentPath();
    QDir::setCurrent(dir.path()); // the session's saver writes below ./capture
    const auto restore = qScopeGuard([&before] { QDir::setCurrent(before); });
    SimpleImageSaver saver(dir.filePath(QStringLiteral("pic")), QStringLiteral("jpg"), -1);
    m_config.handler = sessionSaver ? m_session->imageSaver() : &saver;
    ImageRecorder recorder;
    QSignalSpy frames(&recorder, &ImageRecorder::SIG_frameCaptured);
    CoutCapture out;
    recorder.SLOT_startCapture(&m_config);
    QTRY_VERIFY(frames.count() >= 6);
    recorder.SLOT_stopCapture();
    const QStringList lines =
        out.lines().filter(QRegularExpression(QStringLiteral("^(Writing: |Captures/s )")));
    QCOMPARE(lines.size(), 2 * recorder.frameCount);
    for (int i = 0; i < lines.size(); i += 2) {
        QVERIFY2(lines[i].startsWith(QStringLiteral("Writing: ")), qPrintable(lines[i]));
        QVERIFY2(lines[i + 1].startsWith(QStringLiteral("Captures/s ")), qPrintable(lines[i + 1]));
    }
}

QTEST_MAIN(tst_ImageRecorder)
#include "tst_imagerecorder.moc"
