#pragma once

#include "captureoptions.h"
#include "configstructure.h"
#include "frameslider.h" // users page with frameSlider as with any QSlider

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <memory>

class CaptureSession;
class OrderedWorker;
struct ExportReport;
class FrameHistory;
class GLStreamRenderer;
class Grabber;
class ImageRecorder;
class QApplication;
class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSlider;
class QSpinBox;
class SelectionWindow;
class SimpleImageSaver;
class TcpServerImagehandler;
class VideoFileHandler;
class WindowTracker;
struct FoundWindow;

// The control window of capture_server: the live preview, the frame slider, "Select area",
// the handler choice, the target rate and "Start/Stop", over a capture session (which grabs,
// keeps and sends the frames). Its members point into that session.
class ConfigWindow : public QWidget
{
    Q_OBJECT
    // The session the window drives; its own when it was given none.
    std::unique_ptr<CaptureSession> m_ownSession;
    CaptureSession *m_session = nullptr;
    // The preview pages through the session's history: it goes first.
    std::unique_ptr<GLStreamRenderer> m_preview;

public:
    // Without a `session` the window makes one from `options` (and owns it).
    ConfigWindow(QWidget *parent, QApplication *application, const CaptureOptions &options = {},
                 CaptureSession *session = nullptr);
    ~ConfigWindow() override;

    SelectionWindow *selectionWindow = nullptr;
    ImageRecorder *recorder = nullptr;
    ConfigStructure config;
    SimpleImageSaver *imageSaver = nullptr;
    GLStreamRenderer *streamRenderer = nullptr;
    FrameSlider *frameSlider = nullptr; // also shows the marked range and the pauses
    TcpServerImagehandler *tcpServer = nullptr;
    QPushButton *selectAreaButton = nullptr;
    QPushButton *startStopButton = nullptr;
    QApplication *application = nullptr;
    QLabel *handlerLabel = nullptr;
    QRadioButton *tcpServerRadio = nullptr;
    QRadioButton *imageSaverRadio = nullptr;
    QLabel *fpsLabel = nullptr;
    QSpinBox *fpsSpinBox = nullptr;
    QCheckBox *recordCursorBox = nullptr;
    bool capturing = false;
    QLabel *frameLabel = nullptr; // beside the slider: "Frame N of M"
    VideoFileHandler *videoHandler = nullptr;
    QRadioButton *videoFileRadio = nullptr;
    QPushButton *markStartButton = nullptr; // the slider's (or the newest) frame starts the export range
    QPushButton *markEndButton = nullptr;   // ... and ends it
    QPushButton *exportButton = nullptr;    // "Export...": the marked range as a video file
    QCheckBox *systemSoundBox = nullptr;    // "System sound": the default output's sound in video files
    QCheckBox *microphoneBox = nullptr;     // "Microphone"
    QProgressBar *systemSoundLevel = nullptr; // each source's level while it is open
    QProgressBar *microphoneLevel = nullptr;
    QPushButton *pauseButton = nullptr; // beside "Start/Stop" while capturing: "Pause", or "Resume"
    QCheckBox *showClicksBox = nullptr;     // "Show clicks": a ring at each mouse button press in the frames
    QProgressBar *exportProgress = nullptr;   // while an export runs, beside "Cancel"
    QPushButton *cancelExportButton = nullptr;
    QLabel *exportStatusLabel = nullptr;      // what the marks or the last export came to

    // Marks the slider's frame (while capturing: the newest frame) as the first or the last of
    // the range to export.
    void markExportStart();
    void markExportEnd();
    // The Mark hotkey: the first press marks the start of the range, the next its end, and so
    // on. While recording it marks the newest frame, otherwise the slider's; one line says which.
    void markStartOrEnd();
    // Writes the marked range (frames in the history, at their grab times) to `fileName` as
    // H.264 in Matroska and prints one line; false when nothing could be written. Waits for the
    // export (scripts and tests); "Export..." uses startExport().
    bool exportMarkedRange(const QString &fileName);
    // Starts writing the marked range to `fileName` on a worker, with the progress bar and
    // "Cancel" in the window and, for a long range, a line a second; exportFinished() follows.
    // False when nothing is marked or an export is already running.
    bool startExport(const QString &fileName);
    // Stops a running export: no file is left of it.
    void cancelExport();
    [[nodiscard]] bool isExporting() const { return m_export != nullptr; }
    [[nodiscard]] int exportStart() const { return m_markStart; }
    [[nodiscard]] int exportEnd() const { return m_markEnd; }

