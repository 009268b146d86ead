#include "configwindow.h"

#include "capturearea.h"
#include "capturesession.h"
#include "clickwatcher.h"
#include "frameconsole.h"
#include "framehistory.h"
#include "frameslider.h"
#include "glstreamrenderer.h"
#include "grabber.h"
#include "imagerecorder.h"
#include "orderedworker.h"
#include "screengrabber.h"
#include "selectionwindow.h"
#include "shutdownsignals.h"
#include "simpleimagesaver.h"
#include "streampublisher.h"
#include "tcpserverimagehandler.h"
#include "videoexport.h"
#include "videofilehandler.h"
#include "webframebroadcaster.h"
#include "windowplacement.h"
#include "windowtracker.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QHBoxLayout>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>

namespace {

// How long the achieved rate in the title looks back.
constexpr qint64 rateWindowMs = 2000;

// "12.3 s" below a minute, then "4:05" and "1:02:03".
QString recordedTimeText(qint64 ms)
{
    if (ms < 60000)
        return QStringLiteral("%1 s").arg(double(ms) / 1000.0, 0, 'f', 1);
    const qint64 seconds = ms / 1000;
    const QString minutesSeconds = QStringLiteral("%1:%2").arg(seconds / 60 % 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds < 3600)
        return minutesSeconds;
    return QStringLiteral("%1:%2").arg(seconds / 3600).arg(minutesSeconds.rightJustified(5, QLatin1Char('0')));
}

// "512 B", "34.5 kB", "1.2 MB", "3.40 GB".
QString byteCountText(qint64 bytes)
{
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 1000000)
        return QStringLiteral("%1 kB").arg(double(bytes) / 1e3, 0, 'f', 1);
    if (bytes < 1000000000)
        return QStringLiteral("%1 MB").arg(double(bytes) / 1e6, 0, 'f', 1);
    return QStringLiteral("%1 GB").arg(double(bytes) / 1e9, 0, 'f', 2);
}

// An export under way: the worker writes, the GUI thread reads the count and may cancel.
constexpr qint64 exportLineEveryMs = 1000;

} // namespace

struct ConfigWindow::ExportRun
{
    std::unique_ptr<VideoExport> job;
    QString fileName;
    std::atomic<int> done{0};
    std::atomic<bool> cancel{false};
    QElapsedTimer clock;
    qint64 nextLineMs = exportLineEveryMs;
};

