// Sound captured from a real sound server: a private PipeWire session (scripts/sound-session.sh)
// whose null sinks `speakers` (the default output) and `mic` (its monitor the default input)
// get known tones played into them with paplay; what comes out of SoundCapture is decoded and
// compared with what was played: its frequencies, its level, its time on the monotonic clock.
#include "soundcapture.h"
#include "soundcheck.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <functional>

Q_DECLARE_METATYPE(SoundCodec)
Q_DECLARE_METATYPE(SoundSettings)

namespace {

constexpr int toneMs = 600;
constexpr double toneAmplitudeSent = 0.4;

bool inSession()
{
    return qgetenv("DESKCAST_SOUND_SESSION") == "1";
}

// The sound tools run without the sanitizer runtime the test may have been given.
void startTool(QProcess &process, const QString &program, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
}

QString pactl(const QStringList &arguments)
{
    QProcess process;
    startTool(process, QStringLiteral("pactl"), arguments);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

SoundSettings settingsFor(bool system, bool mic, const QString &micDevice, bool separate, SoundCodec codec)
{
    SoundSettings settings;
    settings.system = system;
    settings.mic = mic;
    settings.micDevice = micDevice;
    settings.separateTracks = separate;
    settings.codecs = {codec};
    return settings;
}

// Pulls a started capture every 20 ms, as a recorder's clock would, and keeps what came.
class Recorder : public QObject
{
public:
    explicit Recorder(SoundCapture &capture)
        : m_capture(capture)
        , m_packets(capture.streams().size())
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { append(m_capture.pull(SoundCapture::nowMs())); });
        m_timer.start(20);
    }
    // The packets of each stream, the capture finished at `untilMs`.
    std::vector<std::vector<VideoPacket>> finish(qint64 untilMs)
    {
        m_timer.stop();
        append(m_capture.finish(untilMs));
        return m_packets;
    }
    // Where the sound of stream 0 reaches so far.
    [[nodiscard]] qint64 coveredMs() const
    {
        return m_packets[0].empty() ? 0 : m_packets[0].back()->pts + m_packets[0].back()->duration;
    }

private:
    void append(std::vector<std::vector<VideoPacket>> packets)
    {
        for (size_t i = 0; i < packets.size() && i < m_packets.size(); ++i)
            m_packets[i].insert(m_packets[i].end(), packets[i].begin(), packets[i].end());
    }
    SoundCapture &m_capture;
    std::vector<std::vector<VideoPacket>> m_packets;
    QTimer m_timer;
};

// True when the packets follow each other without gaps from `startMs` on.
bool contiguousFrom(const std::vector<VideoPacket> &packets, qint64 startMs, qint64 slackMs)
{
    if (packets.empty() || packets.front()->pts > startMs || packets.front()->pts < startMs - slackMs)
        return false;
    for (size_t i = 1; i < packets.size(); ++i) {
        if (packets[i]->pts != packets[i - 1]->pts + packets[i - 1]->duration)
            return false;
    }
    return true;
}

} // namespace

class TestSoundCapture : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void describesWhatItRecords_data();
    void describesWhatItRecords();
    void openFailsWithAReason_data();
    void openFailsWithAReason();
    void toneComesBackAtItsTime_data();
    void toneComesBackAtItsTime();
    void silenceRunsOnTheClock_data();
    void silenceRunsOnTheClock();
    void lossGivesOneLineAndSilence_data();
    void lossGivesOneLineAndSilence();

private:
    QTemporaryDir m_tones;
};

void TestSoundCapture::initTestCase()
{
    QVERIFY(m_tones.isValid());
    if (!inSession())
        return;
    for (const int hz : {440, 1000}) {
        QProcess sox;
        startTool(sox, QStringLiteral("sox"),
                  {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"), QStringLiteral("-c"), QStringLiteral("2"),
                   m_tones.filePath(QStringLiteral("%1.wav").arg(hz)), QStringLiteral("synth"), QString::number(toneMs / 1000.0),
                   QStringLiteral("sine"), QString::number(hz), QStringLiteral("vol"), QString::number(toneAmplitudeSent)});
        QVERIFY(sox.waitForFinished(10000));
        QCOMPARE(sox.exitCode(), 0);
    }
}

