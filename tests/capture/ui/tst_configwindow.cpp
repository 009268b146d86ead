#include "configwindow.h"
#include "capturesession.h"
#include "framehistory.h"
#include "frameslider.h"
#include "glformat.h"
#include "glstreamrenderer.h"
#include "imagerecorder.h"
#include "selectionwindow.h"
#include "simpleimagesaver.h"
#include "storedframes.h"
#include "tcpserverimagehandler.h"
#include "testsupport.h"
#include "videodecode.h"
#include "videofilehandler.h"

#include <QApplication>
#include <QCheckBox>
#include <QProgressBar>
#include <QDir>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QScopeGuard>
#include <QScreen>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include <condition_variable>
#include <mutex>

// The window's history with every decode held until the test lets it go: a slow disk.
class HeldHistory : public StoredFrames
{
public:
    explicit HeldHistory(const StoredFrames &history)
        : m_history(history)
    {
    }
    int size() const override { return m_history.size(); }
    QImage frame(int index, const QSize &minimumSize) const override { return m_history.frame(index, minimumSize); }
    std::function<QImage()> frameReader(int index, const QSize &minimumSize) const override
    {
        std::function<QImage()> read = m_history.frameReader(index, minimumSize);
        return [this, index, read] {
            std::unique_lock lock(m_mutex);
            m_started.push_back(index);
            m_wake.wait(lock, [this] { return m_open; });
            return read();
        };
    }
    void letGo()
    {
        const std::lock_guard lock(m_mutex);
        m_open = true;
        m_wake.notify_all();
    }
    // The frames whose decoding has begun, in order.
    std::vector<int> started() const
    {
        const std::lock_guard lock(m_mutex);
        return m_started;
    }

private:
    const StoredFrames &m_history;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake;
    mutable std::vector<int> m_started;
    bool m_open = false;
};

class tst_ConfigWindow : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void portDialogAsksForThePort();
    void controlsAndLayout();
    void startStopTogglesAndDisablesControls();
    void handlerComesFromRadioButtons_data();
    void handlerComesFromRadioButtons();
    void rateComesFromSpinBox();
    void cursorChoiceComesFromCheckBox();
    void sliderSpansFramesOfBothCaptures();
    void stopBeforeFirstFrameKeepsSliderAtZero();
    void closingDuringCaptureStopsIt();
    void historyOutlivesThePreview();
    void sliderFollowsTheFrameShown_data();
    void sliderFollowsTheFrameShown();
    void titleTellsTheState_data();
    void titleTellsTheState();
    void windowKeepsOutOfTheCaptureArea_data();
    void windowKeepsOutOfTheCaptureArea();
    void previewFitsTheScreen();
    void markHotkeyMarksStartThenEnd_data();
    void markHotkeyMarksStartThenEnd();
    void exportWritesTheMarkedFrames_data();
    void exportWritesTheMarkedFrames();
    void onlyThePreviewAndTheCountRepaintPerFrame();
    void pauseButtonFollowsThePause_data();
    void pauseButtonFollowsThePause();
    void marksWhileCapturingShowOnTheSlider();
    void historyLimitMovesTheSlidersStart();
    void pagingLeavesTheWindowResponsive_data();
    void pagingLeavesTheWindowResponsive();
    void exportRunsOnAWorker_data();
    void exportRunsOnAWorker();

private:
    // Clicks near the left end, where a radio button's or check box's indicator and text are.
    void click(QAbstractButton *button)
    {
        const bool indicator = qobject_cast<QRadioButton *>(button) || qobject_cast<QCheckBox *>(button);
        const QPoint at = indicator ? QPoint(8, button->height() / 2) : button->rect().center();
        QTest::mouseClick(button, Qt::LeftButton, {}, at);
    }
    void captureFrames(int frames);

    QTemporaryDir m_workDir;
    ConfigWindow *m_window = nullptr;
};

void tst_ConfigWindow::initTestCase()
{
    QVERIFY(m_workDir.isValid());
    QVERIFY(QDir::setCurrent(m_workDir.path())); // the saver writes ./capture
}