ConfigWindow::ConfigWindow(QWidget *parent, QApplication *app, const CaptureOptions &options, CaptureSession *session)
    : QWidget(parent)
    , m_ownSession(session ? nullptr : std::make_unique<CaptureSession>(options))
    , m_session(session ? session : m_ownSession.get())
{
    imageSaver = m_session->imageSaver();
    videoHandler = m_session->videoHandler();
    recorder = m_session->recorder();

    int port = 0;
    if (options.port) {
        port = *options.port;
    } else if (!ShutdownSignals::requested()) {
        port = QInputDialog::getInt(this, QStringLiteral("QInputDialog::getInteger()"),
                                    QStringLiteral("Port:"), 3000, 0, 65000, 1);
    }
    // Interrupted before or while the dialog was open (the handler of the signal closes the
    // dialog): nothing is started, and the program ends without showing this window.
    if (ShutdownSignals::requested())
        return;
    m_requestedPort = port;
    tcpServer = m_session->listen(quint16(port));
    config.webView = m_session->webView();

    m_selectionWindow = std::make_unique<SelectionWindow>(nullptr);
    selectionWindow = m_selectionWindow.get();
    m_preview = std::make_unique<GLStreamRenderer>(this);
    streamRenderer = m_preview.get();
    m_session->setPreview(streamRenderer);
    frameSlider = new FrameSlider(this);
    frameSlider->setMinimum(0);
    frameSlider->setMaximum(0);

    auto *layout = new QVBoxLayout;
    selectAreaButton = new QPushButton(tr("Select area"), this);
    selectAreaButton->setFont(QFont(QStringLiteral("Times"), 18, QFont::Bold, false));
    startStopButton = new QPushButton(tr("Start/Stop"), this);
    startStopButton->setFont(QFont(QStringLiteral("Times"), 18, QFont::Bold, false));
    handlerLabel = new QLabel(QStringLiteral("Imagehandler:"));
    tcpServerRadio = new QRadioButton(QStringLiteral("Tcp Server"), this);
    imageSaverRadio = new QRadioButton(QStringLiteral("Image saver"), this);
    videoFileRadio = new QRadioButton(QStringLiteral("Video file"), this);
    fpsLabel = new QLabel(QStringLiteral("Target fps:"));
    fpsSpinBox = new QSpinBox;
    fpsSpinBox->setRange(1, 60);
    fpsSpinBox->setValue(20);
    recordCursorBox = new QCheckBox(tr("Record cursor"), this);

    layout->addWidget(streamRenderer, 100);
    frameLabel = new QLabel(this);
    auto *sliderRow = new QHBoxLayout;
    sliderRow->addWidget(frameSlider, 1);
    sliderRow->addWidget(frameLabel);
    // The slider's frame (while capturing: the newest) marks where an export starts or ends.
    markStartButton = new QPushButton(QStringLiteral("Mark start"), this);
    markEndButton = new QPushButton(QStringLiteral("Mark end"), this);
    exportButton = new QPushButton(QStringLiteral("Export..."), this);
    sliderRow->addWidget(markStartButton);
    sliderRow->addWidget(markEndButton);
    sliderRow->addWidget(exportButton);
    layout->addLayout(sliderRow);
    layout->addWidget(selectAreaButton);
    // The handler choice and the rate each take one row, so the preview keeps its room on a
    // small or scaled screen.
    auto *handlerRow = new QHBoxLayout;
    handlerRow->addWidget(handlerLabel);
    handlerRow->addWidget(tcpServerRadio);
    handlerRow->addWidget(imageSaverRadio);
    handlerRow->addWidget(videoFileRadio);
    handlerRow->addStretch(1);
    layout->addLayout(handlerRow);
    auto *fpsRow = new QHBoxLayout;
    fpsRow->addWidget(fpsLabel);
    fpsRow->addWidget(fpsSpinBox);
    fpsRow->addStretch(1);
    layout->addLayout(fpsRow);
    // The pointer and the clicks: what of the mouse the frames show.
    showClicksBox = new QCheckBox(QStringLiteral("Show clicks"), this);
    showClicksBox->setToolTip(QStringLiteral("A ring at each mouse button press for half a second: left red, middle "
                                             "green, right blue, side buttons yellow"));
    auto *mouseRow = new QHBoxLayout;
    mouseRow->addWidget(recordCursorBox);
    mouseRow->addWidget(showClicksBox);
    mouseRow->addStretch(1);
    layout->addLayout(mouseRow);
    // Sound for video files: each source with a meter that moves as soon as it is open.
    auto *soundRow = new QHBoxLayout;
    systemSoundBox = new QCheckBox(QStringLiteral("System sound"), this);
    microphoneBox = new QCheckBox(QStringLiteral("Microphone"), this);
    systemSoundLevel = new QProgressBar(this);
    microphoneLevel = new QProgressBar(this);
    for (QProgressBar *meter : {systemSoundLevel, microphoneLevel}) {
        meter->setRange(0, 100);
        meter->setTextVisible(false);
        meter->setMaximumHeight(12);
    }
    soundRow->addWidget(systemSoundBox);
    soundRow->addWidget(systemSoundLevel, 1);
    soundRow->addWidget(microphoneBox);
    soundRow->addWidget(microphoneLevel, 1);
    layout->addLayout(soundRow);
    // "Pause" beside "Start/Stop": usable while a capture runs.
    pauseButton = new QPushButton(QStringLiteral("Pause"), this);
    pauseButton->setFont(startStopButton->font());
    pauseButton->setEnabled(false);
    auto *runRow = new QHBoxLayout;
    runRow->addWidget(startStopButton, 1);
    runRow->addWidget(pauseButton);
    layout->addLayout(runRow);
    // At the foot, as a status line: what the marks and the exports came to, and while an export
    // runs its progress and "Cancel".
    exportStatusLabel = new QLabel(this);
    exportStatusLabel->setWordWrap(true);
    exportProgress = new QProgressBar(this);
    exportProgress->setRange(0, 100);
    cancelExportButton = new QPushButton(QStringLiteral("Cancel"), this);
    exportProgress->hide();
    cancelExportButton->hide();
    auto *exportRow = new QHBoxLayout;
    exportRow->addWidget(exportStatusLabel, 1);
    exportRow->addWidget(exportProgress);
    exportRow->addWidget(cancelExportButton);
    layout->addLayout(exportRow);
    setLayout(layout);

    connect(selectAreaButton, SIGNAL(clicked()), this, SLOT(SLOT_startSelection()));
    connect(startStopButton, SIGNAL(clicked()), this, SLOT(SLOT_startStopCapture()));
    connect(this, SIGNAL(SIG_startCapture(const ConfigStructure *)), recorder,
            SLOT(SLOT_startCapture(const ConfigStructure *)));
    connect(this, SIGNAL(SIG_stopCapture()), recorder, SLOT(SLOT_stopCapture()));
    connect(frameSlider, SIGNAL(valueChanged(int)), streamRenderer, SLOT(selectTexture(int)));

    config.renderer = streamRenderer;
    config.handler = imageSaver;
    config.selection = selectionWindow->getSelectionRect();
    config.desktop = QGuiApplication::primaryScreen();
    config.fps = 30;
    config.grabber = m_session->grabber();
    config.sink = m_session;

    capturing = false;
    application = app;

    // Scripted use: the options stand in for what the user would pick in the window.
    if (options.area)
        selectionWindow->setSelectionRect(*options.area);
    if (options.fps)
        fpsSpinBox->setValue(*options.fps);
    if (options.handler)
        (*options.handler == QLatin1String("tcp")     ? tcpServerRadio
         : *options.handler == QLatin1String("video") ? videoFileRadio
                                                       : imageSaverRadio)
            ->setChecked(true);
    recordCursorBox->setChecked(options.cursor);
    showClicksBox->setChecked(options.showClicks);
    connect(showClicksBox, &QCheckBox::toggled, this, &ConfigWindow::applyShowClicks);
    m_micDevice = options.audioMicDevice;
    m_separateTracks = options.audioSeparateTracks;
    systemSoundBox->setChecked(options.audioSystem);
    microphoneBox->setChecked(options.audioMic);
    connect(systemSoundBox, &QCheckBox::toggled, this, &ConfigWindow::applySoundChoice);
    connect(microphoneBox, &QCheckBox::toggled, this, &ConfigWindow::applySoundChoice);
    connect(&m_levelTimer, &QTimer::timeout, this, &ConfigWindow::updateSoundLevels);
    m_levelTimer.setInterval(100);
    if (options.audioSystem || options.audioMic)
        applySoundChoice();
    m_frameLimit = options.frames;
    m_scripted = options.start;
    connect(selectionWindow, &SelectionWindow::windowPicked, this, &ConfigWindow::pickWindowAt);
    connect(selectionWindow, &SelectionWindow::areaEdited, this, &ConfigWindow::stopFollowingWindow);
    if (options.windowId && config.grabber->grabsX11Windows()) {
        // Found before the window was made (main); it may have gone since. (The portal shares
        // a window of its own choosing instead.)
        QString error;
        if (const std::optional<FoundWindow> window = findWindow(*options.windowId, error))
            followWindow(*window);
        else
            FrameConsole::instance().report(StageEvent::failed(QStringLiteral("Cannot follow the window: ") + error));
    }
    connect(recorder, &ImageRecorder::SIG_frameCaptured, this, &ConfigWindow::onFrameCaptured);

    connect(frameSlider, &QSlider::valueChanged, this, &ConfigWindow::updateFrameLabel);
    connect(markStartButton, &QPushButton::clicked, this, &ConfigWindow::markExportStart);
    connect(markEndButton, &QPushButton::clicked, this, &ConfigWindow::markExportEnd);
    connect(exportButton, &QPushButton::clicked, this, &ConfigWindow::exportWithDialog);
    connect(cancelExportButton, &QPushButton::clicked, this, &ConfigWindow::cancelExport);
    m_exportWorker = std::make_unique<OrderedWorker>(1);
    m_exportTimer.setInterval(100);
    connect(&m_exportTimer, &QTimer::timeout, this, &ConfigWindow::showExportProgress);
    connect(pauseButton, &QPushButton::clicked, this, &ConfigWindow::SLOT_pauseResume);
    connect(m_session, &CaptureSession::pausedChanged, this, &ConfigWindow::onPausedChanged);
    updateExportControls();
    connect(tcpServer, &TcpServerImagehandler::SIG_viewerCountChanged, this, &ConfigWindow::updateTitle);
    m_titleTimer.setInterval(250);
    connect(&m_titleTimer, &QTimer::timeout, this, [this] {
        updateTitle();
        updateFrameLabel();
        updateSliderMarks();
    });
    followGrabber();
    if (options.showClicks)
        applyShowClicks();
    updateTitle();
    updateFrameLabel();
    fitToScreen();
}

