#pragma once

#include "capturedframe.h"
#include "captureoptions.h"
#include "framesink.h"
#include "imagerecorder.h"
#include "jpegbandscoder.h"
#include "pausecuts.h"
#include "soundcapture.h"
#include "soundhistory.h"
#include "viewerlimit.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <string>

class ClickWatcher;
class FrameHistory;
class GLStreamRenderer;
class Grabber;
class ImageHandler;
class SimpleImageSaver;
class TcpServerImagehandler;
class VideoFileHandler;
struct VideoSettings;
class VideoExport;
class WebFrameBroadcaster;
class WebViewServer;

// One capture: where frames come from (the grabber), the clock that grabs them (the recorder),
// every frame since start-up (the history) and where they go (the preview it is given, and the
// outputs: numbered JPEG files, TCP viewers, a video file and relay, browsers). It is not a
// widget: the control window drives it, and tests can drive it alone.
//
// A frame's road, on the GUI thread unless said: the recorder grabs it at each tick and hands it
// here (takeFrame()); the preview shows it; when some stage takes it as JPEG (the saver's files;
// the browsers, while one is connected), the shared coder codes it once on its own worker, and
// the history, the saver and the web view each take that coding as an input of their own;
// otherwise the history codes it itself. The run's handler takes it too (the TCP server and the
// video file code it on their own workers), and so do the browsers. Stages never wait for one
// another: each has a bounded queue, and when one is full the recorder skips the tick's grab.
class CaptureSession : public QObject, public FrameSink
{
    Q_OBJECT
public:
    explicit CaptureSession(const CaptureOptions &options = {}, QObject *parent = nullptr);
    ~CaptureSession() override;

    // Where frames come from; an X11 grabber until one is set. `useGrabber` does not take it:
    // it must outlive the session.
    void setGrabber(std::unique_ptr<Grabber> grabber);
    void useGrabber(Grabber *grabber);
    [[nodiscard]] Grabber *grabber() const { return m_grabber; }

    // Listens for TCP viewers on `port` (0: any free one) at the options' address. Once; the
    // port may come from a dialog, so it is not part of the options.
    TcpServerImagehandler *listen(quint16 port);

    [[nodiscard]] ImageRecorder *recorder() { return &m_recorder; }
    [[nodiscard]] FrameHistory *history() const { return m_history.get(); }
    [[nodiscard]] SimpleImageSaver *imageSaver() const { return m_saver.get(); }
    [[nodiscard]] TcpServerImagehandler *tcpServer() const { return m_tcp.get(); }
    [[nodiscard]] VideoFileHandler *videoHandler() const { return m_video.get(); }
    // The browsers' view (--web), or none.
    [[nodiscard]] WebFrameBroadcaster *webView() const { return m_web.get(); }
    [[nodiscard]] WebViewServer *webServer() const { return m_webServer.get(); }
    [[nodiscard]] const CaptureOptions &options() const { return m_options; }
    // The mouse's clicks for "Show clicks", watched from the first call on (X11 only).
    ClickWatcher *clickWatcher();

    // The preview every grabbed frame is shown in (not owned), which pages through the history.
    void setPreview(GLStreamRenderer *preview);

    // Sound: opens the sources `settings` asks for, or closes them when it asks for none. When
    // one cannot be opened, false with `error` set (one line): the picture is recorded without
    // sound. Open sources show their levels at once; a run records them into the video file.
    bool setSound(const SoundSettings &settings, QString &error);
    [[nodiscard]] const SoundCapture &sound() const { return m_sound; }

    // Pause and resume of a running capture. While paused nothing is grabbed, so no frame of
    // that time reaches the preview, the history or any output; on resume the recording goes on
    // where it was: the paused time is cut from the times of the video file, the relay and the
    // sound (at the same instant), the numbering of the files goes on, every connection stays.
    // The history keeps grab times (the pause shows as a jump) and marks the first frame after
    // each pause. Console: "Paused", and "Resumed after N s" (tenths). A stop while paused ends
    // the recording as it stands. Does nothing when no capture runs.
    void setPaused(bool paused);
    [[nodiscard]] bool isPaused() const { return m_pauses.isPaused(); }
    // The current (or last) run's time, paused time left out.
    [[nodiscard]] qint64 recordedMs() const;
    // Bytes of the files the current run has written so far: the JPEG files or the video file;
    // -1 when its handler writes none (the TCP server, a relay alone).
    [[nodiscard]] qint64 bytesWritten() const;

    void startRun(const ConfigStructure *config) override;
    [[nodiscard]] bool hasRoom() const override;
    void takeFrame(const CapturedFrame &frame) override;
    void endRun() override;

    // Writes the history's frames first..last as a video file at their grab times, with their
    // sound. Returns the frames written and sets `durationMs`, or -1 with `error` set.
    qint64 exportFrames(int first, int last, const QString &fileName, const VideoSettings &settings,
                        qint64 &durationMs, std::string &error) const;
    // The same export, taken from the history here and written later on any thread
    // (VideoExport::write()) while this session lives.
    [[nodiscard]] std::unique_ptr<VideoExport> prepareExport(int first, int last, const VideoSettings &settings) const;

    static const QString ImagePrefix; // the saver's files: ./capture/picN.jpg
    static const QString VideoPrefix; // the video files: ./capture/captureN.mkv

Q_SIGNALS:
    void pausedChanged(bool paused);

private:
    void storeInHistory(const CapturedFrame &frame, std::shared_ptr<const JpegBands> coded);
    void startSound(qint64 firstGrabMs);
    void handOnSound(const std::vector<std::vector<VideoPacket>> &packets);

    const CaptureOptions m_options;
    std::unique_ptr<Grabber> m_ownGrabber;
    Grabber *m_grabber = nullptr;
    ViewerLimit m_viewerLimit; // TCP viewers and browsers together; outlives both servers
    std::unique_ptr<FrameHistory> m_history;
    LastFrame m_historyLast; // the frame the history was given last, for its band map
    QPointer<GLStreamRenderer> m_preview;
    std::unique_ptr<SimpleImageSaver> m_saver;
    std::unique_ptr<VideoFileHandler> m_video;
    std::unique_ptr<TcpServerImagehandler> m_tcp;
    std::unique_ptr<WebViewServer> m_webServer;
    std::unique_ptr<WebFrameBroadcaster> m_web;
    std::unique_ptr<ClickWatcher> m_clicks;

    // This run's stages.
    ImageHandler *m_handler = nullptr;
    WebFrameBroadcaster *m_runWeb = nullptr;
    bool m_webCoded = false;   // the browsers take the shared coder's bands (while one watches)
    bool m_saverCoded = false; // the saver writes the shared coder's files
    int m_runFps = 30;
    qint64 m_lastGrabMs = 0;
    bool m_soundDue = false;     // sound starts with the run's first frame
    bool m_soundRunning = false;
    qint64 m_runStartMs = -1;  // monotonicMs() at the run's start
    qint64 m_runEndMs = -1;    // ... and at its end (or its last pause's start); -1 while it runs
    qint64 m_runPausedMs = 0;  // pauses of the run that have ended

    PauseCuts m_pauses;         // every pause since start-up, cut from frame and sound times
    QTimer m_pausedSoundTimer;  // takes sound in while paused (up to the pause), so none piles up

    SoundCapture m_sound; // the sound sources, on the frames' clock
    SoundHistory m_soundHistory; // their coded sound since start-up, for export

    JpegBandsCoder m_coder;  // after the stages its results go to: goes before them
    ImageRecorder m_recorder; // last: its ticks end before anything else goes
};
