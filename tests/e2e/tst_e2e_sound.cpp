// capture_server recording a video file with sound, inside a private sound session
// (scripts/sound-session.sh: `speakers` is the default output, `mic.monitor` the default input).
// Known tones played into each source come back in the file's tracks; without a sound server
// the picture is recorded and one line says why.
#include "configwindow.h"
#include "relay.h"
#include "testsupport.h"
#include "glformat.h"
#include "imagerecorder.h"

#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <vector>

namespace {

// The sound tools (sox, paplay, ffmpeg) run without the sanitizer runtime the test may preload.
void startTool(QProcess &tool, const QString &program, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_PRELOAD"));
    tool.setProcessEnvironment(environment);
    tool.start(program, arguments);
}

int runTool(const QString &program, const QStringList &arguments)
{
    QProcess tool;
    startTool(tool, program, arguments);
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1;
}

struct Track
{
    double seconds = 0;
    double peak = 0;      // 0..1
    double frequency = 0; // from the zero crossings of the middle second
    double toneShare = 0; // of the middle second
};

// Audio track `index` of `file` (or a stream's first `seconds`), decoded by ffmpeg to mono 48 kHz.
Track readTrack(const QString &file, int index, int seconds = 0)
{
    QProcess ffmpeg;
    QStringList arguments{QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), file};
    if (seconds > 0)
        arguments << QStringLiteral("-t") << QString::number(seconds);
    startTool(ffmpeg, QStringLiteral("ffmpeg"), arguments + QStringList{QStringLiteral("-map"), QStringLiteral("0:a:%1").arg(index),
                                                                   QStringLiteral("-ac"), QStringLiteral("1"), QStringLiteral("-ar"),
                                                                   QStringLiteral("48000"), QStringLiteral("-f"),
                                                                   QStringLiteral("s16le"), QStringLiteral("-")});
    ffmpeg.waitForFinished(30000);
    const QByteArray bytes = ffmpeg.readAllStandardOutput();
    const auto *samples = reinterpret_cast<const qint16 *>(bytes.constData());
    const qsizetype count = bytes.size() / 2;
    Track track;
    track.seconds = double(count) / 48000.0;
    // The frequency from the spacing of the zero crossings in (at most) the middle second. A
    // player starved on a loaded machine leaves short silences in its device's sound: spacings
    // far from the usual one are left out, as long as the tone fills half of that second.
    const qsizetype half = std::min<qsizetype>(24000, count / 2 - 1);
    std::vector<qsizetype> spacings;
    qsizetype previous = -1;
    for (qsizetype i = 0; i < count; ++i) {
        track.peak = std::max(track.peak, std::abs(samples[i]) / 32768.0);
        if (i > count / 2 - half && i <= count / 2 + half && (samples[i - 1] < 0) != (samples[i] < 0)) {
            if (previous >= 0)
                spacings.push_back(i - previous);
            previous = i;
        }
    }
    if (spacings.empty())
        return track;
    std::vector<qsizetype> sorted = spacings;
    std::nth_element(sorted.begin(), sorted.begin() + qsizetype(sorted.size() / 2), sorted.end());
    const double usual = double(sorted[sorted.size() / 2]);
    double covered = 0;
    int kept = 0;
    for (const qsizetype spacing : spacings) {
        if (spacing > usual * 0.5 && spacing < usual * 1.5) {
            covered += double(spacing);
            ++kept;
        }
    }
    track.toneShare = covered / (2.0 * double(half));
    if (track.toneShare >= 0.5)
        track.frequency = 48000.0 / (2.0 * covered / kept);
    return track;
}

int audioTracks(const QString &file)
{
    QProcess ffprobe;
    startTool(ffprobe, QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                                              QStringLiteral("a"), QStringLiteral("-show_entries"),
                                              QStringLiteral("stream=index"), QStringLiteral("-of"), QStringLiteral("csv"), file});
    ffprobe.waitForFinished(30000);
    return int(ffprobe.readAllStandardOutput().count("stream"));
}

double videoSeconds(const QString &file)
{
    QProcess ffprobe;
    startTool(ffprobe, QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                                              QStringLiteral("v"), QStringLiteral("-show_entries"),
                                              QStringLiteral("packet=pts_time"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), file});
    ffprobe.waitForFinished(30000);
    const QList<QByteArray> times = ffprobe.readAllStandardOutput().trimmed().split('\n');
    return times.last().toDouble() + 1.0 / 30;
}

} // namespace

class tst_E2eSound : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void tonesComeBackInTheFile_data();
    void tonesComeBackInTheFile();
    void withoutASoundServerThePictureIsRecorded();
    void exportCarriesTheRangesSound();
    void relayGetsTheSound();
    void soundOfThePauseIsCut();
};

