#include "configwindow.h"

#include "capturearea.h"
#include "framehistory.h"
#include "glstreamrenderer.h"
#include "imagerecorder.h"
#include "screengrabber.h"
#include "selectionwindow.h"
#include "shutdownsignals.h"
#include "simpleimagesaver.h"
#include "tcpserverimagehandler.h"
#include "webframebroadcaster.h"
#include "webviewserver.h"
#include "windowplacement.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFont>
#include <QHBoxLayout>
#include <QGuiApplication>
#include <QInputDialog>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <iostream>

namespace {

const QString imagePrefix = QStringLiteral("./capture/pic");

// How long the achieved rate in the title looks back.
constexpr qint64 rateWindowMs = 2000;

} // namespace

ConfigWindow::ConfigWindow(QWidget *parent, QApplication *app, const CaptureOptions &options)
    : QWidget(parent)
{
    imageSaver = new SimpleImageSaver(imagePrefix, QStringLiteral("jpg"), -1);

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
    tcpServer = new TcpServerImagehandler(quint16(port), options.bind);
    tcpServer->setViewerTimeout(options.viewerTimeoutSeconds * 1000);
    if (options.webPort) {
        // The browsers see the capture whatever the handler; they share the viewers' limit.
        auto *webView = new WebViewServer(quint16(*options.webPort), options.bind, this, {options.webToken, options.webLossless});
        webView->setViewerTimeout(options.viewerTimeoutSeconds * 1000);
        tcpServer->shareViewerLimit(webView);
        config.webView = new WebFrameBroadcaster(webView, this);
    }

    selectionWindow = new SelectionWindow(nullptr);
    recorder = new ImageRecorder(nullptr);
    m_history = std::make_unique<FrameHistory>();
    streamRenderer = new GLStreamRenderer(this);
    streamRenderer->setHistory(m_history.get());
    frameSlider = new QSlider(Qt::Horizontal, this);
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
    layout->addLayout(sliderRow);
    layout->addWidget(selectAreaButton);
    // The handler choice and the rate each take one row, so the preview keeps its room on a
    // small or scaled screen.
    auto *handlerRow = new QHBoxLayout;
    handlerRow->addWidget(handlerLabel);
    handlerRow->addWidget(tcpServerRadio);
    handlerRow->addWidget(imageSaverRadio);
    handlerRow->addStretch(1);
    layout->addLayout(handlerRow);
    auto *fpsRow = new QHBoxLayout;
    fpsRow->addWidget(fpsLabel);
    fpsRow->addWidget(fpsSpinBox);
    fpsRow->addStretch(1);
    layout->addLayout(fpsRow);
    layout->addWidget(recordCursorBox);
    layout->addWidget(startStopButton);
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

    capturing = false;
    application = app;

    // Scripted use: the options stand in for what the user would pick in the window.
    if (options.area)
        selectionWindow->setSelectionRect(*options.area);
    if (options.fps)
        fpsSpinBox->setValue(*options.fps);
    if (options.handler)
        (*options.handler == QLatin1String("tcp") ? tcpServerRadio : imageSaverRadio)->setChecked(true);
    recordCursorBox->setChecked(options.cursor);
    m_frameLimit = options.frames;
    connect(recorder, &ImageRecorder::SIG_frameCaptured, this, &ConfigWindow::onFrameCaptured);

    connect(frameSlider, &QSlider::valueChanged, this, &ConfigWindow::updateFrameLabel);
    connect(tcpServer, &TcpServerImagehandler::SIG_viewerCountChanged, this, &ConfigWindow::updateTitle);
    m_titleTimer.setInterval(250);
    connect(&m_titleTimer, &QTimer::timeout, this, [this] {
        updateTitle();
        updateFrameLabel();
    });
    updateTitle();
    updateFrameLabel();
    fitToScreen();
}

ConfigWindow::~ConfigWindow()
{
    if (capturing)
        SLOT_startStopCapture();
    delete recorder;
    delete selectionWindow;
    delete tcpServer;
    delete imageSaver;
}