void tst_ConfigWindow::init()
{
    CaptureOptions options;
    options.port = 0;
    m_window = new ConfigWindow(nullptr, qApp, options);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void tst_ConfigWindow::cleanup()
{
    delete m_window;
    m_window = nullptr;
}

void tst_ConfigWindow::portDialogAsksForThePort()
{
    QString title;
    QString label;
    int value = -1;
    int minimum = -1;
    int maximum = -1;
    QTimer::singleShot(0, this, [&] {
        auto *dialog = qobject_cast<QInputDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        title = dialog->windowTitle();
        label = dialog->labelText();
        value = dialog->intValue();
        minimum = dialog->intMinimum();
        maximum = dialog->intMaximum();
        dialog->setIntValue(0);
        dialog->accept();
    });
    ConfigWindow window(nullptr, qApp);
    QCOMPARE(title, QStringLiteral("QInputDialog::getInteger()"));
    QCOMPARE(label, QStringLiteral("Port:"));
    QCOMPARE(value, 3000);
    QCOMPARE(minimum, 0);
    QCOMPARE(maximum, 65000);
}

void tst_ConfigWindow::controlsAndLayout()
{
    auto *layout = qobject_cast<QVBoxLayout *>(m_window->layout());
    QVERIFY(layout);
    // The slider shares its row with the label that names the frame on display.
    // The handler choice, the rate, the mouse's boxes, the sound sources with their meters and
    // "Start/Stop" with "Pause" each share a row too; the export's status line is the last.
    const QList<QWidget *> expected{m_window->streamRenderer, nullptr, m_window->selectAreaButton, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr};
    QCOMPARE(layout->count(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(layout->itemAt(i)->widget(), expected[i]);
    QCOMPARE(layout->stretch(0), 100);
    QLayout *handlerRow = layout->itemAt(3)->layout();
    QCOMPARE(handlerRow->itemAt(0)->widget(), m_window->handlerLabel);
    QCOMPARE(handlerRow->itemAt(1)->widget(), m_window->tcpServerRadio);
    QCOMPARE(handlerRow->itemAt(2)->widget(), m_window->imageSaverRadio);
    QLayout *fpsRow = layout->itemAt(4)->layout();
    QCOMPARE(fpsRow->itemAt(0)->widget(), m_window->fpsLabel);
    QCOMPARE(fpsRow->itemAt(1)->widget(), m_window->fpsSpinBox);
    QLayout *mouseRow = layout->itemAt(5)->layout();
    QCOMPARE(mouseRow->itemAt(0)->widget(), m_window->recordCursorBox);
    QCOMPARE(mouseRow->itemAt(1)->widget(), m_window->showClicksBox);
    QCOMPARE(m_window->showClicksBox->text(), QStringLiteral("Show clicks"));
    QVERIFY(!m_window->showClicksBox->isChecked()); // off by default
    QLayout *soundRow = layout->itemAt(6)->layout();
    QCOMPARE(soundRow->itemAt(0)->widget(), m_window->systemSoundBox);
    QCOMPARE(soundRow->itemAt(1)->widget(), m_window->systemSoundLevel);
    QCOMPARE(soundRow->itemAt(2)->widget(), m_window->microphoneBox);
    QCOMPARE(soundRow->itemAt(3)->widget(), m_window->microphoneLevel);
    QCOMPARE(m_window->systemSoundBox->text(), QStringLiteral("System sound"));
    QCOMPARE(m_window->microphoneBox->text(), QStringLiteral("Microphone"));
    QVERIFY(!m_window->systemSoundBox->isChecked() && !m_window->microphoneBox->isChecked()); // off by default
    QLayout *runRow = layout->itemAt(7)->layout();
    QCOMPARE(runRow->itemAt(0)->widget(), m_window->startStopButton);
    QCOMPARE(runRow->itemAt(1)->widget(), m_window->pauseButton);
    QCOMPARE(m_window->pauseButton->text(), QStringLiteral("Pause"));
    QVERIFY(!m_window->pauseButton->isEnabled()); // nothing to pause yet
    QLayout *exportRow = layout->itemAt(8)->layout();
    QCOMPARE(exportRow->itemAt(0)->widget(), m_window->exportStatusLabel);
    QCOMPARE(exportRow->itemAt(1)->widget(), m_window->exportProgress);
    QCOMPARE(exportRow->itemAt(2)->widget(), m_window->cancelExportButton);
    QCOMPARE(m_window->cancelExportButton->text(), QStringLiteral("Cancel"));
    QVERIFY(!m_window->exportProgress->isVisible() && !m_window->cancelExportButton->isVisible()); // no export yet
    QLayout *sliderRow = layout->itemAt(1)->layout();
    QVERIFY(sliderRow);
    QCOMPARE(sliderRow->itemAt(0)->widget(), m_window->frameSlider);
    QCOMPARE(sliderRow->itemAt(1)->widget(), m_window->frameLabel);

    QCOMPARE(m_window->selectAreaButton->text(), QStringLiteral("Select area"));
    QCOMPARE(m_window->startStopButton->text(), QStringLiteral("Start/Stop"));
    QCOMPARE(m_window->handlerLabel->text(), QStringLiteral("Imagehandler:"));
    QCOMPARE(m_window->tcpServerRadio->text(), QStringLiteral("Tcp Server"));
    QCOMPARE(m_window->imageSaverRadio->text(), QStringLiteral("Image saver"));
    QCOMPARE(m_window->fpsLabel->text(), QStringLiteral("Target fps:"));
    QVERIFY(!m_window->tcpServerRadio->isChecked());
    QVERIFY(!m_window->imageSaverRadio->isChecked());
    QCOMPARE(m_window->fpsSpinBox->minimum(), 1);
    QCOMPARE(m_window->fpsSpinBox->maximum(), 60);
    QCOMPARE(m_window->fpsSpinBox->value(), 20);
    QCOMPARE(m_window->recordCursorBox->text(), QStringLiteral("Record cursor"));
    QVERIFY(!m_window->recordCursorBox->isChecked());
    QCOMPARE(m_window->frameSlider->orientation(), Qt::Horizontal);
    QCOMPARE(m_window->frameSlider->maximum(), 0);
    QCOMPARE(*m_window->config.selection, QRect(0, 0, 640, 480));
    QCOMPARE(m_window->config.selection, m_window->selectionWindow->getSelectionRect());
}

void tst_ConfigWindow::startStopTogglesAndDisablesControls()
{
    const QList<QWidget *> locked{m_window->selectAreaButton, m_window->tcpServerRadio, m_window->fpsSpinBox,
                                  m_window->imageSaverRadio, m_window->frameSlider, m_window->recordCursorBox};
    click(m_window->startStopButton);
    QVERIFY(m_window->capturing);
    QVERIFY(m_window->recorder->isRunning());
    for (QWidget *widget : locked)
        QVERIFY2(!widget->isEnabled(), widget->metaObject()->className());
    QVERIFY(m_window->startStopButton->isEnabled());

    click(m_window->startStopButton);
    QVERIFY(!m_window->capturing);
    QVERIFY(!m_window->recorder->isRunning());
    for (QWidget *widget : locked)
        QVERIFY(widget->isEnabled());
}

void tst_ConfigWindow::handlerComesFromRadioButtons_data()
{
    QTest::addColumn<QString>("checked");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none checked means the saver") << QString() << QStringLiteral("saver");
    QTest::newRow("image saver") << QStringLiteral("saver") << QStringLiteral("saver");
    QTest::newRow("tcp server") << QStringLiteral("tcp") << QStringLiteral("tcp");
    QTest::newRow("video file") << QStringLiteral("video") << QStringLiteral("video");
}

void tst_ConfigWindow::handlerComesFromRadioButtons()
{
    QFETCH(QString, checked);
    QFETCH(QString, expected);
    if (checked == QLatin1String("saver"))
        click(m_window->imageSaverRadio);
    else if (checked == QLatin1String("tcp"))
        click(m_window->tcpServerRadio);
    else if (checked == QLatin1String("video"))
        click(m_window->videoFileRadio);
    CoutCapture out;
    click(m_window->startStopButton);
    click(m_window->startStopButton);
    const QMap<QString, ImageHandler *> handlers{{QStringLiteral("saver"), m_window->imageSaver},
                                                 {QStringLiteral("tcp"), m_window->tcpServer},
                                                 {QStringLiteral("video"), m_window->videoHandler}};
    QCOMPARE(m_window->config.handler, handlers.value(expected));
    // The chosen handler's own start line shows which one ran.
    const QMap<QString, QString> startLines{{QStringLiteral("saver"), QStringLiteral("Capturing images to memory...")},
                                            {QStringLiteral("tcp"), QStringLiteral("Server started loop.")},
                                            {QStringLiteral("video"), QStringLiteral("Recording: ./capture/capture")}};
    const QString startLine = startLines.value(expected);
    QVERIFY(!out.lines().filter(startLine).isEmpty());
}

void tst_ConfigWindow::rateComesFromSpinBox()
{
    m_window->fpsSpinBox->setValue(37);
    click(m_window->startStopButton);
    QCOMPARE(m_window->config.fps, 37);
    click(m_window->startStopButton);
    m_window->fpsSpinBox->setValue(61); // beyond the range: clamped
    QCOMPARE(m_window->fpsSpinBox->value(), 60);
}

void tst_ConfigWindow::cursorChoiceComesFromCheckBox()
{
    QVERIFY(!m_window->config.recordCursor);
    click(m_window->recordCursorBox);
    click(m_window->startStopButton);
    QVERIFY(m_window->config.recordCursor);
    click(m_window->startStopButton);
    click(m_window->recordCursorBox);
    click(m_window->startStopButton);
    QVERIFY(!m_window->config.recordCursor);
    click(m_window->startStopButton);
}

void tst_ConfigWindow::captureFrames(int frames)
{
    QSignalSpy spy(m_window->recorder, &ImageRecorder::SIG_frameCaptured);
    click(m_window->startStopButton);
    QTRY_VERIFY(spy.count() >= frames);
    click(m_window->startStopButton);
}

void tst_ConfigWindow::sliderSpansFramesOfBothCaptures()
{
    m_window->fpsSpinBox->setValue(60);
    captureFrames(2);
    const int first = m_window->recorder->frameCount;
    QCOMPARE(m_window->frameSlider->maximum(), first - 1);
    click(m_window->tcpServerRadio); // the other handler for the second run
    captureFrames(2);
    const int total = m_window->recorder->frameCount;
    QVERIFY(total >= first + 2);
    QCOMPARE(m_window->frameSlider->maximum(), total - 1);
    QCOMPARE(m_window->streamRenderer->storedFrameCount(), total);

    m_window->frameSlider->setValue(1);
    QCOMPARE(m_window->streamRenderer->currentFrameIndex(), 1);
    m_window->frameSlider->setValue(total - 1);
    QCOMPARE(m_window->streamRenderer->currentFrameIndex(), total - 1);
}

void tst_ConfigWindow::stopBeforeFirstFrameKeepsSliderAtZero()
{
    m_window->fpsSpinBox->setValue(1);
    click(m_window->startStopButton);
    click(m_window->startStopButton);
    QCOMPARE(m_window->recorder->frameCount, 0);
    QCOMPARE(m_window->frameSlider->maximum(), 0);
    QCOMPARE(m_window->frameSlider->value(), 0);
    QCOMPARE(m_window->streamRenderer->currentFrameIndex(), -1);
}

void tst_ConfigWindow::closingDuringCaptureStopsIt()
{
    click(m_window->startStopButton);
    CoutCapture out;
    m_window->close();
    QVERIFY(!m_window->capturing);
    QVERIFY(!m_window->recorder->isRunning());
    QVERIFY(m_window->selectAreaButton->isEnabled());
}

// The preview holds a plain pointer to the session's history: the history must still be there
// while the preview and its children go (the probe stands for anything the preview does then).
void tst_ConfigWindow::historyOutlivesThePreview()
{
    m_window->fpsSpinBox->setValue(60);
    captureFrames(2);
    const StoredFrames *history = m_window->streamRenderer->history();
    QVERIFY(history);
    const int stored = history->size();
    int seenAtTheEnd = -1;
    auto *probe = new QObject(m_window->streamRenderer);
    connect(probe, &QObject::destroyed, [history, &seenAtTheEnd] { seenAtTheEnd = history->size(); });
    delete m_window;
    m_window = nullptr;
    QCOMPARE(seenAtTheEnd, stored);
}

void tst_ConfigWindow::sliderFollowsTheFrameShown_data()
{
    QTest::addColumn<int>("runs");
    QTest::addColumn<bool>("pageBackBetweenRuns");
    QTest::addColumn<int>("pageTo"); // slider value set after the last run; -1: none
    QTest::newRow("after stop the handle is on the newest frame") << 1 << false << -1;
    QTest::newRow("paged back, then a second run: on the newest again") << 2 << true << -1;
    QTest::newRow("paged back: the label names the frame shown") << 1 << false << 0;
}

void tst_ConfigWindow::sliderFollowsTheFrameShown()
{
    QFETCH(int, runs);
    QFETCH(bool, pageBackBetweenRuns);
    QFETCH(int, pageTo);
    m_window->fpsSpinBox->setValue(60);
    for (int run = 0; run < runs; ++run) {
        if (run > 0 && pageBackBetweenRuns)
            m_window->frameSlider->setValue(0);
        captureFrames(3);
    }
    const int total = m_window->recorder->frameCount;
    if (pageTo >= 0)
        m_window->frameSlider->setValue(pageTo);
    const int shown = pageTo >= 0 ? pageTo : total - 1;
    QCOMPARE(m_window->frameSlider->maximum(), total - 1);
    QCOMPARE(m_window->frameSlider->value(), shown);
    QCOMPARE(m_window->streamRenderer->currentFrameIndex(), shown);
    const QRegularExpression label(
        QStringLiteral("^Frame %1 of %2 \\(history [0-9.]+ (B|kB|MB)\\)$").arg(shown + 1).arg(total));
    QVERIFY2(label.match(m_window->frameLabel->text()).hasMatch(), qPrintable(m_window->frameLabel->text()));
}

void tst_ConfigWindow::titleTellsTheState_data()
{
    QTest::addColumn<QString>("handler"); // empty: stay idle
    QTest::addColumn<bool>("connectViewer");
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<QStringList>("expected"); // parts of the title
    QTest::newRow("idle") << QString() << false << false << QStringList{QStringLiteral("capture_server - idle")};
    QTest::newRow("capturing into the folder: count, rate, folder")
        << QStringLiteral("saver") << false << false
        << QStringList{QStringLiteral("capturing: "), QStringLiteral(" fps"), QStringLiteral("into ./capture")};
    QTest::newRow("capturing to viewers: how many are connected")
        << QStringLiteral("tcp") << true << false << QStringList{QStringLiteral("capturing: "), QStringLiteral("1 viewer connected")};
    QTest::newRow("port taken: said in the title") << QString() << false << true
                                                   << QStringList{QStringLiteral("could not be listened on")};
}

void tst_ConfigWindow::titleTellsTheState()
{
    QFETCH(QString, handler);
    QFETCH(bool, connectViewer);
    QFETCH(bool, portTaken);
    QFETCH(QStringList, expected);

    QTcpServer occupant;
    if (portTaken) {
        QVERIFY(occupant.listen(QHostAddress::Any, 0));
        delete m_window;
        CaptureOptions options;
        options.port = occupant.serverPort();
        m_window = new ConfigWindow(nullptr, qApp, options);
        m_window->show();
        expected.append(QStringLiteral("port %1 ").arg(occupant.serverPort()));
    }
    QTcpSocket viewer;
    if (connectViewer) {
        QSignalSpy joined(m_window->tcpServer, &TcpServerImagehandler::SIG_viewerCountChanged);
        viewer.connectToHost(QHostAddress::LocalHost, m_window->tcpServer->serverPort());
        QTRY_COMPARE(joined.count(), 1);
    }
    CoutCapture out;
    if (!handler.isEmpty()) {
        click(handler == QLatin1String("tcp") ? m_window->tcpServerRadio : m_window->imageSaverRadio);
        click(m_window->startStopButton);
    }
    for (const QString &part : expected)
        QTRY_VERIFY2(m_window->windowTitle().contains(part), qPrintable(m_window->windowTitle()));
    if (!handler.isEmpty()) {
        click(m_window->startStopButton);
        QCOMPARE(m_window->windowTitle(), QStringLiteral("capture_server - idle"));
    }
}

void tst_ConfigWindow::windowKeepsOutOfTheCaptureArea_data()
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QTest::addColumn<QRect>("area");
    QTest::addColumn<bool>("moves");
    QTest::newRow("default area under the window: moved clear") << QRect(0, 0, 640, 480) << true;
    QTest::newRow("area away from the window: stays")
        << QRect(screen.width() - 200, screen.height() - 100, 200, 100) << false;
    QTest::newRow("area covers the screen: stays, says so") << screen << false;
}

void tst_ConfigWindow::windowKeepsOutOfTheCaptureArea()
{
    QFETCH(QRect, area);
    QFETCH(bool, moves);
    m_window->move(0, 0);
    QTRY_COMPARE(m_window->frameGeometry().topLeft(), QPoint(0, 0));
    const QRect before = m_window->frameGeometry();
    m_window->selectionWindow->setSelectionRect(area);
    const bool inside = before.intersects(area) && !moves;

    CoutCapture out;
    click(m_window->startStopButton);
    if (moves) {
        QTRY_VERIFY(!m_window->frameGeometry().intersects(area));
        QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().contains(m_window->frameGeometry()));
    } else {
        QCOMPARE(m_window->frameGeometry(), before);
    }
    QCOMPARE(!out.lines().filter(QStringLiteral("The control window lies inside the capture area")).isEmpty(), inside);
    click(m_window->startStopButton);
}

// Run at scale factors 1, 1.5 and 2: the window fits the screen and the preview is neither
// crushed nor squashed.
void tst_ConfigWindow::previewFitsTheScreen()
{
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(available.contains(m_window->frameGeometry()));
    const QSize preview = m_window->streamRenderer->size();
    QVERIFY2(preview.width() >= std::min(640, available.width() / 3),
             qPrintable(QStringLiteral("preview %1x%2").arg(preview.width()).arg(preview.height())));
    const double aspect = double(preview.width()) / preview.height();
    QVERIFY2(aspect > 1.0 && aspect < 1.8, qPrintable(QStringLiteral("aspect %1").arg(aspect)));
}

// Counts the paint events of every widget.
class PaintCounts : public QObject
{
public:
    PaintCounts() { qApp->installEventFilter(this); }
    ~PaintCounts() override { qApp->removeEventFilter(this); }
    QHash<QObject *, int> counts;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            ++counts[watched];
        return false;
    }
};

