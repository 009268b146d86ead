#include "configwindow.h"

#include "glstreamrenderer.h"
#include "imagerecorder.h"
#include "selectionwindow.h"
#include "simpleimagesaver.h"
#include "tcpserverimagehandler.h"
#include "webviewserver.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFont>
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

ConfigWindow::ConfigWindow(QWidget *parent, QApplication *app, const CaptureOptions &options)
    : QWidget(parent)
{
    imageSaver = new SimpleImageSaver(QStringLiteral("./capture/pic"), QStringLiteral("jpg"), -1);

    int port = 0;
    if (options.port) {
        port = *options.port;
    } else {
        port = QInputDialog::getInt(this, QStringLiteral("QInputDialog::getInteger()"),
                                    QStringLiteral("Port:"), 3000, 0, 65000, 1);
    }
    tcpServer = new TcpServerImagehandler(quint16(port), options.bind);
    if (options.webPort)
        tcpServer->setWebView(new WebViewServer(quint16(*options.webPort), options.bind, this));

    selectionWindow = new SelectionWindow(nullptr);
    recorder = new ImageRecorder(nullptr);
    streamRenderer = new GLStreamRenderer(this);
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

    layout->addWidget(streamRenderer, 100);
    layout->addWidget(frameSlider);
    layout->addWidget(selectAreaButton);
    layout->addWidget(handlerLabel);
    layout->addWidget(tcpServerRadio);
    layout->addWidget(imageSaverRadio);
    layout->addWidget(fpsLabel);
    layout->addWidget(fpsSpinBox);
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
    m_frameLimit = options.frames;
    connect(recorder, &ImageRecorder::SIG_frameCaptured, this, &ConfigWindow::onFrameCaptured);
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
    QScreen *screen = QGuiApplication::primaryScreen();
    const QPixmap snapshot = screen ? screen->grabWindow(0) : QPixmap();
    selectionWindow->setBackground(snapshot);
    selectionWindow->showFullScreen();
}

void ConfigWindow::SLOT_startStopCapture()
{
    if (!capturing) {
        config.handler = tcpServerRadio->isChecked() ? static_cast<ImageHandler *>(tcpServer)
                                                     : static_cast<ImageHandler *>(imageSaver);
        config.fps = fpsSpinBox->value();
        m_runStartCount = recorder->frameCount;
        Q_EMIT SIG_startCapture(&config);
        capturing = true;
    } else {
        Q_EMIT SIG_stopCapture();
        capturing = false;
        // With no frame captured yet the slider stays at 0..0.
        frameSlider->setMaximum(std::max(0, recorder->frameCount - 1));
    }
    selectAreaButton->setDisabled(capturing);
    tcpServerRadio->setDisabled(capturing);
    fpsSpinBox->setDisabled(capturing);
    imageSaverRadio->setDisabled(capturing);
    frameSlider->setDisabled(capturing);
}

void ConfigWindow::SLOT_captureEnded(int)
{
}

void ConfigWindow::onFrameCaptured(int frameCount)
{
    if (m_frameLimit <= 0 || !capturing || frameCount - m_runStartCount < m_frameLimit)
        return;
    SLOT_startStopCapture();
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}

void ConfigWindow::closeEvent(QCloseEvent *event)
{
    // Closing the window ends a running capture the way "Start/Stop" would, so the handler
    // finishes its run, and takes the selection window with it.
    if (capturing)
        SLOT_startStopCapture();
    selectionWindow->close();
    QWidget::closeEvent(event);
}