    // For --start: starts a capture, or, when the selection lies wholly off the screen so that
    // nothing could ever be captured, prints why and returns false.
    bool startScriptedCapture();

    // Captures `window` instead of the selected area, wherever it goes, until it closes (which
    // stops a capture as "Start/Stop" would) or an area is selected again.
    void followWindow(const FoundWindow &window);
    // The window picked in the selection window at `globalPos` (logical desktop pixels).
    void pickWindowAt(const QPoint &globalPos);
    void stopFollowingWindow();
    [[nodiscard]] WindowTracker *followedWindow() const { return m_followedWindow.get(); }

    [[nodiscard]] FrameHistory *history() const;
    [[nodiscard]] CaptureSession *session() const { return m_session; }

    // Frames and the selection's snapshot come from `grabber` (not owned) instead of the
    // session's. Until it is ready "Start/Stop" starts nothing and says why; when it ends a
    // capture stops as "Start/Stop" would.
    void setGrabber(Grabber *grabber);

Q_SIGNALS:
    void SIG_startSelectionSignal();
    void SIG_startCapture(const ConfigStructure *);
    void SIG_stopCapture();
    // An export has ended: `written` when the file is complete (not when it failed or was
    // cancelled).
    void exportFinished(bool written);

public Q_SLOTS:
    void SLOT_startSelection();
    void SLOT_startStopCapture();
    void SLOT_captureEnded(int);
    // Pauses a running capture, or resumes a paused one (the session does the work).
    void SLOT_pauseResume();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void onFrameCaptured(int frameCount);
    void updateTitle();
    void updateFrameLabel();
    void fitToScreen();
    void keepOutOfCaptureArea();
    void followGrabber();
    void applySoundChoice();
    void updateSoundLevels();

    std::unique_ptr<SelectionWindow> m_selectionWindow; // a window of its own: no parent
    int m_frameLimit = 0;      // --frames: stop and quit after this many frames of a run
    int m_runStartCount = 0;   // recorder's frameCount when the current run started
    int m_requestedPort = 0;   // the port asked for, to name it when it could not be listened on
    QTimer m_titleTimer;       // refreshes the title while capturing, a few times a second
    QElapsedTimer m_runClock;  // since the current run started
    std::deque<qint64> m_frameTimes; // m_runClock times of the run's recent frames, for the rate
    qint64 m_runFirstFile = 0; // the saver's next file number when the current run started
    void updateExportControls();
    void updateSliderMarks();
    void onPausedChanged(bool paused);
    void exportWithDialog();
    int m_markStart = -1;      // export range, frame indices; -1: not marked
    int m_markEnd = -1;
    QString m_grabberProblem;  // why the grabber cannot grab, for the title
    QString m_soundProblem;    // why a sound source could not be opened, for the title
    QString m_micDevice;       // --audio-mic
    bool m_separateTracks = false;
    QTimer m_levelTimer;       // moves the level meters while a source is open
    bool m_markEndNext = false; // the Mark hotkey's next press marks the end
    void applyShowClicks();
    void onFollowedWindowClosed();
    std::unique_ptr<WindowTracker> m_followedWindow; // the window captured instead of the area
    bool m_scripted = false;   // --start: the program ends when the followed window closes

    // Marks given by the user (the other end of a range with only one is filled in).
    bool m_startGiven = false;
    bool m_endGiven = false;
    void orderMarks(const char *marked, int frame);
    // The export under way, shared with its worker.
    struct ExportRun;
    std::shared_ptr<ExportRun> m_export;
    bool m_lastExportWritten = false;
    QTimer m_exportTimer; // moves the progress bar, and says every second how far a long export is
    void showExportProgress();
    void finishExport(const ExportReport &report);
    std::unique_ptr<OrderedWorker> m_exportWorker; // last: ends (cancelled) before the rest goes
};