void tst_ConfigWindow::onlyThePreviewAndTheCountRepaintPerFrame()
{
    // With a software OpenGL every repaint of a control costs the CPU as much as the frame
    // itself: while frames arrive, nothing but the preview and the frame count is redrawn.
    m_window->fpsSpinBox->setValue(60);
    QSignalSpy frames(m_window->recorder, &ImageRecorder::SIG_frameCaptured);
    QSignalSpy painted(m_window->streamRenderer, &GLStreamRenderer::SIG_framePainted);
    click(m_window->startStopButton);
    QTRY_VERIFY(frames.count() >= 2); // the controls have been redrawn disabled by now
    QTRY_VERIFY(painted.count() >= 1);
    PaintCounts paints;
    const int first = int(frames.count());
    QTRY_VERIFY(frames.count() >= first + 30);
    click(m_window->startStopButton);
    const int captured = int(frames.count()) - first;
    for (auto it = paints.counts.cbegin(); it != paints.counts.cend(); ++it) {
        auto *widget = qobject_cast<QWidget *>(it.key());
        if (!widget || widget->window() != m_window || widget == m_window->streamRenderer
            || m_window->streamRenderer->isAncestorOf(widget) || widget == m_window->frameLabel)
            continue;
        // The window itself is drawn behind the count's label; everything else not per frame.
        QVERIFY2(it.value() <= captured / 4,
                 qPrintable(QStringLiteral("%1 painted %2 times for %3 frames")
                                .arg(QString::fromLatin1(widget->metaObject()->className()))
                                .arg(it.value())
                                .arg(captured)));
    }
}

