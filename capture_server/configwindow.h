#pragma once

#include "captureoptions.h"
#include "configstructure.h"

#include <QWidget>

class GLStreamRenderer;
class ImageRecorder;
class QApplication;
class QLabel;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class SelectionWindow;
class SimpleImageSaver;
class TcpServerImagehandler;

// The control window of capture_server: the live preview, the frame slider, "Select area",
// the handler choice, the target rate and "Start/Stop". It creates and wires every other
// object of the program.
class ConfigWindow : public QWidget
{
    Q_OBJECT
public:
    ConfigWindow(QWidget *parent, QApplication *application, const CaptureOptions &options = {});
    ~ConfigWindow() override;

    SelectionWindow *selectionWindow = nullptr;
    ImageRecorder *recorder = nullptr;
    ConfigStructure config;
    SimpleImageSaver *imageSaver = nullptr;
    GLStreamRenderer *streamRenderer = nullptr;
    QSlider *frameSlider = nullptr;
    TcpServerImagehandler *tcpServer = nullptr;
    QPushButton *selectAreaButton = nullptr;
    QPushButton *startStopButton = nullptr;
    QApplication *application = nullptr;
    QLabel *handlerLabel = nullptr;
    QRadioButton *tcpServerRadio = nullptr;
    QRadioButton *imageSaverRadio = nullptr;
    QLabel *fpsLabel = nullptr;
    QSpinBox *fpsSpinBox = nullptr;
    bool capturing = false;

Q_SIGNALS:
    void SIG_startSelectionSignal();
    void SIG_startCapture(const ConfigStructure *);
    void SIG_stopCapture();

public Q_SLOTS:
    void SLOT_startSelection();
    void SLOT_startStopCapture();
    void SLOT_captureEnded(int);

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void onFrameCaptured(int frameCount);

    int m_frameLimit = 0;      // --frames: stop and quit after this many frames of a run
    int m_runStartCount = 0;   // recorder's frameCount when the current run started
    qint64 m_runFirstFile = 0; // the saver's next file number when the current run started
};
