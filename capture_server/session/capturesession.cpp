#include "capturesession.h"

#include "clickwatcher.h"
#include "configstructure.h"
#include "frameconsole.h"
#include "framehistory.h"
#include "glstreamrenderer.h"
#include "monotonicclock.h"
#include "simpleimagesaver.h"
#include "tcpserverimagehandler.h"
#include "videoexport.h"
#include "videofilehandler.h"
#include "webframebroadcaster.h"
#include "webviewserver.h"
#include "x11grabber.h"

#include <algorithm>
#include <cstdio>

const QString CaptureSession::ImagePrefix = QStringLiteral("./capture/pic");
const QString CaptureSession::VideoPrefix = QStringLiteral("./capture/capture");

namespace {

VideoSettings videoSettings(const CaptureOptions &options)
{
    VideoSettings video;
    video.quality = options.videoQuality;
    video.preset = options.videoPreset;
    video.fps = options.fps.value_or(20);
    return video;
}

} // namespace

CaptureSession::CaptureSession(const CaptureOptions &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_history(std::make_unique<FrameHistory>())
    , m_saver(std::make_unique<SimpleImageSaver>(ImagePrefix, QStringLiteral("jpg"), -1))
    , m_video(std::make_unique<VideoFileHandler>(VideoPrefix, videoSettings(options)))
    , m_coder(m_saver->jpegQuality())
{
    m_history->setLimit(options.historyLimit > 0 ? options.historyLimit : FrameHistory::FromDisk);
    setGrabber(std::make_unique<X11Grabber>());
    connect(&m_sound, &SoundCapture::reported, this, [](const StageEvent &event) { FrameConsole::instance().report(event); });
    m_sound.setPauses(&m_pauses);
    m_pausedSoundTimer.setInterval(100);
    connect(&m_pausedSoundTimer, &QTimer::timeout, this, [this] {
        if (m_soundRunning)
            handOnSound(m_sound.pull(monotonicMs()));
    });
    m_video->setPublishUrl(options.publishUrl);
    m_video->setWritesFile(options.videoFile);
    if (options.webPort) {
        // The browsers see the capture whatever the handler; they share the viewers' limit.
        m_webServer = std::make_unique<WebViewServer>(quint16(*options.webPort), options.bind, nullptr,
                                                      WebViewSettings{options.webToken, options.webLossless});
        m_webServer->setViewerTimeout(options.viewerTimeoutSeconds * 1000);
        m_webServer->setViewerLimit(&m_viewerLimit);
        m_web = std::make_unique<WebFrameBroadcaster>(m_webServer.get());
    }
}

CaptureSession::~CaptureSession()
{
    if (m_recorder.isRunning())
        m_recorder.SLOT_stopCapture();
    if (m_preview)
        m_preview->setHistory(nullptr); // it outlives the history it pages through
}

ClickWatcher *CaptureSession::clickWatcher()
{
    if (!m_clicks)
        m_clicks = std::make_unique<ClickWatcher>();
    return m_clicks.get();
}

void CaptureSession::setGrabber(std::unique_ptr<Grabber> grabber)
{
    m_grabber = grabber.get();
    m_ownGrabber = std::move(grabber);
}

void CaptureSession::useGrabber(Grabber *grabber)
{
    m_grabber = grabber;
    m_ownGrabber.reset();
}

TcpServerImagehandler *CaptureSession::listen(quint16 port)
{
    if (!m_tcp) {
        m_tcp = std::make_unique<TcpServerImagehandler>(port, m_options.bind);
        m_tcp->setViewerTimeout(m_options.viewerTimeoutSeconds * 1000);
        m_tcp->setViewerLimit(&m_viewerLimit);
    }
    return m_tcp.get();
}

void CaptureSession::setPreview(GLStreamRenderer *preview)
{
    m_preview = preview;
    if (preview)
        preview->setHistory(m_history.get());
}

bool CaptureSession::setSound(const SoundSettings &settings, QString &error)
{
    if (m_soundRunning)
        return m_sound.isOpen(); // the sources of a running recording stay as they are
    m_sound.close();
    if (!settings.system && !settings.mic)
        return true;
    SoundSettings coded = settings;
    coded.codecs = {SoundCodec::Opus}; // into Matroska
    if (!m_options.publishUrl.isEmpty())
        coded.codecs.push_back(SoundCodec::Aac); // into FLV, for the relay
    return m_sound.open(coded, error);
}

void CaptureSession::setPaused(bool paused)
{
    if (!m_recorder.isRunning() || paused == isPaused())
        return;
    const qint64 now = monotonicMs();
    if (paused) {
        m_pauses.begin(now);
        m_runEndMs = now;
        m_recorder.setPaused(true);
        if (m_soundRunning)
            m_pausedSoundTimer.start();
        FrameConsole::instance().report(StageEvent::notice("Paused"));
    } else {
        m_pausedSoundTimer.stop();
        const qint64 pausedMs = m_pauses.end(now);
        m_runPausedMs += pausedMs;
        m_runEndMs = -1;
        // The next frame the recorder grabs is the first after the pause.
        m_history->markPause(m_recorder.frameCount, pausedMs);
        m_recorder.setPaused(false);
        char line[64];
        std::snprintf(line, sizeof line, "Resumed after %.1f s", double(pausedMs) / 1000.0);
        FrameConsole::instance().report(StageEvent::notice(line));
    }
    Q_EMIT pausedChanged(paused);
}

qint64 CaptureSession::recordedMs() const
{
    if (m_runStartMs < 0)
        return 0;
    const qint64 end = m_runEndMs >= 0 ? m_runEndMs : monotonicMs();
    return std::max<qint64>(0, end - m_runStartMs - m_runPausedMs);
}

qint64 CaptureSession::bytesWritten() const
{
    if (m_handler == m_saver.get())
        return m_saver->bytesWritten();
    if (m_handler == m_video.get() && m_options.videoFile)
        return m_video->bytesWritten();
    return -1;
}

void CaptureSession::startRun(const ConfigStructure *config)
{
    m_runStartMs = monotonicMs();
    m_runEndMs = -1;
    m_runPausedMs = 0;
    m_handler = config->handler;
    m_runFps = config->fps;
    // Sound runs from the run's first frame on: into the video file, and kept for export.
    m_soundDue = m_sound.isOpen();
    m_runWeb = m_web && config->webView == m_web.get() ? m_web.get() : nullptr;
    // A frame is coded as JPEG once when the saver's files need it whole, or, while a browser is
    // connected, when the browsers may take moving bands as JPEG; the history takes that coding too.
    m_saverCoded = m_handler == m_saver.get() && m_saver->writesJpeg();
    m_webCoded = m_runWeb && m_runWeb->sendsJpeg();
    m_coder.setMode(m_saverCoded ? JpegBandsCoder::Mode::WholeFrames : JpegBandsCoder::Mode::WideChanges);
    if (m_handler)
        m_handler->startHandling(config);
    if (config->webView)
        config->webView->startHandling(config);
}

bool CaptureSession::hasRoom() const
{
    // Frames still with the coder go to the history (and the saver) when they are coded.
    if (!m_history->hasRoomFor(1 + m_coder.pending()) || !m_coder.hasRoom())
        return false;
    return !m_handler || m_handler->hasRoom();
}

void CaptureSession::takeFrame(const CapturedFrame &frame)
{
    m_lastGrabMs = frame.grabTimeMs;
    if (m_soundDue)
        startSound(frame.grabTimeMs);
    if (m_soundRunning)
        handOnSound(m_sound.pull(frame.grabTimeMs));
    if (m_preview)
        m_preview->updateAndStoreTexture(frame);
    // The browsers' bands are coded only while one is connected (a moving screen's cost a frame
    // for nobody otherwise). Frames still with the coder keep the next ones on its way, so the
    // history and the browsers take them in order.
    const bool coding = m_saverCoded || (m_webCoded && m_runWeb->isWatched()) || m_coder.pending() > 0;
    if (coding) {
        // The saver's line keeps this tick's place among the console's lines.
        const ConsolePlace place = m_saverCoded ? FrameConsole::instance().reserve() : ConsolePlace();
        m_coder.code(frame, [this, place](const CapturedFrame &coded, const CodedJpeg &jpeg) {
            storeInHistory(coded, jpeg.bands);
            if (m_saverCoded)
                m_saver->writeCoded(coded, jpeg.file, place);
            if (m_runWeb)
                m_runWeb->handleCodedFrame(coded, jpeg.bands);
        });
    } else {
        storeInHistory(frame, nullptr);
        if (m_runWeb)
            m_runWeb->handleFrame(frame);
    }
    if (m_handler && !m_saverCoded) {
        // The handlers' time line leaves the pauses out (the video file's and the relay's).
        CapturedFrame recorded = frame;
        recorded.grabTimeMs -= m_pauses.totalMs();
        m_handler->handleFrame(recorded);
    }
}

void CaptureSession::storeInHistory(const CapturedFrame &frame, std::shared_ptr<const JpegBands> coded)
{
    m_history->append(frame.image, m_historyLast.advance(frame), std::move(coded), frame.grabTimeMs);
}

void CaptureSession::startSound(qint64 firstGrabMs)
{
    m_soundDue = false;
    QString error;
    if (!m_sound.start(firstGrabMs, error)) {
        FrameConsole::instance().report(StageEvent::failed(QStringLiteral("No sound in this recording: ") + error));
        return;
    }
    FrameConsole::instance().report(StageEvent::notice(m_sound.description()));
    std::vector<const AVCodecParameters *> streams;
    std::vector<const AVCodecParameters *> kept; // the Opus ones, for export
    for (const SoundCapture::Stream &stream : m_sound.streams()) {
        streams.push_back(stream.parameters);
        if (stream.codec == SoundCodec::Opus)
            kept.push_back(stream.parameters);
    }
    if (m_handler == m_video.get())
        m_video->setSoundStreams(streams);
    m_soundHistory.beginRun(kept);
    m_soundRunning = true;
}

void CaptureSession::handOnSound(const std::vector<std::vector<VideoPacket>> &packets)
{
    if (m_handler == m_video.get())
        m_video->addSound(packets);
    std::vector<std::vector<VideoPacket>> kept;
    for (size_t i = 0; i < packets.size() && i < m_sound.streams().size(); ++i) {
        if (m_sound.streams()[i].codec == SoundCodec::Opus)
            kept.push_back(packets[i]);
    }
    m_soundHistory.append(kept);
}

void CaptureSession::endRun()
{
    const bool wasPaused = isPaused();
    m_pausedSoundTimer.stop();
    if (!wasPaused)
        m_runEndMs = monotonicMs();
    if (m_soundRunning) {
        // The track lasts as long as the picture: to the end of the last frame.
        handOnSound(m_sound.finish(m_lastGrabMs + 1000 / std::max(1, m_runFps)));
        m_soundRunning = false;
    }
    m_soundDue = false;
    m_coder.drain([](int left) {
        FrameConsole::instance().report(
            StageEvent::notice(QStringLiteral("Waiting for the last %1 frames to be coded").arg(left)));
    });
    if (m_handler)
        m_handler->stopHandling();
    if (m_runWeb)
        m_runWeb->stopHandling();
    m_handler = nullptr;
    m_runWeb = nullptr;
    if (wasPaused) {
        // Nothing after the pause's start is recorded: the sound ended there (finish() maps
        // later times to it), and the next run starts after it anyway.
        m_pauses.cancel();
        Q_EMIT pausedChanged(false);
    }
}

qint64 CaptureSession::exportFrames(int first, int last, const QString &fileName, const VideoSettings &settings,
                                    qint64 &durationMs, std::string &error) const
{
    const ExportReport report = prepareExport(first, last, settings)->write(fileName);
    error = report.error;
    durationMs = report.durationMs;
    return report.frames;
}

std::unique_ptr<VideoExport> CaptureSession::prepareExport(int first, int last, const VideoSettings &settings) const
{
    return std::make_unique<VideoExport>(*m_history, first, last, settings, &m_soundHistory);
}