void tst_ConfigWindow::exportWritesTheMarkedFrames_data()
{
    QTest::addColumn<int>("start"); // slider positions when "Mark start" and "Mark end" are clicked
    QTest::addColumn<int>("end");
    QTest::addColumn<bool>("endFirst"); // "Mark end" clicked before "Mark start"
    QTest::addColumn<int>("first"); // the range exported
    QTest::addColumn<int>("last");
    QTest::newRow("start, then end") << 1 << 3 << false << 1 << 3;
    QTest::newRow("end before any start: from the first frame") << -1 << 2 << false << 0 << 2;
    QTest::newRow("one frame") << 4 << 4 << false << 4 << 4;
    QTest::newRow("end, then a later start: between the two") << 4 << 1 << true << 1 << 4;
    QTest::newRow("start, then an earlier end: between the two") << 4 << 1 << false << 1 << 4;
}

void tst_ConfigWindow::exportWritesTheMarkedFrames()
{
    QFETCH(int, start);
    QFETCH(int, end);
    QFETCH(bool, endFirst);
    QFETCH(int, first);
    QFETCH(int, last);
    QVERIFY(!m_window->exportButton->isEnabled()); // nothing captured, nothing marked
    m_window->fpsSpinBox->setValue(30);
    captureFrames(6);
    CoutCapture marks;
    const auto markEnd = [&] {
        m_window->frameSlider->setValue(end);
        click(m_window->markEndButton);
    };
    if (endFirst)
        markEnd();
    if (start >= 0) {
        m_window->frameSlider->setValue(start);
        click(m_window->markStartButton);
    }
    if (!endFirst)
        markEnd();
    QVERIFY(m_window->exportButton->isEnabled());
    QCOMPARE(m_window->exportStart(), first);
    QCOMPARE(m_window->exportEnd(), last);
    // Marks in the wrong order are both kept, and the window and the console say so.
    const QStringList markLines = marks.lines();
    if (start > end) {
        QCOMPARE(markLines.size(), 1);
        QVERIFY2(markLines[0].endsWith(QStringLiteral(": exporting frames %1 to %2").arg(first + 1).arg(last + 1)),
                 qPrintable(markLines[0]));
        QCOMPARE(m_window->exportStatusLabel->text(), markLines[0]);
    } else {
        QVERIFY2(markLines.isEmpty(), qPrintable(markLines.join(u'\n')));
    }

    CoutCapture out;
    QVERIFY(m_window->exportMarkedRange(QStringLiteral("export.mkv")));
    QVERIFY2(out.lines().value(0).startsWith(QStringLiteral("Exported frames %1 to %2: Recorded export.mkv: %3 frames")
                                                 .arg(first + 1)
                                                 .arg(last + 1)
                                                 .arg(last - first + 1)),
             qPrintable(out.lines().value(0)));
    const DecodedVideo video = decodeVideo(QStringLiteral("export.mkv"));
    QVERIFY2(video.error.isEmpty(), qPrintable(video.error));
    QCOMPARE(int(video.frames.size()), last - first + 1);
    for (int i = first; i <= last; ++i) {
        const size_t k = size_t(i - first);
        QCOMPARE(video.timesMs[k], m_window->history()->timeMs(i) - m_window->history()->timeMs(first));
        const QImage stored = m_window->history()->frame(i);
        QVERIFY(psnr(video.frames[k].copy(stored.rect()), stored) >= 35.0);
    }
}

