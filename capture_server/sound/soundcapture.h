#pragma once

#include "frameconsole.h"
#include "soundencoder.h"
#include "soundsource.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class PauseCuts;
class SoundMixer;
class SoundTrack;

// What to record: the system sound, a microphone, or both, mixed into one track or each in a
// track of its own, coded once per codec given.
struct SoundSettings
{
    bool system = false;
    bool mic = false;
    QString micDevice;           // a node name ("mic"); empty for the default input
    bool separateTracks = false; // with both: system sound in track 0, microphone in track 1
    std::vector<SoundCodec> codecs{SoundCodec::Opus};
};

// The sound of a recording, in one object: opens the sources, shows their levels, and hands
// out coded sound on the monotonic clock (std::chrono::steady_clock, in milliseconds, the clock
// of the frames' grab times).
//
//     SoundCapture sound;
//     if (!sound.open(settings, error)) ...          // up to ~2 s per source; error is one line
//     console.print(sound.description());
//     sound.start(firstFrameMs, error);              // fresh coders; streams() now valid
//     every tick: for each stream i, write sound.pull(nowMs)[i] to streams()[i]'s muxer stream
//     at the end: sound.finish(lastFrameMs) the same way
//
// Sound lags a little behind the clock: it arrives from the server in buffers of ~20 ms, so
// pull(now) gives what came up to about now. Where nothing came for HoldBackMs (a suspended
// output, a device gone, the server gone), silence takes its place, so every track runs on
// without a gap. A loss is reported once through reported(). A lost source is opened again
// now and then (after 1, 2, 4, then every 8 s), the same device it had, so that one that comes
// back (a device plugged in again, a sound server restarted) resumes.
//
// Everything but the levels belongs to the thread the object lives on.
class SoundCapture : public QObject
{
    Q_OBJECT
public:
    // Sound this late is given up for silence.
    static constexpr int HoldBackMs = 200;
    // Lost sources are tried again after this long at first, twice as long each time up to
    // RetryMaxMs.
    static constexpr int RetryFirstMs = 1000;
    static constexpr int RetryMaxMs = 8000;
    // A retry waits for the server this long at most (it blocks the object's thread).
    static constexpr int RetryTimeoutMs = 300;


    // One coded stream: a track in a codec, in the order pull() gives packets.
    struct Stream
    {
        int track = 0;
        QString title; // "system", "microphone", "system + microphone"
        SoundCodec codec = SoundCodec::Opus;
        const AVCodecParameters *parameters = nullptr; // valid while started
    };

    explicit SoundCapture(QObject *parent = nullptr);
    ~SoundCapture() override;

    // Opens the sources the settings ask for. False with `error` set (one line: which source
    // and why) when one of them cannot be opened, or none is asked for; nothing is open then.
    bool open(const SoundSettings &settings, QString &error);
    // Stops everything; no signal follows. Also done by the destructor.
    void close();
    [[nodiscard]] bool isOpen() const { return m_open; }

    // For the console: "Sound: system (speakers.monitor) + microphone (mic), Opus 48 kHz stereo,
    // one track".
    [[nodiscard]] QString description() const;
    // Peak levels (0..1) for a meter; 0 for a source not asked for. Any thread.
    [[nodiscard]] float systemLevel() const { return m_system.level(); }
    [[nodiscard]] float micLevel() const { return m_mic.level(); }
    [[nodiscard]] SoundSource::State systemState() const { return m_system.state(); }
    [[nodiscard]] SoundSource::State micState() const { return m_mic.state(); }

    // Starts the tracks at `startMs` with fresh coders (again for each recording): sound
    // before it is dropped. False with `error` set when a coder does not open.
    bool start(qint64 startMs, QString &error);
    [[nodiscard]] bool isStarted() const { return !m_tracks.empty(); }
    [[nodiscard]] const std::vector<Stream> &streams() const { return m_streams; }

    // The packets of each stream (indexed as streams()) for sound up to `untilMs`, as far as it
    // came; silence for what is HoldBackMs overdue. Packet times in milliseconds.
    [[nodiscard]] std::vector<std::vector<VideoPacket>> pull(qint64 untilMs);
    // The rest up to `untilMs` (silence for what did not come) and the coders' last packets;
    // the capture stays open but is no longer started.
    [[nodiscard]] std::vector<std::vector<VideoPacket>> finish(qint64 untilMs);

    // Pauses to cut out of the sound (not owned; none when null): every time given to start(),
    // pull() and finish(), and every buffer, is mapped through them, so packet times are the
    // recorded times (the monotonic clock less the pauses before).
    void setPauses(const PauseCuts *pauses) { m_pauses = pauses; }

    // Milliseconds of std::chrono::steady_clock.
    [[nodiscard]] static qint64 nowMs();

Q_SIGNALS:
    // A source was lost (failed) or came back (notice), one line each time; the server's going
    // away is one line for both sources.
    void reported(const StageEvent &event);

private:
    void onSourceState(SoundSource::State state, const QString &line);
    void retryLost();
    std::vector<std::vector<VideoPacket>> encode(qint64 untilMs, qint64 overdueMs, bool last);

    [[nodiscard]] qint64 recordedMs(qint64 ms) const;

    const PauseCuts *m_pauses = nullptr;
    SoundSettings m_settings;
    SoundSource m_system;
    SoundSource m_mic;
    std::vector<SoundSource *> m_sources; // the open ones, in track order
    bool m_open = false;
    bool m_serverGoneReported = false;
    QTimer m_retry;
    QString m_lostMicDevice; // the microphone's device when it was lost: the one to open again
    std::vector<std::unique_ptr<SoundTrack>> m_tracks; // one per source
    std::unique_ptr<SoundMixer> m_mixer;               // when both go into one track
    std::vector<Stream> m_streams;
    std::vector<std::unique_ptr<SoundEncoder>> m_encoders; // one per stream
    std::vector<bool> m_failed;                            // per stream: its coder failed
};