ConfigWindow::~ConfigWindow()
{
    // An export still running is cancelled (its part file removed) before the history goes.
    if (m_export) {
        m_export->cancel = true;
        FrameConsole::instance().report(StageEvent::failed(
            "Export of " + m_export->fileName.toLatin1().toStdString() + " cancelled: the program ends"));
    }
    m_exportWorker.reset();
    if (capturing)
        SLOT_startStopCapture();
}

FrameHistory *ConfigWindow::history() const
{
    return m_session->history();
}

void ConfigWindow::SLOT_startSelection()
{
    // The whole desktop, every monitor: the area may lie on any of them.
    const QImage snapshot = config.grabber->snapshot();
    if (snapshot.isNull() && !config.grabber->status().isEmpty()) {
        FrameConsole::instance().report(StageEvent::failed(config.grabber->status()));
        return;
    }
    selectionWindow->setBackground(QPixmap::fromImage(snapshot));
    selectionWindow->showFullScreen();
}

void ConfigWindow::SLOT_startStopCapture()
{
    if (!capturing) {
        if (!config.grabber->isReady()) {
            FrameConsole::instance().report(StageEvent::failed(config.grabber->status()));
            // Refused or ended before: ask again; "Start/Stop" starts once frames come.
            m_grabberProblem.clear();
            config.grabber->retry();
            updateTitle();
            return;
        }
        config.handler = tcpServerRadio->isChecked()   ? static_cast<ImageHandler *>(tcpServer)
                         : videoFileRadio->isChecked() ? static_cast<ImageHandler *>(videoHandler)
                                                       : static_cast<ImageHandler *>(imageSaver);
        config.fps = fpsSpinBox->value();
        config.recordCursor = recordCursorBox->isChecked();
        config.clicks = showClicksBox->isChecked() ? m_session->clickWatcher() : nullptr;
        config.window = m_followedWindow.get();
        if (m_followedWindow) {
            // Where the window is now, so that this window keeps out of it.
            const qreal ratio = config.desktop ? config.desktop->devicePixelRatio() : 1.0;
            if (const std::optional<QRect> area = m_followedWindow->area())
                selectionWindow->setSelectionRect(QRect(area->topLeft() / ratio, area->size() / ratio));
        }
        m_runStartCount = recorder->frameCount;
        m_frameTimes.clear();
        m_runClock.start();
        keepOutOfCaptureArea();
        Q_EMIT SIG_startCapture(&config);
        m_runFirstFile = config.handler == imageSaver ? imageSaver->nextFileNumber() : 0;
        capturing = true;
        m_titleTimer.start();
    } else {
        Q_EMIT SIG_stopCapture();
        capturing = false;
        m_titleTimer.stop();
        // With no frame captured yet the slider stays at 0..0. Otherwise the handle goes to the
        // newest frame, the one the preview shows.
        frameSlider->setMaximum(std::max(0, recorder->frameCount - 1));
        frameSlider->setValue(frameSlider->maximum());
        // While capturing the handle followed the newest frame without paging the preview.
        streamRenderer->selectTexture(frameSlider->value());
    }
    pauseButton->setEnabled(capturing);
    selectAreaButton->setDisabled(capturing);
    tcpServerRadio->setDisabled(capturing);
    fpsSpinBox->setDisabled(capturing);
    recordCursorBox->setDisabled(capturing || !config.grabber->drawsCursor());
    showClicksBox->setDisabled(capturing || !config.grabber->clicksUnavailable().isEmpty());
    systemSoundBox->setDisabled(capturing);
    microphoneBox->setDisabled(capturing);
    imageSaverRadio->setDisabled(capturing);
    videoFileRadio->setDisabled(capturing);
    updateExportControls();
    frameSlider->setDisabled(capturing);
    updateSliderMarks();
    updateTitle();
    updateFrameLabel();
}