void tst_ConfigWindow::pauseButtonFollowsThePause_data()
{
    QTest::addColumn<QString>("handler");
    QTest::addColumn<bool>("byButton"); // else through the slot SIGUSR1 drives
    QTest::addColumn<bool>("stopWhilePaused");
    QTest::addColumn<QString>("written"); // in the title; empty: no bytes said
    QTest::newRow("button, image saver: bytes of the files") << QStringLiteral("saver") << true << false << QStringLiteral(" written");
    QTest::newRow("signal's slot, TCP server: no bytes") << QStringLiteral("tcp") << false << false << QString();
    QTest::newRow("video stopped while paused: file complete, the next run unpaused")
        << QStringLiteral("video") << true << true << QStringLiteral(" written");
}

void tst_ConfigWindow::pauseButtonFollowsThePause()
{
    QFETCH(QString, handler);
    QFETCH(bool, byButton);
    QFETCH(bool, stopWhilePaused);
    QFETCH(QString, written);
    const auto toggle = [&] {
        if (byButton)
            click(m_window->pauseButton);
        else
            m_window->SLOT_pauseResume();
    };
    CoutCapture out;
    m_window->fpsSpinBox->setValue(30);
    click(handler == QLatin1String("tcp")     ? m_window->tcpServerRadio
          : handler == QLatin1String("video") ? m_window->videoFileRadio
                                               : m_window->imageSaverRadio);
    QSignalSpy frames(m_window->recorder, &ImageRecorder::SIG_frameCaptured);
    click(m_window->startStopButton);
    QVERIFY(m_window->pauseButton->isEnabled());
    QTRY_VERIFY(frames.count() >= 3);
    QTRY_VERIFY2(m_window->windowTitle().contains(QStringLiteral(" recorded")), qPrintable(m_window->windowTitle()));
    QCOMPARE(m_window->windowTitle().contains(QStringLiteral(" written")), !written.isEmpty());

    toggle();
    QCOMPARE(m_window->pauseButton->text(), QStringLiteral("Resume"));
    QVERIFY(m_window->session()->isPaused());
    QVERIFY2(m_window->windowTitle().contains(QStringLiteral("paused: ")), qPrintable(m_window->windowTitle()));
    const int grabbed = int(frames.count());
    const qint64 recorded = m_window->session()->recordedMs();
    // Paused: no frame, and the recorded time stands still.
    QVERIFY(!QTest::qWaitFor([&] { return frames.count() > grabbed; }, 400));
    QCOMPARE(m_window->session()->recordedMs(), recorded);
    if (stopWhilePaused) {
        click(m_window->startStopButton);
        QCOMPARE(m_window->pauseButton->text(), QStringLiteral("Pause"));
        QVERIFY(!m_window->pauseButton->isEnabled());
        // The file is complete: every frame grabbed before the pause.
        const DecodedVideo video = decodeVideo(m_window->videoHandler->fileName());
        QVERIFY2(video.opened && video.error.isEmpty(), qPrintable(video.error));
        QCOMPARE(int(video.frames.size()), grabbed);
        click(m_window->startStopButton);
        QVERIFY(!m_window->session()->isPaused());
    } else {
        toggle();
        QCOMPARE(m_window->pauseButton->text(), QStringLiteral("Pause"));
    }
    QTRY_VERIFY(frames.count() >= grabbed + 3);
    click(m_window->startStopButton);
    const int paused = int(out.lines().filter(QStringLiteral("Paused")).size());
    QCOMPARE(paused, 1);
    QCOMPARE(out.lines().filter(QRegularExpression(QStringLiteral("^Resumed after \\d+\\.\\d s$"))).size(), stopWhilePaused ? 0 : 1);
    // The slider shows where the recording was paused: at the first frame after the pause.
    QCOMPARE(m_window->frameSlider->pauseMarks(),
             stopWhilePaused ? std::vector<int>{} : std::vector<int>{grabbed});
    if (!stopWhilePaused) {
        QVERIFY(m_window->history()->followsPause(grabbed));
        QVERIFY(m_window->history()->timeMs(grabbed) - m_window->history()->timeMs(grabbed - 1) >= 400);
        QVERIFY(m_window->history()->recordedTimeMs(grabbed) - m_window->history()->recordedTimeMs(grabbed - 1) < 200);
    }
}

