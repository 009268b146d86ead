#pragma once

#include "soundtrack.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// One sound source captured through PipeWire on a thread loop of its own: the system sound
// (the monitor of the default output, following it when the user switches outputs) or a
// microphone (the default input, or a device given by its node name, e.g. "mic"; either way
// the device found at open(), which the capture stays with until it goes away). Sound comes
// as 32-bit float stereo at 48 kHz where the server can give it (other rates and channel
// counts are taken as they come); each buffer carries the monotonic time of its first frame,
// from the server's timing of the graph cycle it was captured in.
//
// open() and close() belong to the thread the source lives on; state(), level() and take()
// may be called from any thread. Signals come on the source's thread.
class SoundSource : public QObject
{
    Q_OBJECT
public:
    enum class Kind { System, Microphone };
    enum class State {
        Closed,        // not open, or open() failed
        Open,          // capturing (a suspended device that delivers nothing is open too)
        DeviceMissing, // the device went away: nothing comes until it is back
        ServerGone,    // the sound server went away: nothing comes any more
    };
    Q_ENUM(State)

    // open() waits for the server this long at most.
    static constexpr int ConnectTimeoutMs = 2000;
    // Sound nobody takes is kept this long, the oldest dropped beyond.
    static constexpr int MaxQueuedMs = 5000;

    explicit SoundSource(QObject *parent = nullptr);
    ~SoundSource() override;

    // Connects to the sound server and starts capturing `kind`; for a microphone `device` is a
    // node name, empty for the default input. False with `error` set to one line saying which
    // source failed and why (no server, no such device, the server did not answer in time).
    bool open(Kind kind, const QString &device, QString &error, int timeoutMs = ConnectTimeoutMs);
    // Disconnects; no signal follows. Also done by the destructor.
    void close();

    [[nodiscard]] Kind kind() const { return m_kind; }
    [[nodiscard]] State state() const { return m_state.load(); }
    // The device as the server names it: "speakers.monitor" for the system sound of the output
    // "speakers", the node name of a microphone. The device it is linked to once linked.
    [[nodiscard]] QString deviceName() const;
    // "system sound (speakers.monitor)", "microphone (mic)".
    [[nodiscard]] QString label() const;
    // The peak of the last buffer (0..1), 0 once nothing came for a while. Any thread.
    [[nodiscard]] float level() const;
    // The buffers received since the last call, oldest first. Any thread.
    [[nodiscard]] std::vector<SoundBuffer> take();

Q_SIGNALS:
    // The state changed after open(): `line` says what happened to which device, for the
    // console ("Sound: microphone (mic) is gone: the device was removed; recording silence").
    void stateChanged(SoundSource::State state, const QString &line);

private:
    struct Private;
    std::unique_ptr<Private> d;
    Kind m_kind = Kind::System;
    std::atomic<State> m_state{State::Closed};
    quint64 m_generation = 0; // tells reports of an earlier open() from this one's
    // Shared with PipeWire's thread.
    mutable std::mutex m_mutex; // guards the two below
    std::deque<SoundBuffer> m_queue;
    QString m_deviceName;
    std::atomic<float> m_level{0.0f};
    std::atomic<qint64> m_levelTimeNs{0};
};