void ConfigWindow::SLOT_pauseResume()
{
    if (capturing)
        m_session->setPaused(!m_session->isPaused());
}

void ConfigWindow::onPausedChanged(bool paused)
{
    pauseButton->setText(paused ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    // The rate is of the frames since the pause or the resume.
    m_frameTimes.clear();
    updateTitle();
}

bool ConfigWindow::startScriptedCapture()
{
    const QRect selection = *config.selection;
    // A followed window is captured wherever it is, off the screen too (black there).
    if (!m_followedWindow && captureArea(selection, config.grabber->screens()).isEmpty()) {
        FrameConsole::instance().report(StageEvent::failed(outsideTheScreenLine(selection, "nothing can be captured")));
        return false;
    }
    if (!capturing)
        SLOT_startStopCapture();
    return true;
}

void ConfigWindow::followWindow(const FoundWindow &window)
{
    if (capturing)
        return; // the running capture keeps what it captures
    m_followedWindow = std::make_unique<WindowTracker>(window);
    // Queued: the recorder finds the window gone in the middle of its tick.
    connect(m_followedWindow.get(), &WindowTracker::closed, this, &ConfigWindow::onFollowedWindowClosed,
            Qt::QueuedConnection);
    const qreal ratio = config.desktop ? config.desktop->devicePixelRatio() : 1.0;
    selectionWindow->setSelectionRect(QRect(window.area.topLeft() / ratio, window.area.size() / ratio));
    FrameConsole::instance().report(StageEvent::notice(QStringLiteral("Following ") + describeWindow(window)));
}

void ConfigWindow::pickWindowAt(const QPoint &globalPos)
{
    selectionWindow->close();
    if (!config.grabber->grabsX11Windows() || !windowFollowingAvailable()) {
        FrameConsole::instance().report(StageEvent::failed(
            "Following a window is not available with this grabber: the selected area is captured"));
        return;
    }
    // Not the selection window, which covers the whole screen, nor this one.
    const QList<quint32> own{quint32(selectionWindow->internalWinId()), quint32(internalWinId())};
    const qreal ratio = config.desktop ? config.desktop->devicePixelRatio() : 1.0;
    const std::optional<FoundWindow> window = windowAt(globalPos * ratio, own);
    if (!window) {
        FrameConsole::instance().report(StageEvent::failed(
            QStringLiteral("No window at %1,%2: the selected area is captured").arg(globalPos.x()).arg(globalPos.y())));
        return;
    }
    followWindow(*window);
}

void ConfigWindow::stopFollowingWindow()
{
    if (!m_followedWindow || capturing)
        return;
    FrameConsole::instance().report(StageEvent::notice(
        QStringLiteral("No longer following window 0x%1: the selected area is captured").arg(m_followedWindow->window().id, 0, 16)));
    m_followedWindow.reset();
    config.window = nullptr;
}

void ConfigWindow::onFollowedWindowClosed()
{
    if (!m_followedWindow || !m_followedWindow->isClosed())
        return;
    FrameConsole::instance().report(StageEvent::notice(QStringLiteral("The followed window 0x%1 closed%2")
                                                           .arg(m_followedWindow->window().id, 0, 16)
                                                           .arg(capturing ? QStringLiteral(": capture stopped") : QString())));
    const bool wasCapturing = capturing;
    if (capturing)
        SLOT_startStopCapture();
    config.window = nullptr;
    m_followedWindow.reset();
    // A scripted capture of a window ends with it: every queued file has been written.
    if (wasCapturing && m_scripted)
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
}

void ConfigWindow::setGrabber(Grabber *grabber)
{
    m_session->useGrabber(grabber);
    config.grabber = grabber;
    followGrabber();
}

void ConfigWindow::followGrabber()
{
    Grabber *grabber = config.grabber;
    if (!grabber->drawsCursor()) {
        // The desktop draws the pointer into the stream or not, as asked at start-up.
        recordCursorBox->setDisabled(true);
        recordCursorBox->setToolTip(QStringLiteral("On Wayland the desktop draws the pointer: capture_server --cursor"));
    }
    if (const QString why = grabber->clicksUnavailable(); !why.isEmpty()) {
        showClicksBox->setDisabled(true);
        showClicksBox->setToolTip(why);
    }
    connect(grabber, &Grabber::failed, this, [this](const QString &line) {
        FrameConsole::instance().report(StageEvent::failed(line));
        m_grabberProblem = line;
        updateTitle();
    });
    connect(grabber, &Grabber::ended, this, [this](const QString &line) {
        FrameConsole::instance().report(
            StageEvent::failed(capturing ? line + QLatin1String(": capture stopped") : line));
        m_grabberProblem = line;
        if (capturing)
            SLOT_startStopCapture();
        updateTitle();
    });
}

void ConfigWindow::applySoundChoice()
{
    SoundSettings settings;
    settings.system = systemSoundBox->isChecked();
    settings.mic = microphoneBox->isChecked();
    settings.micDevice = m_micDevice;
    settings.separateTracks = m_separateTracks;
    QString error;
    m_soundProblem.clear();
    if (!m_session->setSound(settings, error)) {
        // The picture is recorded without sound; the console and the title say why.
        m_soundProblem = error;
        FrameConsole::instance().report(StageEvent::failed(error + QLatin1String(": recording without sound")));
    }
    if (m_session->sound().isOpen())
        m_levelTimer.start();
    else
        m_levelTimer.stop();
    updateSoundLevels();
    updateTitle();
}

void ConfigWindow::updateSoundLevels()
{
    const SoundCapture &sound = m_session->sound();
    systemSoundLevel->setValue(sound.isOpen() ? int(sound.systemLevel() * 100.0f) : 0);
    microphoneLevel->setValue(sound.isOpen() ? int(sound.micLevel() * 100.0f) : 0);
}

void ConfigWindow::SLOT_captureEnded(int)
{
}

void ConfigWindow::onFrameCaptured(int frameCount)
{
    if (capturing && !markStartButton->isEnabled())
        updateExportControls(); // the first frame can be marked
    if (capturing) {
        const qint64 now = m_runClock.elapsed();
        m_frameTimes.push_back(now);
        while (m_frameTimes.size() > 2 && now - m_frameTimes.front() > rateWindowMs)
            m_frameTimes.pop_front();
    }
    if (m_frameLimit <= 0 || !capturing || frameCount - m_runStartCount < m_frameLimit)
        return;
    SLOT_startStopCapture();
    // A scripted run that saved nothing has failed, whatever the reasons its lines gave.
    const bool savedNothing = (config.handler == imageSaver && imageSaver->nextFileNumber() == m_runFirstFile)
        || (config.handler == videoHandler && videoHandler->recordedNothing());
    if (savedNothing)
        FrameConsole::instance().report(
            StageEvent::failed(QStringLiteral("No frame of the %1 captured was saved").arg(m_frameLimit)));
    QTimer::singleShot(0, qApp, [savedNothing] { QCoreApplication::exit(savedNothing ? 1 : 0); });
}

void ConfigWindow::closeEvent(QCloseEvent *event)
{
    // Closing the window ends a running capture the way "Start/Stop" would, so the handler
    // finishes its run, and takes the selection window with it.
    if (capturing)
        SLOT_startStopCapture();
    if (selectionWindow) // none when start-up was interrupted
        selectionWindow->close();
    QWidget::closeEvent(event);
}

void ConfigWindow::updateTitle()
{
    QString title = QStringLiteral("capture_server - ");
    if (!capturing) {
        title += QStringLiteral("idle");
    } else {
        const int frames = recorder->frameCount - m_runStartCount;
        const bool paused = m_session->isPaused();
        title += QStringLiteral("%1: %2 %3")
                     .arg(paused ? QStringLiteral("paused") : QStringLiteral("capturing"))
                     .arg(frames)
                     .arg(frames == 1 ? QStringLiteral("frame") : QStringLiteral("frames"));
        if (!paused && m_frameTimes.size() >= 2 && m_frameTimes.back() > m_frameTimes.front()) {
            const double rate = double(m_frameTimes.size() - 1) * 1000.0 / double(m_frameTimes.back() - m_frameTimes.front());
            title += QStringLiteral(" at %1 fps").arg(rate, 0, 'f', 1);
        }
        title += QStringLiteral(", %1 recorded").arg(recordedTimeText(m_session->recordedMs()));
        if (const qint64 bytes = m_session->bytesWritten(); bytes >= 0)
            title += QStringLiteral(", %1 written").arg(byteCountText(bytes));
        if (config.handler == tcpServer) {
            const int viewers = tcpServer->viewerCount();
            title += QStringLiteral(", %1 %2 connected").arg(viewers).arg(viewers == 1 ? QStringLiteral("viewer") : QStringLiteral("viewers"));
        } else if (config.handler == videoHandler) {
            title += QStringLiteral(", into %1").arg(videoHandler->fileName().isEmpty() && videoHandler->publisher()
                                                          ? videoHandler->publisher()->url()
                                                          : videoHandler->fileName());
        } else {
            title += QStringLiteral(", into %1").arg(QFileInfo(CaptureSession::ImagePrefix).path());
        }
    }
    if (!m_grabberProblem.isEmpty())
        title += QStringLiteral(" - ") + m_grabberProblem;
    if (!m_soundProblem.isEmpty())
        title += QStringLiteral(" - ") + m_soundProblem;
    if (tcpServer->serverPort() == 0)
        title += QStringLiteral(" - port %1 could not be listened on").arg(m_requestedPort);
    setWindowTitle(title);
}

void ConfigWindow::updateFrameLabel()
{
    const int total = capturing ? recorder->frameCount : frameSlider->maximum() + 1;
    if (recorder->frameCount == 0) {
        frameLabel->setText(QStringLiteral("No frames yet"));
        return;
    }
    frameLabel->setText(QStringLiteral("Frame %1 of %2 (history %3)")
                            .arg(capturing ? total : frameSlider->value() + 1)
                            .arg(total)
                            .arg(byteCountText(history()->diskBytes())));
    const int kept = history()->firstKept();
    frameSlider->setToolTip(kept > 0 ? QStringLiteral("Frames %1 to %2: the history let the frames before go to keep "
                                                      "within its limit (--history-limit)")
                                           .arg(kept + 1)
                                           .arg(total)
                                     : QString());
}

void ConfigWindow::fitToScreen()
{
    const QScreen *screen = config.desktop;
    if (!screen)
        return;
    // Keep room for a window manager's frame, which is not known before the window is shown.
    const QSize room = screen->availableGeometry().size() - QSize(16, 32);
    const QSize whole = layout()->sizeHint();
    const QSize previewHint = streamRenderer->sizeHint();
    const QSize controls(std::max(0, whole.width() - previewHint.width()), std::max(0, whole.height() - previewHint.height()));
    const QSize preview = fittedPreviewSize(previewHint, room - controls);
    resize((preview + controls).expandedTo(minimumSizeHint()));
}

void ConfigWindow::keepOutOfCaptureArea()
{
    QScreen *screen = config.desktop;
    if (!screen || !isVisible())
        return;
    // The recorder grabs from the whole desktop: the area may lie on any monitor.
    const QRect area = captureArea(*config.selection, desktopScreens(screen));
    const QRect frame = frameGeometry();
    if (area.isEmpty() || !frame.intersects(area))
        return;
    QList<QRect> available;
    for (const QScreen *monitor : screen->virtualSiblings())
        available.append(monitor->availableGeometry());
    const QSize decoration = frame.size() - size();
    const std::optional<QRect> place = placeOutside(available, frame, minimumSizeHint() + decoration, area);
    if (!place) {
        FrameConsole::instance().report(
            StageEvent::notice("The control window lies inside the capture area and the screen has no room for it "
                               "outside: it will be in the frames"));
        return;
    }
    resize(place->size() - decoration);
    move(place->topLeft());
}

void ConfigWindow::markExportStart()
{
    if (recorder->frameCount == 0)
        return;
    // While capturing the mark goes on the newest frame, the one the preview shows.
    const int newest = capturing ? recorder->frameCount - 1 : frameSlider->maximum();
    m_markStart = capturing ? newest : frameSlider->value();
    m_startGiven = true;
    if (!m_endGiven && m_markEnd < m_markStart)
        m_markEnd = newest; // no end given: to the newest frame
    orderMarks("Mark start", m_markStart);
    updateExportControls();
}

void ConfigWindow::markExportEnd()
{
    if (recorder->frameCount == 0)
        return;
    m_markEnd = capturing ? recorder->frameCount - 1 : frameSlider->value();
    m_endGiven = true;
    if (m_markStart < 0 || (!m_startGiven && m_markStart > m_markEnd))
        m_markStart = 0; // no start given: from the first frame
    orderMarks("Mark end", m_markEnd);
    updateExportControls();
}

void ConfigWindow::orderMarks(const char *marked, int frame)
{
    if (m_markStart <= m_markEnd || m_markEnd < 0)
        return;
    // Both marks were given, in the wrong order: both are kept, the range runs between them.
    std::swap(m_markStart, m_markEnd);
    const QString line = QStringLiteral("%1 at frame %2 is %3 the other mark: exporting frames %4 to %5")
                             .arg(QLatin1String(marked))
                             .arg(frame + 1)
                             .arg(frame == m_markStart ? QStringLiteral("before") : QStringLiteral("after"))
                             .arg(m_markStart + 1)
                             .arg(m_markEnd + 1);
    exportStatusLabel->setText(line);
    FrameConsole::instance().report(StageEvent::notice(line));
}

void ConfigWindow::updateSliderMarks()
{
    if (capturing) {
        // The handle follows the newest frame; the preview shows it live, so it is not paged.
        const QSignalBlocker quiet(frameSlider);
        frameSlider->setMaximum(std::max(0, recorder->frameCount - 1));
        frameSlider->setValue(frameSlider->maximum());
    }
    // Frames the history let go cannot be paged to: the slider begins at the oldest kept.
    frameSlider->setMinimum(std::min(history()->firstKept(), frameSlider->maximum()));
    frameSlider->setMarkedRange(m_markStart, m_markEnd);
    frameSlider->setPauseMarks(history()->pauseIndices());
}

void ConfigWindow::markStartOrEnd()
{
    const int frame = capturing ? recorder->frameCount - 1 : frameSlider->value();
    if (recorder->frameCount == 0 || frame < 0) {
        FrameConsole::instance().report(StageEvent::notice("Mark: no frame to mark yet"));
        return;
    }
    std::string line = (m_markEndNext ? "Mark end: frame " : "Mark start: frame ") + std::to_string(frame + 1);
    if (!m_markEndNext) {
        m_markStart = frame;
        m_markEnd = -1; // until the next press
        m_startGiven = true;
        m_endGiven = false;
    } else {
        // An end before the start (the slider moved back) makes the range run the other way.
        m_markEnd = std::max(frame, m_markStart);
        m_markStart = std::min(frame, m_markStart);
        m_endGiven = true;
        if (frame < m_markEnd) {
            line += ", before the start: exporting frames " + std::to_string(m_markStart + 1) + " to "
                + std::to_string(m_markEnd + 1);
            exportStatusLabel->setText(QString::fromStdString(line));
        }
    }
    FrameConsole::instance().report(StageEvent::notice(line));
    m_markEndNext = !m_markEndNext;
    updateExportControls();
}

void ConfigWindow::applyShowClicks()
{
    if (!showClicksBox->isChecked())
        return;
    if (const QString why = config.grabber->clicksUnavailable(); !why.isEmpty()) {
        FrameConsole::instance().report(StageEvent::failed(why));
        return;
    }
    m_session->clickWatcher(); // watches from now on, and says at once when it cannot
}

void ConfigWindow::updateExportControls()
{
    const bool frames = recorder->frameCount > 0;
    markStartButton->setEnabled(frames);
    markEndButton->setEnabled(frames);
    updateSliderMarks();
    exportButton->setEnabled(!capturing && !m_export && frames && m_markStart >= 0 && m_markEnd >= m_markStart);
    exportButton->setToolTip(m_markStart >= 0 ? QStringLiteral("Frames %1 to %2").arg(m_markStart + 1).arg(m_markEnd + 1)
                                              : QStringLiteral("Mark a start and an end first"));
}

void ConfigWindow::exportWithDialog()
{
    const QString fileName = QFileDialog::getSaveFileName(this, QStringLiteral("Export frames"),
                                                          QStringLiteral("./capture/export.mkv"),
                                                          QStringLiteral("Matroska video (*.mkv)"));
    if (!fileName.isEmpty())
        startExport(fileName);
}

bool ConfigWindow::exportMarkedRange(const QString &fileName)
{
    if (!startExport(fileName))
        return false;
    while (m_export)
        m_exportWorker->drain();
    return m_lastExportWritten;
}

bool ConfigWindow::startExport(const QString &fileName)
{
    if (capturing || m_export || m_markStart < 0 || m_markEnd < m_markStart)
        return false;
    const int last = std::min(m_markEnd, history()->size() - 1);
    int first = m_markStart;
    if (const int kept = history()->firstKept(); first < kept) {
        const std::string gone = "frames " + std::to_string(first + 1) + " to " + std::to_string(std::min(kept, last + 1));
        if (kept > last) {
            const std::string line = "Could not export " + fileName.toStdString() + ": " + gone
                + " were let go to keep the history within its limit (--history-limit)";
            exportStatusLabel->setText(QString::fromStdString(line));
            FrameConsole::instance().report(StageEvent::failed(line));
            return false;
        }
        const std::string line = "Export: " + gone + " of the marked range were let go to keep the history within its "
                                                     "limit (--history-limit); exporting from frame "
            + std::to_string(kept + 1);
        exportStatusLabel->setText(QString::fromStdString(line));
        FrameConsole::instance().report(StageEvent::notice(line));
        first = kept;
    }
    VideoSettings settings;
    settings.quality = m_session->options().videoQuality;
    settings.preset = m_session->options().videoPreset;
    settings.fps = fpsSpinBox->value();
    auto run = std::make_shared<ExportRun>();
    run->job = m_session->prepareExport(first, last, settings);
    run->fileName = fileName;
    run->clock.start();
    m_export = run;
    exportProgress->setValue(0);
    exportProgress->show();
    cancelExportButton->show();
    exportStatusLabel->setText(QStringLiteral("Exporting frames %1 to %2 into %3")
                                   .arg(run->job->first() + 1)
                                   .arg(run->job->last() + 1)
                                   .arg(fileName));
    m_exportTimer.start();
    updateExportControls();
    m_exportWorker->post([run] { return run->job->write(run->fileName, &run->done, &run->cancel); },
                         [this](ExportReport report) { finishExport(report); });
    return true;
}

void ConfigWindow::cancelExport()
{
    if (m_export)
        m_export->cancel = true;
}

void ConfigWindow::showExportProgress()
{
    if (!m_export)
        return;
    const int total = std::max(1, m_export->job->frameCount());
    const int done = m_export->done.load(std::memory_order_relaxed);
    exportProgress->setValue(int(qint64(done) * 100 / total));
    // A long export says every second how far it is.
    if (m_export->clock.elapsed() < m_export->nextLineMs || m_export->cancel)
        return;
    m_export->nextLineMs += exportLineEveryMs;
    FrameConsole::instance().report(StageEvent::notice(QStringLiteral("Exporting %1: frame %2 of %3 (%4 %)")
                                                           .arg(m_export->fileName)
                                                           .arg(done)
                                                           .arg(total)
                                                           .arg(qint64(done) * 100 / total)));
}

void ConfigWindow::finishExport(const ExportReport &report)
{
    const std::shared_ptr<ExportRun> run = std::move(m_export);
    m_exportTimer.stop();
    cancelExportButton->hide();
    const std::string name = run->fileName.toLatin1().toStdString();
    const int first = run->job->first();
    const int last = run->job->last();
    std::string line;
    if (report.cancelled) {
        line = "Export of " + name + " cancelled: no file written";
        exportProgress->hide();
    } else if (report.frames < 0) {
        line = "Could not export " + name + ": " + report.error;
        exportProgress->hide();
    } else {
        exportProgress->setValue(100);
        line = "Exported frames " + std::to_string(first + 1) + " to " + std::to_string(last + 1) + ": "
            + videoSummaryLine(run->fileName, report.frames, report.durationMs, QFileInfo(run->fileName).size());
        if (!report.missing.empty())
            line += "; " + std::to_string(report.missing.size()) + " missing: " + frameSpansText(report.missing) + " ("
                + report.missingWhy + ")";
    }
    m_lastExportWritten = report.frames >= 0;
    if (m_lastExportWritten)
        FrameConsole::instance().report(StageEvent::notice(line));
    else
        FrameConsole::instance().report(StageEvent::failed(line));
    exportStatusLabel->setText(QString::fromStdString(line));
    updateExportControls();
    Q_EMIT exportFinished(m_lastExportWritten);
}