void tst_ConfigWindow::marksWhileCapturingShowOnTheSlider()
{
    m_window->fpsSpinBox->setValue(30);
    QSignalSpy frames(m_window->recorder, &ImageRecorder::SIG_frameCaptured);
    click(m_window->startStopButton);
    QTRY_VERIFY(m_window->markStartButton->isEnabled());
    QTRY_VERIFY(frames.count() >= 3);
    click(m_window->markStartButton);
    const int start = m_window->exportStart();
    QVERIFY(start >= 2 && start < m_window->recorder->frameCount); // the newest frame at the click
    QTRY_VERIFY(frames.count() >= start + 10);
    click(m_window->markEndButton);
    const int end = m_window->exportEnd();
    QVERIFY(end >= start + 9);
    QVERIFY(!m_window->exportButton->isEnabled()); // not while capturing
    // The band over the groove spans the marked frames, on the slider that follows the frames.
    FrameSlider *slider = m_window->frameSlider;
    QTRY_VERIFY(slider->maximum() >= end);
    QCOMPARE(slider->markedFirst(), start);
    QCOMPARE(slider->markedLast(), end);
    const QImage shown = slider->grab().toImage();
    const int y = shown.height() / 2;
    const auto marked = [&](int x) { return shown.pixel(x, y) == FrameSlider::MarkColour; };
    const int left = slider->positionOf(start);
    const int right = slider->positionOf(end);
    QVERIFY(right > left);
    QVERIFY(marked(left) && marked((left + right) / 2) && marked(right));
    QVERIFY(!marked(slider->positionOf(0)) || start == 0);
    click(m_window->startStopButton);
}