void tst_E2eSound::tonesComeBackInTheFile_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("played");      // device:frequency, one tone each
    QTest::addColumn<QList<int>>("frequencies");   // per track; 0: a mix, only its level checked
    QTest::newRow("system sound") << QStringList{QStringLiteral("--audio"), QStringLiteral("system")}
                                  << QStringList{QStringLiteral("speakers:1000")} << QList<int>{1000};
    QTest::newRow("microphone") << QStringList{QStringLiteral("--audio"), QStringLiteral("mic")}
                                << QStringList{QStringLiteral("mic:440")} << QList<int>{440};
    QTest::newRow("both, mixed into one track")
        << QStringList{QStringLiteral("--audio"), QStringLiteral("system,mic")}
        << QStringList{QStringLiteral("speakers:1000"), QStringLiteral("mic:440")} << QList<int>{0};
    QTest::newRow("both, a track each")
        << QStringList{QStringLiteral("--audio"), QStringLiteral("system,mic"), QStringLiteral("--audio-tracks"),
                       QStringLiteral("separate")}
        << QStringList{QStringLiteral("speakers:1000"), QStringLiteral("mic:440")} << QList<int>{1000, 440};
}

void tst_E2eSound::tonesComeBackInTheFile()
{
    if (qEnvironmentVariableIsSet("DESKCAST_SOUND_UNAVAILABLE") || !qEnvironmentVariableIsSet("DESKCAST_SOUND_SESSION"))
        QSKIP("needs a private sound session (scripts/sound-session.sh)");
    QFETCH(QStringList, options);
    QFETCH(QStringList, played);
    QFETCH(QList<int>, frequencies);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Tones long enough to cover the whole recording, at half scale.
    std::vector<std::unique_ptr<QProcess>> players;
    for (const QString &tone : played) {
        const QStringList parts = tone.split(QLatin1Char(':'));
        const QString wav = dir.filePath(parts[1] + QLatin1String(".wav"));
        QCOMPARE(runTool(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"),
                                                          QStringLiteral("-c"), QStringLiteral("2"), wav, QStringLiteral("synth"),
                                                          QStringLiteral("30"), QStringLiteral("sine"), parts[1],
                                                          QStringLiteral("vol"), QStringLiteral("0.4")}),
                 0);
        players.push_back(std::make_unique<QProcess>());
        startTool(*players.back(), QStringLiteral("paplay"), {QStringLiteral("--device=") + parts[0], wav});
        QVERIFY(players.back()->waitForStarted());
    }
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"), QStringLiteral("video"),
                             QStringLiteral("--area"), QStringLiteral("0,0,160,120"), QStringLiteral("--fps"), QStringLiteral("30"),
                             QStringLiteral("--start"), QStringLiteral("--frames"), QStringLiteral("90")}
                     + options);
    QVERIFY(server.waitForFinished(60000));
    for (const auto &player : players) {
        player->kill();
        player->waitForFinished();
    }
    const QString output = QString::fromLatin1(server.readAllStandardOutput());
    QCOMPARE(server.exitCode(), 0);
    QVERIFY2(output.contains(QStringLiteral("Sound: ")), qPrintable(output));

    const QString file = dir.filePath(QStringLiteral("capture/capture0.mkv"));
    QCOMPARE(audioTracks(file), int(frequencies.size()));
    const double picture = videoSeconds(file);
    for (int i = 0; i < frequencies.size(); ++i) {
        const Track track = readTrack(file, i);
        // As long as the picture, and the tone at its level (two tones mixed: louder).
        QVERIFY2(std::abs(track.seconds - picture) <= 0.05,
                 qPrintable(QStringLiteral("track %1: %2 s of sound, %3 s of picture").arg(i).arg(track.seconds).arg(picture)));
        QVERIFY2(track.peak > 0.3 && track.peak < (frequencies[i] ? 0.5 : 0.85),
                 qPrintable(QStringLiteral("track %1 peaks at %2").arg(i).arg(track.peak)));
        if (frequencies[i])
            QVERIFY2(std::abs(track.frequency - frequencies[i]) <= frequencies[i] * 0.02,
                     qPrintable(QStringLiteral("track %1 at %2 Hz, the tone in %3 of its middle second")
                                .arg(i)
                                .arg(track.frequency)
                                .arg(track.toneShare)));
    }
}

