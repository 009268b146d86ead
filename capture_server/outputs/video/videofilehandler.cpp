#include "videofilehandler.h"

#include "frameconsole.h"
#include "monotonicclock.h"
#include "numberedfiles.h"
#include "relayurl.h"
#include "streampublisher.h"
#include "videomuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPixmap>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <system_error>

struct VideoFileHandler::RunState
{
    explicit RunState(const VideoSettings &settings) : encoder(settings), fps(settings.fps) {}
    VideoEncoder encoder;
    VideoMuxer file;
    const int fps;
    StreamPublisher *publisher = nullptr;
    QString prefix;
    qint64 number = 0;    // chosen at Start: the file's number unless another took it meanwhile
    QString fileName;
    int fd = -1;          // the unnamed file, until the muxer takes it
    int fileFd = -1;      // the muxer's descriptor of it (not ours to close)
    bool named = false;   // the file has its name: it holds its first frame
    bool fileFailed = false;
    bool failed = false;  // the encoder could not start: nothing more is done this run
    qint64 frames = 0;    // in the file
    qint64 firstGrabMs = 0;
    qint64 lastTimeMs = -1;
    qint64 fileBytes = 0;
    std::atomic<qint64> writtenBytes{0}; // the file's bytes so far, read on the GUI thread
    LastFrame last; // the frame encoded last
    // Sound streams 1, 2, ... of the file, and the relay's.
    std::vector<std::shared_ptr<AVCodecParameters>> sound;
    std::shared_ptr<AVCodecParameters> relaySound;
    // Per coded stream: its stream in the file (1, 2, ...), RelayStream, or none.
    static constexpr int RelayStream = -1;
    std::vector<int> soundTargets;

    // The file is named once its first frame is in it, header and all: a program killed before
    // leaves no file, never an empty one or a header alone. The lines to say, if any: the name
    // chosen at Start was taken meanwhile, or no name could be given (the file is then given up).
    std::vector<StageEvent> nameOnceItHoldsAFrame()
    {
        if (named || fileFd < 0 || !file.isOpen() || fileFailed || file.framesInFile() == 0)
            return {};
        const QString chosen = fileName;
        std::string error;
        if (!nameNumberedFile(fileFd, prefix, QStringLiteral("mkv"), number, fileName, error)) {
            fileName = chosen;
            fileFailed = true;
            std::string ignored;
            file.close(ignored); // the unnamed file goes with its descriptor
            return {StageEvent{StageEvent::Kind::WriteFailed, chosen,
                               QString::fromStdString(error + " (recording to it stopped; no frame in it could be kept)"),
                               -1}};
        }
        named = true;
        if (fileName == chosen)
            return {};
        return {StageEvent::notice(chosen + QLatin1String(" was taken meanwhile: recording to ") + fileName)};
    }

    // Writes coded sound (times on the monotonic clock) into the file and to the relay; false
    // with `error` set when the file's write failed.
    bool writeSound(const std::vector<std::vector<VideoPacket>> &packets, std::string &error)
    {
        const bool toFile = file.isOpen() && !fileFailed;
        for (size_t stream = 0; stream < packets.size() && stream < soundTargets.size(); ++stream) {
            for (const VideoPacket &packet : packets[stream]) {
                if (soundTargets[stream] == RelayStream && publisher)
                    publisher->push(packet, 1, firstGrabMs);
                else if (soundTargets[stream] > 0 && toFile && !file.write(packet, error, soundTargets[stream], firstGrabMs))
                    return false;
            }
        }
        return true;
    }
};

std::string videoSummaryLine(const QString &fileName, qint64 frames, qint64 durationMs, qint64 bytes)
{
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, ": %lld frames, %.2f s, %.1f %s", static_cast<long long>(frames),
                  double(durationMs) / 1000.0, bytes < 1000000 ? double(bytes) / 1e3 : double(bytes) / 1e6,
                  bytes < 1000000 ? "kB" : "MB");
    return "Recorded " + fileName.toLatin1().toStdString() + numbers;
}

