#include "soundcapture.h"

#include "pausecuts.h"
#include "soundmixer.h"
#include "soundtrack.h"

#include <QStringList>

#include <algorithm>
#include <chrono>

SoundCapture::SoundCapture(QObject *parent)
    : QObject(parent)
{
    for (SoundSource *source : {&m_system, &m_mic})
        connect(source, &SoundSource::stateChanged, this, &SoundCapture::onSourceState);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &SoundCapture::retryLost);
}

SoundCapture::~SoundCapture()
{
    close();
}

qint64 SoundCapture::nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool SoundCapture::open(const SoundSettings &settings, QString &error)
{
    close();
    if (!settings.system && !settings.mic) {
        error = QStringLiteral("no sound source chosen");
        return false;
    }
    if (settings.codecs.empty()) {
        error = QStringLiteral("no sound codec chosen");
        return false;
    }
    m_settings = settings;
    m_lostMicDevice.clear();
    if (settings.system) {
        if (!m_system.open(SoundSource::Kind::System, {}, error))
            return false;
        m_sources.push_back(&m_system);
    }
    if (settings.mic) {
        if (!m_mic.open(SoundSource::Kind::Microphone, settings.micDevice, error)) {
            close();
            return false;
        }
        m_sources.push_back(&m_mic);
    }
    m_open = true;
    m_serverGoneReported = false;
    return true;
}

void SoundCapture::close()
{
    m_retry.stop();
    m_system.close();
    m_mic.close();
    m_sources.clear();
    m_tracks.clear();
    m_mixer.reset();
    m_streams.clear();
    m_encoders.clear();
    m_failed.clear();
    m_open = false;
}

QString SoundCapture::description() const
{
    QStringList sources;
    for (const SoundSource *source : m_sources)
        sources << source->label();
    QStringList codecs;
    for (const SoundCodec codec : m_settings.codecs)
        codecs << soundCodecName(codec);
    const bool twoTracks = m_settings.separateTracks && m_sources.size() == 2;
    return QStringLiteral("Sound: %1, %2 48 kHz stereo, %3")
        .arg(sources.join(QLatin1String(" + ")), codecs.join(QLatin1String(" and ")),
             twoTracks ? QStringLiteral("two tracks") : QStringLiteral("one track"));
}

qint64 SoundCapture::recordedMs(qint64 ms) const
{
    return m_pauses ? m_pauses->mapMs(ms) : ms;
}

bool SoundCapture::start(qint64 startMs, QString &error)
{
    startMs = recordedMs(startMs);
    if (!m_open) {
        error = QStringLiteral("sound is not open");
        return false;
    }
    m_tracks.clear();
    m_streams.clear();
    m_encoders.clear();
    m_failed.clear();
    m_mixer.reset();
    for (size_t i = 0; i < m_sources.size(); ++i)
        m_tracks.push_back(std::make_unique<SoundTrack>(startMs));
    const bool separate = m_settings.separateTracks || m_sources.size() == 1;
    if (!separate)
        m_mixer = std::make_unique<SoundMixer>();
    for (const SoundCodec codec : m_settings.codecs) {
        for (size_t track = 0; track < (separate ? m_sources.size() : 1); ++track) {
            auto encoder = std::make_unique<SoundEncoder>(codec);
            std::string why;
            if (!encoder->open(startMs, why)) {
                error = QStringLiteral("sound: %1").arg(QString::fromStdString(why));
                m_tracks.clear();
                m_streams.clear();
                m_encoders.clear();
                m_mixer.reset();
                return false;
            }
            Stream stream;
            stream.track = int(track);
            stream.title = separate ? (m_sources[track] == &m_system ? QStringLiteral("system") : QStringLiteral("microphone"))
                                    : QStringLiteral("system + microphone");
            stream.codec = codec;
            stream.parameters = encoder->parameters();
            m_streams.push_back(stream);
            m_encoders.push_back(std::move(encoder));
            m_failed.push_back(false);
        }
    }
    return true;
}

std::vector<std::vector<VideoPacket>> SoundCapture::pull(qint64 untilMs)
{
    return encode(recordedMs(untilMs), recordedMs(nowMs() - HoldBackMs), false);
}