void tst_E2eSound::withoutASoundServerThePictureIsRecorded()
{
    QTemporaryDir dir;
    QTemporaryDir runtime; // a runtime folder where no sound server listens
    QVERIFY(dir.isValid() && runtime.isValid());
    QProcess server;
    server.setWorkingDirectory(dir.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    environment.remove(QStringLiteral("PULSE_SERVER"));
    environment.remove(QStringLiteral("PIPEWIRE_REMOTE"));
    server.setProcessEnvironment(environment);
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"), QStringLiteral("video"),
                  QStringLiteral("--area"), QStringLiteral("0,0,160,120"), QStringLiteral("--start"), QStringLiteral("--frames"),
                  QStringLiteral("10"), QStringLiteral("--audio"), QStringLiteral("system")});
    QVERIFY(server.waitForFinished(60000));
    const QString output = QString::fromLatin1(server.readAllStandardOutput());
    QCOMPARE(server.exitCode(), 0);
    QCOMPARE(output.count(QStringLiteral("recording without sound")), 1);
    const QString file = dir.filePath(QStringLiteral("capture/capture0.mkv"));
    QCOMPARE(audioTracks(file), 0);
    QVERIFY(videoSeconds(file) > 0.2);
}

void tst_E2eSound::exportCarriesTheRangesSound()
{
    if (qEnvironmentVariableIsSet("DESKCAST_SOUND_UNAVAILABLE") || !qEnvironmentVariableIsSet("DESKCAST_SOUND_SESSION"))
        QSKIP("needs a private sound session (scripts/sound-session.sh)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString before = QDir::currentPath();
    QDir::setCurrent(dir.path()); // the saver writes below ./capture
    const QString wav = dir.filePath(QStringLiteral("tone.wav"));
    QCOMPARE(runTool(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"),
                                                      QStringLiteral("-c"), QStringLiteral("2"), wav, QStringLiteral("synth"),
                                                      QStringLiteral("30"), QStringLiteral("sine"), QStringLiteral("1000"),
                                                      QStringLiteral("vol"), QStringLiteral("0.4")}),
             0);
    QProcess player;
    startTool(player, QStringLiteral("paplay"), {QStringLiteral("--device=speakers"), wav});
    QVERIFY(player.waitForStarted());
    {
        // JPEG files while the sound is kept in the history; then an export of a range.
        CaptureOptions options;
        options.port = 0;
        options.area = QRect(0, 0, 160, 120);
        options.fps = 30;
        options.audioSystem = true;
        ConfigWindow window(nullptr, qApp, options);
        QSignalSpy frames(window.recorder, &ImageRecorder::SIG_frameCaptured);
        window.startStopButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(frames.count() >= 60, 20000);
        window.startStopButton->click();
        window.frameSlider->setValue(20);
        window.markStartButton->click();
        window.frameSlider->setValue(49);
        window.markEndButton->click();
        QVERIFY(window.exportMarkedRange(QStringLiteral("export.mkv")));
    }
    player.kill();
    player.waitForFinished();
    QDir::setCurrent(before);
    const QString file = dir.filePath(QStringLiteral("export.mkv"));
    QCOMPARE(audioTracks(file), 1);
    const Track track = readTrack(file, 0);
    const double picture = videoSeconds(file); // 30 frames at about 30 fps
    QVERIFY2(std::abs(track.seconds - picture) <= 0.05,
             qPrintable(QStringLiteral("%1 s of sound, %2 s of picture").arg(track.seconds).arg(picture)));
    QVERIFY2(track.peak > 0.3 && track.peak < 0.5, qPrintable(QString::number(track.peak)));
    QVERIFY2(std::abs(track.frequency - 1000) <= 20, qPrintable(QString::number(track.frequency)));
}

void tst_E2eSound::relayGetsTheSound()
{
    if (qEnvironmentVariableIsSet("DESKCAST_SOUND_UNAVAILABLE") || !qEnvironmentVariableIsSet("DESKCAST_SOUND_SESSION"))
        QSKIP("needs a private sound session (scripts/sound-session.sh)");
    if (!QFile::exists(QStringLiteral("/usr/lib/nginx/modules/ngx_rtmp_module.so"))
        || QStandardPaths::findExecutable(QStringLiteral("nginx")).isEmpty())
        QSKIP("needs nginx with libnginx-mod-rtmp (scripts/install-deps.sh)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Relay relay(dir.path());
    const quint16 port = freePort();
    QVERIFY(relay.start(port));
    const QString url = QStringLiteral("rtmp://127.0.0.1:%1/live/sound").arg(port);
    const QString wav = dir.filePath(QStringLiteral("tone.wav"));
    QCOMPARE(runTool(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"),
                                                      QStringLiteral("-c"), QStringLiteral("2"), wav, QStringLiteral("synth"),
                                                      QStringLiteral("30"), QStringLiteral("sine"), QStringLiteral("1000"),
                                                      QStringLiteral("vol"), QStringLiteral("0.4")}),
             0);
    QProcess player;
    startTool(player, QStringLiteral("paplay"), {QStringLiteral("--device=speakers"), wav});
    QVERIFY(player.waitForStarted());
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--area"), QStringLiteral("0,0,160,120"),
                  QStringLiteral("--fps"), QStringLiteral("30"), QStringLiteral("--start"), QStringLiteral("--publish"), url,
                  QStringLiteral("--no-file"), QStringLiteral("--audio"), QStringLiteral("system")});
    QVERIFY(server.waitForStarted());
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += server.readAllStandardOutput()).contains("Publishing to "), 20000);
    // A reader of the relay's stream finds the sound's track, with the tone in it.
    const Track track = readTrack(url, 0, 3);
    server.terminate();
    QVERIFY(server.waitForFinished(20000));
    player.kill();
    player.waitForFinished();
    QVERIFY2(track.seconds >= 2.5, qPrintable(QString::number(track.seconds)));
    QVERIFY2(track.peak > 0.3 && track.peak < 0.5, qPrintable(QString::number(track.peak)));
    QVERIFY2(std::abs(track.frequency - 1000) <= 20, qPrintable(QString::number(track.frequency)));
}