void tst_ConfigWindow::markHotkeyMarksStartThenEnd_data()
{
    QTest::addColumn<bool>("recording"); // pressed while recording: the newest frame, else the slider's
    QTest::addColumn<int>("firstSlider");
    QTest::addColumn<int>("secondSlider");
    QTest::newRow("while recording: the newest frame at each press") << true << -1 << -1;
    QTest::newRow("after a stop: the slider's frames") << false << 1 << 4;
    QTest::newRow("after a stop, end before start: the range runs the other way") << false << 4 << 2;
}

void tst_ConfigWindow::markHotkeyMarksStartThenEnd()
{
    QFETCH(bool, recording);
    QFETCH(int, firstSlider);
    QFETCH(int, secondSlider);
    m_window->fpsSpinBox->setValue(30);
    int first = firstSlider;
    int second = secondSlider;
    if (recording) {
        QSignalSpy spy(m_window->recorder, &ImageRecorder::SIG_frameCaptured);
        click(m_window->startStopButton);
        QTRY_VERIFY(spy.count() >= 2);
        first = m_window->recorder->frameCount - 1;
        m_window->markStartOrEnd();
        QTRY_VERIFY(spy.count() >= 5);
        second = m_window->recorder->frameCount - 1;
        m_window->markStartOrEnd();
        click(m_window->startStopButton);
    } else {
        captureFrames(6);
        m_window->frameSlider->setValue(firstSlider);
        m_window->markStartOrEnd();
        m_window->frameSlider->setValue(secondSlider);
        m_window->markStartOrEnd();
    }
    QCOMPARE(m_window->exportStart(), std::min(first, second));
    QCOMPARE(m_window->exportEnd(), std::max(first, second));
    QVERIFY(m_window->exportButton->isEnabled());
}

void tst_ConfigWindow::historyLimitMovesTheSlidersStart()
{
    delete m_window;
    CaptureOptions options;
    options.port = 0;
    options.historyLimit = 2'000'000;
    m_window = new ConfigWindow(nullptr, qApp, options);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    // A picture that changes all over at every paint, where the capture looks (0,0 640x480).
    QLabel moving;
    moving.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    moving.setGeometry(0, 0, 640, 480);
    int seed = 0;
    QTimer repaint;
    connect(&repaint, &QTimer::timeout, &moving,
            [&] { moving.setPixmap(QPixmap::fromImage(photoLikeImage(640, 480, ++seed))); });
    repaint.start(10);
    moving.show();
    QVERIFY(QTest::qWaitForWindowExposed(&moving));

    m_window->fpsSpinBox->setValue(30);
    QSignalSpy frames(m_window->recorder, &ImageRecorder::SIG_frameCaptured);
    CoutCapture out;
    click(m_window->startStopButton);
    QTRY_VERIFY(frames.count() >= 2);
    click(m_window->markStartButton); // an early frame, let go later
    const int marked = m_window->exportStart();
    QTRY_VERIFY_WITH_TIMEOUT(m_window->history()->firstKept() > marked + 1, 60000);
    click(m_window->startStopButton);
    repaint.stop();
    m_window->history()->waitUntilStored();

    const int kept = m_window->history()->firstKept();
    const int newest = m_window->recorder->frameCount - 1;
    QTRY_COMPARE(m_window->frameSlider->minimum(), kept);
    QVERIFY(m_window->history()->diskBytes() <= 2'000'000 + 256 * 1024);
    m_window->frameSlider->setValue(0); // nothing before the kept history
    QCOMPARE(m_window->frameSlider->value(), kept);
    QCOMPARE(m_window->streamRenderer->currentFrameIndex(), kept);
    QVERIFY(!m_window->history()->frame(kept).isNull());
    QVERIFY(!m_window->history()->frame(newest).isNull());
    QVERIFY2(m_window->frameLabel->text().contains(QRegularExpression(QStringLiteral("history [0-9.]+ (kB|MB)"))),
             qPrintable(m_window->frameLabel->text()));
    QVERIFY2(m_window->frameSlider->toolTip().startsWith(QStringLiteral("Frames %1 to").arg(kept + 1)),
             qPrintable(m_window->frameSlider->toolTip()));
    QVERIFY2(out.lines().join(u'\n').contains(QStringLiteral("History reached its limit of 2.0 MB")), qPrintable(out.lines().join(u'\n')));

    m_window->frameSlider->setValue(newest);
    click(m_window->markEndButton);
    QVERIFY(m_window->exportMarkedRange(QStringLiteral("kept.mkv")));
    QVERIFY2(out.lines().join(u'\n').contains(QStringLiteral("Export: frames %1 to %2 of the marked range were let go")
                                     .arg(marked + 1)
                                     .arg(kept)),
             qPrintable(out.lines().join(u'\n')));
    const DecodedVideo video = decodeVideo(QStringLiteral("kept.mkv"));
    QVERIFY2(video.error.isEmpty(), qPrintable(video.error));
    QCOMPARE(int(video.frames.size()), newest - kept + 1);
}