VideoFileHandler::VideoFileHandler(QString prefix, VideoSettings settings, int maxQueued)
    : m_prefix(std::move(prefix))
    , m_settings(std::move(settings))
    , m_worker(std::max(1, maxQueued))
{
}

VideoFileHandler::~VideoFileHandler()
{
    stopHandling();
}

void VideoFileHandler::setPublishUrl(const QString &url)
{
    m_publisher.reset();
    if (url.isEmpty())
        return;
    // Whoever sets the address, only a relay's is taken (see relayUrlProblem).
    if (const QString problem = relayUrlProblem(url); !problem.isEmpty()) {
        FrameConsole::instance().report(StageEvent::failed(
            relayUrlError(QStringLiteral("publish"), url, problem) + QStringLiteral(" Not publishing.")));
        return;
    }
    // Status lines come from the publisher's thread; the console prints them on its own.
    m_publisher = std::make_unique<StreamPublisher>(
        url, [](const std::string &line) { FrameConsole::instance().report(StageEvent::notice(line)); });
}

void VideoFileHandler::startHandling(const ConfigStructure *)
{
    stopHandling();
    VideoSettings settings = m_settings;
    if (m_publisher) {
        // A player joining the relay waits at most this long for a keyframe, and watches live:
        // no frame held back for B-frames or look-ahead (a file beside it gets the same stream).
        settings.keyframeSeconds = std::min(settings.keyframeSeconds, 2);
        settings.zeroLatency = true;
    }
    m_run = std::make_shared<RunState>(settings);
    m_sizeSaid = false;
    m_run->publisher = m_publisher.get();
    m_fileName.clear();
    if (m_writesFile) {
        std::string error;
        // The number is chosen now and said; the file gets its name with its first frame.
        const qint64 number = firstFreeImageNumber(m_prefix, QStringLiteral("mkv"));
        if (number == NoFreeImageNumber)
            error = "no file number left";
        else
            m_run->fd = createUnnamedFile(m_prefix, QStringLiteral("mkv"), error);
        if (m_run->fd < 0) {
            m_run->fileFailed = true;
            m_run->failed = !m_publisher; // nowhere for the video to go: nothing is encoded
            FrameConsole::instance().report(
                StageEvent::failed("Could not record to " + m_prefix.toLatin1().toStdString() + "N.mkv: " + error));
        } else {
            m_fileName = imageFileName(m_prefix, number, QStringLiteral("mkv"));
            m_run->prefix = m_prefix;
            m_run->number = number;
            m_run->fileName = m_fileName;
            FrameConsole::instance().report(StageEvent::notice(QLatin1String("Recording: ") + m_fileName));
        }
    }
}

qint64 VideoFileHandler::bytesWritten() const
{
    return m_run ? qint64(m_run->writtenBytes) : 0;
}

bool VideoFileHandler::hasRoom() const
{
    return m_worker.hasRoom();
}