void TestSoundCapture::describesWhatItRecords_data()
{
    QTest::addColumn<SoundSettings>("settings");
    QTest::addColumn<QString>("description");
    QTest::newRow("system sound") << settingsFor(true, false, {}, false, SoundCodec::Opus)
                                  << "Sound: system (speakers.monitor), Opus 48 kHz stereo, one track";
    QTest::newRow("default microphone") << settingsFor(false, true, {}, false, SoundCodec::Opus)
                                        << "Sound: microphone (mic), Opus 48 kHz stereo, one track";
    QTest::newRow("both, mixed") << settingsFor(true, true, {}, false, SoundCodec::Opus)
                                 << "Sound: system (speakers.monitor) + microphone (mic), Opus 48 kHz stereo, one track";
    QTest::newRow("both, separate, named as a monitor")
        << settingsFor(true, true, QStringLiteral("mic.monitor"), true, SoundCodec::Aac)
        << "Sound: system (speakers.monitor) + microphone (mic), AAC 48 kHz stereo, two tracks";
    SoundSettings twoCodecs = settingsFor(true, false, {}, true, SoundCodec::Opus);
    twoCodecs.codecs.push_back(SoundCodec::Aac);
    QTest::newRow("separate with one source, two codecs")
        << twoCodecs << "Sound: system (speakers.monitor), Opus and AAC 48 kHz stereo, one track";
}

void TestSoundCapture::describesWhatItRecords()
{
    if (!inSession())
        QSKIP("needs the sound session (scripts/sound-session.sh)");
    QFETCH(SoundSettings, settings);
    QFETCH(QString, description);
    SoundCapture capture;
    QString error;
    QVERIFY2(capture.open(settings, error), qPrintable(error));
    QCOMPARE(capture.description(), description);
    QVERIFY2(capture.start(SoundCapture::nowMs(), error), qPrintable(error));
    const bool twoTracks = description.endsWith(QLatin1String("two tracks"));
    QCOMPARE(capture.streams().size(), settings.codecs.size() * (twoTracks ? 2 : 1));
    for (const SoundCapture::Stream &stream : capture.streams())
        QVERIFY(stream.parameters);
}

void TestSoundCapture::openFailsWithAReason_data()
{
    QTest::addColumn<QString>("server"); // "session", "none" (no server at all), "silent" (never answers)
    QTest::addColumn<SoundSettings>("settings");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no such microphone") << "session" << settingsFor(true, true, QStringLiteral("nosuch"), false, SoundCodec::Opus)
                                        << "microphone (nosuch): no such device";
    QTest::newRow("no server at all") << "none" << settingsFor(true, false, {}, false, SoundCodec::Opus)
                                      << "system sound: no sound server: PipeWire is not running here";
    QTest::newRow("a server that does not answer") << "silent" << settingsFor(false, true, {}, false, SoundCodec::Opus)
                                                   << "microphone: the sound server did not answer within 2000 ms";
}

