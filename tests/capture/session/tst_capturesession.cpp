#include "capturesession.h"

#include "configstructure.h"
#include "framehistory.h"
#include "grabber.h"
#include "imagerecorder.h"
#include "simpleimagesaver.h"
#include "testsupport.h"

#include <QDir>
#include <QImageReader>
#include <QPainter>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

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
        QPainter(&frame).fillRect(int(grabbed.size()) * 12 % 280, 100, 40, 40, QColor(200, 40, 40));
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
    QTest::newRow("saver: coded once, the history keeps the files' coding") << true;
    QTest::newRow("no handler: the history codes the frames itself") << false;
}

void tst_CaptureSession::keepsAndSendsEveryFrame()
{
    QFETCH(bool, saver);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString before = QDir::currentPath();
    QDir::setCurrent(dir.path()); // the saver writes below ./capture
    const auto restore = qScopeGuard([&before] { QDir::setCurrent(before); });
    CoutCapture cout;

    CaptureSession session;
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
    ImageRecorder *recorder = session.recorder();
    QSignalSpy frames(recorder, &ImageRecorder::SIG_frameCaptured);
    recorder->SLOT_startCapture(&config);
    QTRY_VERIFY(frames.count() >= 10);
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
    QCOMPARE(history.takenBands() > 0, saver);
}

QTEST_GUILESS_MAIN(tst_CaptureSession)
#include "tst_capturesession.moc"