void VideoFileHandler::handleFrame(const CapturedFrame &frame)
{
    if (!m_run)
        return;
    if (!std::exchange(m_sizeSaid, true)) {
        if (const QSize area = frame.image.size(), coded = VideoEncoder::codedSize(area); coded != area) {
            const char *repeated = coded.width() != area.width() && coded.height() != area.height()
                                       ? "the last column and row are"
                                   : coded.width() != area.width() ? "the last column is"
                                                                   : "the last row is";
            FrameConsole::instance().report(StageEvent::notice(
                QStringLiteral("Recording %1x%2 as %3x%4: H.264 as players take it has even sizes, so %5 repeated")
                    .arg(area.width()).arg(area.height()).arg(coded.width()).arg(coded.height())
                    .arg(QLatin1String(repeated))));
        }
    }
    const ConsolePlace place = FrameConsole::instance().reserve();
    const std::shared_ptr<RunState> run = m_run;
    struct Outcome
    {
        std::vector<StageEvent> events;
        QString fileName; // the file's name, when it has just been named
    };
    const auto work = [run, frame, sound = std::exchange(m_sound, {})]() -> Outcome {
        RunState &state = *run;
        if (state.failed)
            return {};
        std::string error;
        if (!state.encoder.isOpen()) {
            state.firstGrabMs = frame.grabTimeMs;
            if (!state.encoder.open(frame.image.size(), error)) {
                state.failed = true;
                return {{StageEvent::failed("Could not encode video: " + error)}, {}};
            }

            if (state.fd >= 0) {
                const int fd = state.fd;
                state.fd = -1;
                state.fileFd = fd;
                std::vector<const AVCodecParameters *> soundStreams;
                for (const std::shared_ptr<AVCodecParameters> &parameters : state.sound)
                    soundStreams.push_back(parameters.get());
                if (!state.file.openFile(fd, state.encoder.parameters(), error, soundStreams)) {
                    state.fileFailed = true;
                    return {{StageEvent{StageEvent::Kind::WriteFailed, state.fileName, QString::fromStdString(error),
                                        frame.number}},
                            {}};
                }
            }
            if (state.publisher)
                state.publisher->begin(state.encoder.parameters(), state.relaySound.get());
        }
        if (frame.image.size() != state.encoder.frameSize())
            return {}; // the area is fixed for a run; never happens from the recorder
        // A slow tick makes a longer frame; two grabs in one millisecond still get distinct times.
        const qint64 time = std::max(frame.grabTimeMs - state.firstGrabMs, state.lastTimeMs + 1);
        const BandMap changes = state.last.advance(frame);
        const bool keyframe = state.publisher && state.publisher->takeKeyframeRequest();
        std::vector<VideoPacket> packets;
        if (!state.encoder.encode(frame.image, changes, time, keyframe, packets, error)) {
            state.failed = true;
            return {{StageEvent::failed("Could not encode video: " + error)}, {}};
        }
        state.lastTimeMs = time;
        Outcome outcome;
        const bool wasNamed = state.named;
        // The sound up to this frame goes first; a failed write is said as the frame's.
        const bool soundWritten = state.writeSound(sound, error);
        for (const VideoPacket &packet : packets) {
            if (state.publisher)
                state.publisher->push(packet);
            if (!state.file.isOpen() || state.fileFailed)
                continue;
            if (soundWritten && state.file.write(packet, error)) {
                ++state.frames;
                for (StageEvent &line : state.nameOnceItHoldsAFrame())
                    outcome.events.push_back(std::move(line));
                continue;
            }
            // Full disk or another write error: the file keeps what was written, and is closed
            // now; the relay goes on.
            state.fileFailed = true;
            std::string ignored;
            state.file.close(ignored); // cut back to its last whole cluster
            state.fileBytes = state.named ? QFileInfo(state.fileName).size() : 0;
            const qint64 kept = state.named ? state.file.framesInFile() : 0;
            outcome.events.push_back(StageEvent{StageEvent::Kind::WriteFailed, state.fileName,
                                 QString::fromStdString(error + " (recording to it stopped; "
                                                        + (kept > 0 ? "it keeps " + std::to_string(kept)
                                                                          + " frames, up to its last whole cluster)"
                                                                    : std::string("no frame in it could be kept)"))),
                                 frame.number});
        }
        if (state.file.isOpen())
            state.writtenBytes = state.file.bytesWritten();
        if (state.named && !wasNamed)
            outcome.fileName = state.fileName;
        return outcome;
    };
    const auto done = [this, place](Outcome outcome) {
        if (!outcome.fileName.isEmpty())
            m_fileName = outcome.fileName;
        FrameConsole::instance().fill(place, std::move(outcome.events));
    };
    if (!m_worker.tryPost(work, done))
        m_worker.post(work, done);
}