// A tone plays only while the recording is paused: the file's sound keeps none of it, and is as
// long as the picture, which leaves the pause out too.
void tst_E2eSound::soundOfThePauseIsCut()
{
    if (qEnvironmentVariableIsSet("DESKCAST_SOUND_UNAVAILABLE") || !qEnvironmentVariableIsSet("DESKCAST_SOUND_SESSION"))
        QSKIP("needs a private sound session (scripts/sound-session.sh)");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString wav = dir.filePath(QStringLiteral("tone.wav"));
    QCOMPARE(runTool(QStringLiteral("sox"), {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("48000"),
                                                      QStringLiteral("-c"), QStringLiteral("2"), wav, QStringLiteral("synth"),
                                                      QStringLiteral("30"), QStringLiteral("sine"), QStringLiteral("1000"),
                                                      QStringLiteral("vol"), QStringLiteral("0.4")}),
             0);
    QProcess server;
    server.setWorkingDirectory(dir.path());
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"), QStringLiteral("video"),
                  QStringLiteral("--area"), QStringLiteral("0,0,160,120"), QStringLiteral("--fps"), QStringLiteral("30"),
                  QStringLiteral("--start"), QStringLiteral("--audio"), QStringLiteral("system")});
    QString output;
    const auto grabs = [&] {
        output += QString::fromLatin1(server.readAllStandardOutput());
        return int(output.count(QStringLiteral("Captures/s")));
    };
    QTRY_VERIFY_WITH_TIMEOUT(grabs() >= 30, 30000);
    QVERIFY2(signalProcess(server, SIGUSR1), qPrintable(output));
    QTRY_VERIFY_WITH_TIMEOUT((grabs(), output.contains(QStringLiteral("\nPaused\n"))), 10000);
    QProcess player;
    startTool(player, QStringLiteral("paplay"), {QStringLiteral("--device=speakers"), wav});
    QVERIFY(player.waitForStarted());
    // The tone plays for a while during the pause, then its stream is gone before the resume.
    const int grabbed = grabs();
    QVERIFY(!QTest::qWaitFor([&] { return player.state() == QProcess::NotRunning; }, 1500));
    player.kill();
    QVERIFY(player.waitForFinished(10000));
    QTRY_VERIFY_WITH_TIMEOUT(runTool(QStringLiteral("sh"), {QStringLiteral("-c"),
                                                            QStringLiteral("test -z \"$(pactl list short sink-inputs)\"")})
                                 == 0,
                             10000);
    QCOMPARE(grabs(), grabbed);
    QVERIFY2(signalProcess(server, SIGUSR1), qPrintable(output));
    QTRY_VERIFY_WITH_TIMEOUT(grabs() >= grabbed + 30, 30000);
    server.terminate();
    QVERIFY(server.waitForFinished(30000));
    QCOMPARE(server.exitCode(), 0);

    const QString file = dir.filePath(QStringLiteral("capture/capture0.mkv"));
    const Track track = readTrack(file, 0);
    const double picture = videoSeconds(file);
    QVERIFY2(std::abs(track.seconds - picture) <= 0.05,
             qPrintable(QStringLiteral("%1 s of sound, %2 s of picture").arg(track.seconds).arg(picture)));
    QVERIFY2(picture < 3.5, qPrintable(QStringLiteral("%1 s of picture for about 2 s recorded").arg(picture)));
    QVERIFY2(track.peak < 0.05, qPrintable(QStringLiteral("the sound peaks at %1: the pause's tone is in it").arg(track.peak)));
}

QTEST_MAIN(tst_E2eSound)
#include "tst_e2e_sound.moc"