std::vector<std::vector<VideoPacket>> SoundCapture::finish(qint64 untilMs)
{
    untilMs = recordedMs(untilMs);
    auto packets = encode(untilMs, untilMs, true);
    m_tracks.clear();
    m_mixer.reset();
    return packets;
}

std::vector<std::vector<VideoPacket>> SoundCapture::encode(qint64 untilMs, qint64 overdueMs, bool last)
{
    std::vector<std::vector<VideoPacket>> packets(m_streams.size());
    if (m_tracks.empty())
        return packets;
    std::vector<std::vector<float>> pcm(m_tracks.size());
    for (size_t i = 0; i < m_tracks.size(); ++i) {
        for (const SoundBuffer &buffer : m_sources[i]->take()) {
            if (!m_pauses) {
                m_tracks[i]->push(buffer);
                continue;
            }
            for (const SoundBuffer &piece : m_pauses->apply(buffer))
                m_tracks[i]->push(piece);
        }
        m_tracks[i]->produce(untilMs, overdueMs, pcm[i]);
    }
    if (m_mixer) {
        for (size_t i = 0; i < pcm.size(); ++i)
            m_mixer->add(int(i), pcm[i].data(), qsizetype(pcm[i].size()) / SoundTrack::Channels);
        pcm.assign(1, {});
        m_mixer->mix(pcm[0]);
    }
    for (size_t i = 0; i < m_streams.size(); ++i) {
        if (m_failed[i])
            continue;
        const std::vector<float> &samples = pcm[size_t(m_streams[i].track)];
        std::string error;
        bool ok = m_encoders[i]->encode(samples.data(), qsizetype(samples.size()) / SoundTrack::Channels, packets[i], error);
        if (ok && last)
            ok = m_encoders[i]->finish(packets[i], error);
        if (!ok) {
            m_failed[i] = true;
            Q_EMIT reported(StageEvent::failed(QStringLiteral("Sound: coding the %1 track failed: %2; it ends here")
                                                   .arg(m_streams[i].title, QString::fromStdString(error))));
        }
    }
    return packets;
}

void SoundCapture::onSourceState(SoundSource::State state, const QString &line)
{
    if (state != SoundSource::State::Open && !m_retry.isActive()) {
        if (sender() == &m_mic && m_lostMicDevice.isEmpty())
            m_lostMicDevice = m_mic.deviceName();
        m_retry.start(RetryFirstMs);
    }
    if (state == SoundSource::State::ServerGone) {
        // Both sources lose the same server at once: one line for both.
        if (m_serverGoneReported)
            return;
        m_serverGoneReported = true;
        QStringList sources;
        for (const SoundSource *source : m_sources)
            sources << source->label();
        Q_EMIT reported(StageEvent::failed(QStringLiteral("Sound: the sound server went away; %1 recording silence")
                                               .arg(sources.join(QLatin1String(" + ")))));
        return;
    }
    Q_EMIT reported(state == SoundSource::State::Open ? StageEvent::notice(line) : StageEvent::failed(line));
}

void SoundCapture::retryLost()
{
    bool stillLost = false;
    for (SoundSource *source : m_sources) {
        if (source->state() == SoundSource::State::Open)
            continue;
        const bool mic = source == &m_mic;
        if (mic && m_lostMicDevice.isEmpty())
            m_lostMicDevice = m_mic.deviceName();
        // The microphone stays the device it was: the default input may be another by now.
        const QString device = mic ? (m_lostMicDevice.isEmpty() ? m_settings.micDevice : m_lostMicDevice) : QString();
        source->close();
        QString error;
        if (!source->open(mic ? SoundSource::Kind::Microphone : SoundSource::Kind::System, device, error,
                          RetryTimeoutMs)) {
            stillLost = true;
            continue;
        }
        if (mic)
            m_lostMicDevice.clear();
        Q_EMIT reported(StageEvent::notice(QStringLiteral("Sound: %1 is back").arg(source->label())));
    }
    if (!stillLost) {
        m_serverGoneReported = false;
        return;
    }
    const int waited = m_retry.interval();
    m_retry.start(std::min(RetryMaxMs, 2 * waited));
}