void TestSoundCapture::openFailsWithAReason()
{
    QFETCH(QString, server);
    QFETCH(SoundSettings, settings);
    QFETCH(QString, reason);
    if (server == QLatin1String("session") && !inSession())
        QSKIP("needs the sound session (scripts/sound-session.sh)");
    // Elsewhere: a runtime folder of our own, empty or with a socket that takes connections and
    // never answers.
    QTemporaryDir runtime;
    QLocalServer silent;
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray savedRemote = qgetenv("PIPEWIRE_REMOTE");
    const auto restore = qScopeGuard([&] {
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
        if (!savedRemote.isEmpty())
            qputenv("PIPEWIRE_REMOTE", savedRemote);
    });
    if (server != QLatin1String("session")) {
        QVERIFY(runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        qunsetenv("PIPEWIRE_REMOTE");
        qunsetenv("PIPEWIRE_RUNTIME_DIR");
        if (server == QLatin1String("silent"))
            QVERIFY(silent.listen(runtime.filePath(QStringLiteral("pipewire-0"))));
    }
    SoundCapture capture;
    QString error;
    QVERIFY(!capture.open(settings, error));
    QVERIFY2(error.startsWith(reason), qPrintable(error));
    QVERIFY(!capture.isOpen());
    QCOMPARE(capture.systemState(), SoundSource::State::Closed);
    QCOMPARE(capture.micState(), SoundSource::State::Closed);
}

void TestSoundCapture::toneComesBackAtItsTime_data()
{
    // Tones played at once ("sink:hz"), and the frequencies each track must hold (the others
    // played must be absent from it); the peak each meter must show.
    QTest::addColumn<SoundSettings>("settings");
    QTest::addColumn<QString>("defaultSink"); // made the default output before playing
    QTest::addColumn<QStringList>("tones");
    QTest::addColumn<QStringList>("tracks");
    QTest::addColumn<double>("systemLevel");
    QTest::addColumn<double>("micLevel");
    const QStringList both{QStringLiteral("speakers:440"), QStringLiteral("mic:1000")};
    QTest::newRow("system sound, not the microphone") << settingsFor(true, false, {}, false, SoundCodec::Opus) << QString()
                                                      << both << QStringList{"440"} << 0.4 << 0.0;
    QTest::newRow("system sound as PCM") << settingsFor(true, false, {}, false, SoundCodec::Pcm) << QString()
                                         << QStringList{"speakers:440"} << QStringList{"440"} << 0.4 << 0.0;
    QTest::newRow("default microphone, not the speakers") << settingsFor(false, true, {}, false, SoundCodec::Opus) << QString()
                                                          << both << QStringList{"1000"} << 0.0 << 0.4;
    QTest::newRow("named microphone") << settingsFor(false, true, QStringLiteral("mic"), false, SoundCodec::Opus) << QString()
                                      << both << QStringList{"1000"} << 0.0 << 0.4;
    QTest::newRow("both, mixed") << settingsFor(true, true, {}, false, SoundCodec::Opus) << QString() << both
                                 << QStringList{"440,1000"} << 0.4 << 0.4;
    QTest::newRow("both, separate tracks in AAC") << settingsFor(true, true, {}, true, SoundCodec::Aac) << QString() << both
                                                  << QStringList{"440", "1000"} << 0.4 << 0.4;
    QTest::newRow("system sound follows a new default output")
        << settingsFor(true, false, {}, false, SoundCodec::Opus) << QStringLiteral("mic") << both << QStringList{"1000"} << 0.4
        << 0.0;
}

void TestSoundCapture::toneComesBackAtItsTime()
{
    if (!inSession())
        QSKIP("needs the sound session (scripts/sound-session.sh)");
    QFETCH(SoundSettings, settings);
    QFETCH(QString, defaultSink);
    QFETCH(QStringList, tones);
    QFETCH(QStringList, tracks);
    QFETCH(double, systemLevel);
    QFETCH(double, micLevel);

    SoundCapture capture;
    QString error;
    QVERIFY2(capture.open(settings, error), qPrintable(error));
    const auto restoreDefault = qScopeGuard([&] {
        if (!defaultSink.isEmpty())
            pactl({QStringLiteral("set-default-sink"), QStringLiteral("speakers")});
    });
    if (!defaultSink.isEmpty()) {
        pactl({QStringLiteral("set-default-sink"), defaultSink});
        QTRY_VERIFY(capture.description().contains(defaultSink + QLatin1String(".monitor")));
    }
    const qint64 startMs = SoundCapture::nowMs();
    QVERIFY2(capture.start(startMs, error), qPrintable(error));
    Recorder recorder(capture);

    std::vector<std::unique_ptr<QProcess>> players;
    const qint64 launchMs = SoundCapture::nowMs();
    for (const QString &tone : tones) {
        const QStringList parts = tone.split(QLatin1Char(':'));
        auto player = std::make_unique<QProcess>();
        startTool(*player, QStringLiteral("paplay"),
                  {QStringLiteral("--device=") + parts[0], m_tones.filePath(parts[1] + QLatin1String(".wav"))});
        players.push_back(std::move(player));
    }
    // The meters while it plays.
    double systemPeak = 0;
    double micPeak = 0;
    const auto finished = [&] {
        systemPeak = std::max(systemPeak, double(capture.systemLevel()));
        micPeak = std::max(micPeak, double(capture.micLevel()));
        return std::all_of(players.begin(), players.end(), [](const auto &p) { return p->state() == QProcess::NotRunning; });
    };
    QTRY_VERIFY_WITH_TIMEOUT(finished(), 10000);
    const qint64 exitMs = SoundCapture::nowMs();
    for (const auto &player : players)
        QCOMPARE(player->exitCode(), 0);
    QVERIFY2(std::abs(systemPeak - systemLevel) < 0.03, qPrintable(QStringLiteral("system meter %1").arg(systemPeak)));
    QVERIFY2(std::abs(micPeak - micLevel) < 0.03, qPrintable(QStringLiteral("microphone meter %1").arg(micPeak)));

    const qint64 endMs = exitMs + 200;
    QTRY_VERIFY_WITH_TIMEOUT(recorder.coveredMs() >= endMs, 5000);
    const std::vector<std::vector<VideoPacket>> packets = recorder.finish(endMs);
    QCOMPARE(int(packets.size()), int(tracks.size()));
    QStringList played;
    for (const QString &tone : tones)
        played << tone.section(QLatin1Char(':'), 1);
    for (int track = 0; track < tracks.size(); ++track) {
        QVERIFY(contiguousFrom(packets[size_t(track)], startMs, 25));
        const DecodedSound sound = decodeSound(capture.streams()[size_t(track)].parameters, packets[size_t(track)]);
        QVERIFY2(sound.error.isEmpty(), qPrintable(sound.error));
        const auto [first, last] = loudSpan(sound.samples, 0.2f);
        QVERIFY2(first >= 0, "nothing loud came");
        // On the monotonic clock: after paplay started, before it ended, as long as the tone.
        const double fromMs = sound.timeMs(first);
        const double toMs = sound.timeMs(last);
        const QStringList expected = tracks[track].split(QLatin1Char(','));
        // Tones mixed into one track need not have started together.
        const bool lengthRight = expected.size() == 1 ? std::abs(toMs - fromMs - toneMs) < 30 : toMs - fromMs > toneMs - 30;
        QVERIFY2(fromMs >= double(launchMs) - 10 && toMs <= double(exitMs) + 40 && lengthRight,
                 qPrintable(QStringLiteral("the tone came %1 to %2 ms after paplay started, which ended at %3 ms")
                                .arg(fromMs - double(launchMs)).arg(toMs - double(launchMs)).arg(exitMs - launchMs)));
        for (const QString &hz : played) {
            // The loudest 100 ms of it: mixed tones may overlap only in part.
            double amplitude = 0;
            for (qsizetype at = first; at + 4800 <= last; at += 960)
                amplitude = std::max(amplitude, toneAmplitude(sound.samples, at, at + 4800, hz.toDouble()));
            const double wanted = expected.contains(hz) ? toneAmplitudeSent : 0.0;
            QVERIFY2(std::abs(amplitude - wanted) < 0.04,
                     qPrintable(QStringLiteral("track %1 holds %2 Hz at %3").arg(track).arg(hz).arg(amplitude)));
        }
    }
}

void TestSoundCapture::silenceRunsOnTheClock_data()
{
    QTest::addColumn<SoundSettings>("settings");
    QTest::newRow("suspended output") << settingsFor(true, false, {}, false, SoundCodec::Pcm);
    QTest::newRow("suspended output and microphone, mixed") << settingsFor(true, true, {}, false, SoundCodec::Pcm);
    QTest::newRow("suspended output and microphone, separate") << settingsFor(true, true, {}, true, SoundCodec::Pcm);
}

void TestSoundCapture::silenceRunsOnTheClock()
{
    if (!inSession())
        QSKIP("needs the sound session (scripts/sound-session.sh)");
    QFETCH(SoundSettings, settings);
    // Nothing plays: the sinks are suspended and deliver no buffers at all.
    SoundCapture capture;
    QString error;
    QVERIFY2(capture.open(settings, error), qPrintable(error));
    const qint64 startMs = SoundCapture::nowMs();
    QVERIFY2(capture.start(startMs, error), qPrintable(error));
    Recorder recorder(capture);
    // While it runs, the sound is never further behind the clock than the hold-back (and a
    // packet); at the end it reaches the end, as much sound as wall time.
    QTRY_VERIFY_WITH_TIMEOUT(recorder.coveredMs() >= startMs + 1500, 5000);
    const qint64 endMs = SoundCapture::nowMs();
    QVERIFY2(recorder.coveredMs() >= endMs - SoundCapture::HoldBackMs - 50,
             qPrintable(QStringLiteral("%1 ms of sound after %2 ms").arg(recorder.coveredMs() - startMs).arg(endMs - startMs)));
    const auto packets = recorder.finish(endMs);
    for (size_t i = 0; i < packets.size(); ++i) {
        QVERIFY(contiguousFrom(packets[i], startMs, 0));
        const DecodedSound sound = decodeSound(capture.streams()[i].parameters, packets[i]);
        QVERIFY2(std::abs(sound.timeMs(sound.frames()) - double(endMs)) <= 50,
                 qPrintable(QStringLiteral("%1 ms of sound for %2 ms").arg(sound.frames() / 48).arg(endMs - startMs)));
        QCOMPARE(peakIn(sound.samples, 0, sound.frames()), 0.0f);
    }
}

void TestSoundCapture::lossGivesOneLineAndSilence_data()
{
    // Each row ends its session's device or server: run one per session.
    QTest::addColumn<SoundSettings>("settings");
    QTest::addColumn<QString>("loss"); // "mic": the mic's sink unloaded; "server": PipeWire killed
    QTest::addColumn<SoundSource::State>("systemState");
    QTest::addColumn<SoundSource::State>("micState");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("backLine"); // the device is added again: what is said; empty: it is not
    QTest::newRow("named microphone removed, and back")
        << settingsFor(true, true, QStringLiteral("mic"), false, SoundCodec::Pcm) << "mic" << SoundSource::State::Open
        << SoundSource::State::DeviceMissing << "Sound: microphone (mic) is gone: the device was removed; recording silence"
        << "Sound: microphone (mic) is back";
    QTest::newRow("default microphone removed, and back")
        << settingsFor(false, true, {}, false, SoundCodec::Pcm) << "mic" << SoundSource::State::Closed
        << SoundSource::State::DeviceMissing << "Sound: microphone (mic) is gone: the device was removed; recording silence"
        << "Sound: microphone (mic) is back";
    QTest::newRow("server killed") << settingsFor(true, true, {}, true, SoundCodec::Pcm) << "server"
                                   << SoundSource::State::ServerGone << SoundSource::State::ServerGone
                                   << "Sound: the sound server went away; system (speakers.monitor) + microphone (mic) recording silence"
                                   << QString();
}

void TestSoundCapture::lossGivesOneLineAndSilence()
{
    if (!inSession())
        QSKIP("needs the sound session (scripts/sound-session.sh)");
    QFETCH(SoundSettings, settings);
    QFETCH(QString, loss);
    QFETCH(SoundSource::State, systemState);
    QFETCH(SoundSource::State, micState);
    QFETCH(QString, line);
    QFETCH(QString, backLine);
    SoundCapture capture;
    QSignalSpy reported(&capture, &SoundCapture::reported);
    QString error;
    QVERIFY2(capture.open(settings, error), qPrintable(error));
    const qint64 startMs = SoundCapture::nowMs();
    QVERIFY2(capture.start(startMs, error), qPrintable(error));
    Recorder recorder(capture);
    QTRY_VERIFY(recorder.coveredMs() >= startMs + 200);

    const qint64 lossMs = SoundCapture::nowMs();
    if (loss == QLatin1String("mic")) {
        pactl({QStringLiteral("unload-module"), qEnvironmentVariable("DESKCAST_MIC_MODULE")});
    } else {
        const int server = qEnvironmentVariableIntValue("DESKCAST_PIPEWIRE_PID");
        QVERIFY(server > 0); // never 0: that is this test's own process group
        QVERIFY(::kill(pid_t(server), SIGKILL) == 0);
    }
    QTRY_COMPARE(reported.count(), 1);
    const auto event = reported.at(0).at(0).value<StageEvent>();
    QCOMPARE(event.kind, StageEvent::Kind::Failed);
    QCOMPARE(event.text, line);
    // Each source notices on its own: the second may come a moment after the line.
    QTRY_COMPARE(capture.systemState(), systemState);
    QTRY_COMPARE(capture.micState(), micState);

    // The tracks run on, silent, and nothing more is said.
    QTRY_VERIFY_WITH_TIMEOUT(recorder.coveredMs() >= lossMs + 1000, 5000);
    QCOMPARE(reported.count(), 1);
    qint64 backMs = lossMs + 1000;
    qint64 endMs = backMs;
    if (!backLine.isEmpty()) {
        // The device is plugged in again: the microphone is taken up again, and a tone played
        // into it is recorded after the silence.
        pactl({QStringLiteral("load-module"), QStringLiteral("module-null-sink"), QStringLiteral("sink_name=mic")});
        QTRY_COMPARE_WITH_TIMEOUT(reported.count(), 2, 3 * SoundCapture::RetryMaxMs);
        const auto back = reported.at(1).at(0).value<StageEvent>();
        QCOMPARE(back.kind, StageEvent::Kind::Notice);
        QCOMPARE(back.text, backLine);
        QCOMPARE(capture.micState(), SoundSource::State::Open);
        backMs = SoundCapture::nowMs();
        QProcess player;
        startTool(player, QStringLiteral("paplay"), {QStringLiteral("--device=mic"), m_tones.filePath(QStringLiteral("440.wav"))});
        QTRY_VERIFY_WITH_TIMEOUT(player.state() == QProcess::NotRunning, 10000);
        QCOMPARE(player.exitCode(), 0);
        endMs = SoundCapture::nowMs() + 200;
        QTRY_VERIFY_WITH_TIMEOUT(recorder.coveredMs() >= endMs, 5000);
    }
    const auto packets = recorder.finish(endMs);
    QCOMPARE(reported.count(), backLine.isEmpty() ? 1 : 2);
    for (size_t i = 0; i < packets.size(); ++i) {
        QVERIFY(contiguousFrom(packets[i], startMs, 0));
        const DecodedSound sound = decodeSound(capture.streams()[i].parameters, packets[i]);
        QVERIFY(sound.timeMs(sound.frames()) >= double(endMs));
        const qsizetype back = qsizetype((backMs - sound.startMs) * 48);
        QCOMPARE(peakIn(sound.samples, 0, std::min(back, sound.frames())), 0.0f);
        if (!backLine.isEmpty()) {
            const auto [first, last] = loudSpan(sound.samples, 0.2f);
            QVERIFY2(first >= back && sound.timeMs(last) - sound.timeMs(first) > toneMs - 30, "the tone after the return");
        }
    }
}

QTEST_GUILESS_MAIN(TestSoundCapture)
#include "tst_soundcapture.moc"