void VideoFileHandler::setSoundStreams(const std::vector<const AVCodecParameters *> &streams)
{
    if (!m_run)
        return;
    RunState &run = *m_run;
    run.sound.clear();
    run.relaySound.reset();
    run.soundTargets.assign(streams.size(), 0);
    for (size_t i = 0; i < streams.size(); ++i) {
        const bool relay = streams[i]->codec_id == AV_CODEC_ID_AAC;
        if ((relay && (!m_publisher || run.relaySound)) || (!relay && !m_writesFile))
            continue;
        std::shared_ptr<AVCodecParameters> copy(avcodec_parameters_alloc(),
                                                [](AVCodecParameters *p) { avcodec_parameters_free(&p); });
        if (!copy || avcodec_parameters_copy(copy.get(), streams[i]) < 0)
            continue;
        if (relay) {
            run.relaySound = std::move(copy);
            run.soundTargets[i] = RunState::RelayStream;
        } else {
            run.sound.push_back(std::move(copy));
            run.soundTargets[i] = int(run.sound.size());
        }
    }
}

void VideoFileHandler::addSound(const std::vector<std::vector<VideoPacket>> &packets)
{
    if (!m_run || m_run->soundTargets.empty())
        return;
    m_sound.resize(std::max(m_sound.size(), packets.size()));
    for (size_t stream = 0; stream < packets.size(); ++stream)
        m_sound[stream].insert(m_sound[stream].end(), packets[stream].begin(), packets[stream].end());
}

void VideoFileHandler::stopHandling()
{
    if (!m_run)
        return;
    const std::shared_ptr<RunState> run = m_run;
    const auto finish = [run, sound = std::exchange(m_sound, {})]() -> std::string {
        RunState &state = *run;
        std::string error;
        std::string line;
        std::vector<VideoPacket> packets;
        if (state.encoder.isOpen() && !state.failed)
            state.encoder.finish(packets, error);
        if (!state.writeSound(sound, error))
            state.fileFailed = true;
        for (const VideoPacket &packet : packets) {
            if (state.publisher)
                state.publisher->push(packet);
            if (state.file.isOpen() && !state.fileFailed && state.file.write(packet, error)) {
                ++state.frames;
                for (const StageEvent &event : state.nameOnceItHoldsAFrame())
                    line += event.line() + "\n";
            }
        }
        if (state.publisher)
            state.publisher->end();
        if (state.fd >= 0) { // no frame was encoded: the unnamed file goes
            ::close(state.fd);
            state.fd = -1;
            // An encoder that could not start has said so already.
            return state.failed ? std::string() : "Recorded nothing: no frame was captured";
        }
        if (state.fileName.isEmpty())
            return line;
        if (state.file.isOpen()) {
            if (!state.file.close(error)) {
                line += "Could not finish: " + state.fileName.toLatin1().toStdString() + ": " + error + "\n";
                state.fileFailed = true;
            }
            state.fileBytes = state.named ? QFileInfo(state.fileName).size() : 0;
        }
        // What the file holds, which is less than what was handed to it when a write failed.
        state.frames = state.named ? state.file.framesInFile() : 0;
        if (state.frames == 0) { // a file no player could open: gone, with the reason said before
            if (state.named)
                QFile::remove(state.fileName);
            return line + "Recorded nothing: " + state.fileName.toLatin1().toStdString()
                + (state.fileFailed ? " could not be written, and is removed" : " holds no frame, and is removed");
        }
        // The last frame lasts one frame interval.
        const qint64 last = state.file.lastTimeInFileMs();
        const qint64 duration = last < 0 ? 0 : last + 1000 / std::max(1, state.fps);
        return line + videoSummaryLine(state.fileName, state.frames, duration, state.fileBytes);
    };
    const auto done = [](std::string text) {
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            FrameConsole::instance().report(
                StageEvent::notice(text.substr(start, end == std::string::npos ? end : end - start)));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    };
    m_worker.post(finish, done);
    m_worker.drain();
    m_recordedNothing = m_writesFile && run->frames == 0;
    if (run->named)
        m_fileName = run->fileName; // named by the run's last packets, or moved to a free number
    m_run.reset();
}