void tst_ConfigWindow::pagingLeavesTheWindowResponsive_data()
{
    QTest::addColumn<QList<int>>("pages"); // slider positions, one after the other
    QTest::newRow("forward past frames not yet decoded") << QList<int>{0, 1, 2, 3, 4};
    QTest::newRow("back and forth, ending on the first asked for") << QList<int>{5, 2, 4, 5};
}

void tst_ConfigWindow::pagingLeavesTheWindowResponsive()
{
    QFETCH(QList<int>, pages);
    m_window->fpsSpinBox->setValue(60);
    captureFrames(7); // the preview shows the newest, on none of the pages
    GLStreamRenderer *preview = m_window->streamRenderer;
    preview->finishFrames();
    HeldHistory held(*preview->history());
    preview->setHistory(&held);
    const auto restore = qScopeGuard([&] {
        held.letGo();
        preview->finishFrames();
        preview->setHistory(m_window->history());
    });
    QSignalSpy shown(preview, &GLStreamRenderer::SIG_storedFrameShown);
    int ticks = 0;
    QTimer timer;
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
    timer.start();
    for (int page : std::as_const(pages))
        m_window->frameSlider->setValue(page);

    // The first page's decoding is held; the GUI thread goes on all the while.
    QTRY_COMPARE(held.started().size(), size_t(1));
    QTRY_VERIFY(ticks >= 10);
    QCOMPARE(shown.count(), 0);
    QVERIFY2(m_window->frameLabel->text().startsWith(
                 QStringLiteral("Frame %1 of %2").arg(pages.last() + 1).arg(m_window->recorder->frameCount)),
             qPrintable(m_window->frameLabel->text()));

    held.letGo();
    QTRY_COMPARE(preview->shownFrameIndex(), pages.last());
    // Only the newest page asked for is decoded after the held one, and only it is shown.
    const std::vector<int> decoded{pages.first(), pages.last()};
    QCOMPARE(held.started(), pages.size() > 1 ? decoded : std::vector<int>{pages.first()});
    QCOMPARE(shown.count(), 1);
    QCOMPARE(shown.at(0).at(0).toInt(), pages.last());
}

void tst_ConfigWindow::exportRunsOnAWorker_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("written");
    QTest::addColumn<QString>("line"); // how the console's and the window's line begins
    QTest::newRow("written: the progress reaches 100 %") << QStringLiteral("worker.mkv") << true
                                                         << QStringLiteral("Exported frames 1 to 6: Recorded worker.mkv: 6 frames");
    QTest::newRow("a folder that is not there: says so") << QStringLiteral("no/such/folder/worker.mkv") << false
                                                         << QStringLiteral("Could not export no/such/folder/worker.mkv: No such file");
}

void tst_ConfigWindow::exportRunsOnAWorker()
{
    QFETCH(QString, fileName);
    QFETCH(bool, written);
    QFETCH(QString, line);
    m_window->fpsSpinBox->setValue(30);
    captureFrames(6);
    m_window->frameSlider->setValue(0);
    click(m_window->markStartButton);
    m_window->frameSlider->setValue(5);
    click(m_window->markEndButton);
    QSignalSpy finished(m_window, &ConfigWindow::exportFinished);
    CoutCapture out;
    QVERIFY(m_window->startExport(fileName));
    // Under way: the progress and "Cancel" are shown, "Export..." waits.
    QVERIFY(m_window->isExporting());
    QVERIFY(m_window->exportProgress->isVisible());
    QVERIFY(m_window->cancelExportButton->isVisible());
    QVERIFY(!m_window->exportButton->isEnabled());
    QVERIFY(!m_window->startExport(fileName)); // one at a time

    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), written);
    QVERIFY(!m_window->cancelExportButton->isVisible());
    QCOMPARE(m_window->exportProgress->isVisible(), written);
    if (written)
        QCOMPARE(m_window->exportProgress->value(), 100);
    QVERIFY(m_window->exportButton->isEnabled());
    QVERIFY2(out.lines().value(0).startsWith(line), qPrintable(out.lines().value(0)));
    QCOMPARE(m_window->exportStatusLabel->text(), out.lines().value(0));
    QCOMPARE(QFileInfo::exists(fileName), written);
    QCOMPARE(decodeVideo(fileName).frames.size(), size_t(written ? 6 : 0));
}

QTEST_MAIN(tst_ConfigWindow)
#include "tst_configwindow.moc"