void ConfigWindow::SLOT_startSelection()
{
    // The whole desktop, every monitor: the area may lie on any of them.
    QScreen *screen = QGuiApplication::primaryScreen();
    const QPixmap snapshot = screen ? grabScreenArea(screen, screen->virtualGeometry()) : QPixmap();
    selectionWindow->setBackground(snapshot);
    selectionWindow->showFullScreen();
}

void ConfigWindow::SLOT_startStopCapture()
{
    if (!capturing) {
        config.handler = tcpServerRadio->isChecked() ? static_cast<ImageHandler *>(tcpServer)
                                                     : static_cast<ImageHandler *>(imageSaver);
        config.fps = fpsSpinBox->value();
        config.recordCursor = recordCursorBox->isChecked();
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
    }
    selectAreaButton->setDisabled(capturing);
    tcpServerRadio->setDisabled(capturing);
    fpsSpinBox->setDisabled(capturing);
    recordCursorBox->setDisabled(capturing);
    imageSaverRadio->setDisabled(capturing);
    frameSlider->setDisabled(capturing);
    updateTitle();
    updateFrameLabel();
}

bool ConfigWindow::startScriptedCapture()
{
    const QRect selection = *config.selection;
    if (captureArea(selection, desktopScreens(config.desktop)).isEmpty()) {
        std::cout << "Selected area " << selection.x() << "," << selection.y() << " " << selection.width() << "x"
                  << selection.height() << " lies outside the screen: nothing can be captured" << std::endl;
        return false;
    }
    if (!capturing)
        SLOT_startStopCapture();
    return true;
}

void ConfigWindow::SLOT_captureEnded(int)
{
}

void ConfigWindow::onFrameCaptured(int frameCount)
{
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
    const bool savedNothing = config.handler == imageSaver && imageSaver->nextFileNumber() == m_runFirstFile;
    if (savedNothing)
        std::cout << "No frame of the " << m_frameLimit << " captured was saved" << std::endl;
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
        title += QStringLiteral("capturing: %1 %2").arg(frames).arg(frames == 1 ? QStringLiteral("frame") : QStringLiteral("frames"));
        if (m_frameTimes.size() >= 2 && m_frameTimes.back() > m_frameTimes.front()) {
            const double rate = double(m_frameTimes.size() - 1) * 1000.0 / double(m_frameTimes.back() - m_frameTimes.front());
            title += QStringLiteral(" at %1 fps").arg(rate, 0, 'f', 1);
        }
        if (config.handler == tcpServer) {
            const int viewers = tcpServer->viewerCount();
            title += QStringLiteral(", %1 %2 connected").arg(viewers).arg(viewers == 1 ? QStringLiteral("viewer") : QStringLiteral("viewers"));
        } else {
            title += QStringLiteral(", into %1").arg(QFileInfo(imagePrefix).path());
        }
    }
    if (tcpServer->serverPort() == 0)
        title += QStringLiteral(" - port %1 could not be listened on").arg(m_requestedPort);
    setWindowTitle(title);
}

void ConfigWindow::updateFrameLabel()
{
    const int total = capturing ? recorder->frameCount : frameSlider->maximum() + 1;
    if (recorder->frameCount == 0)
        frameLabel->setText(QStringLiteral("No frames yet"));
    else
        frameLabel->setText(QStringLiteral("Frame %1 of %2").arg(capturing ? total : frameSlider->value() + 1).arg(total));
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
    const QScreen *screen = config.desktop;
    if (!screen || !isVisible())
        return;
    const QRect area = captureArea(*config.selection, screen->geometry());
    const QRect frame = frameGeometry();
    if (area.isEmpty() || !frame.intersects(area))
        return;
    const QSize decoration = frame.size() - size();
    const std::optional<QRect> place =
        placeOutside(screen->availableGeometry(), frame, minimumSizeHint() + decoration, area);
    if (!place) {
        std::cout << "The control window lies inside the capture area and the screen has no room for it "
                     "outside: it will be in the frames"
                  << std::endl;
        return;
    }
    resize(place->size() - decoration);
    move(place->topLeft());
}
