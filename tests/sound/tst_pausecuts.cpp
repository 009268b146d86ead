// Pauses cut out of sound: buffers of a ramp whose value is its own time go through the cuts
// into a track; the track must hold the ramp with each pause taken out at its exact instant,
// and nothing else.
#include "pausecuts.h"
#include "soundtrack.h"

#include <QTest>

#include <cmath>
#include <utility>
#include <vector>

namespace {

constexpr qint64 StartMs = 100000;
constexpr qint64 EndMs = StartMs + 3000;
constexpr int BufferFrames = 960; // 20 ms, as the sound server sends them
// The ramp: a sample's value is its time since the start in seconds, over 10 (0 .. 0.3).
float rampAt(double seconds) { return float(seconds / 10.0); }

} // namespace

using Pauses = std::vector<std::pair<qint64, qint64>>; // [from, to) in ms since the start

class tst_PauseCuts : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void soundLosesExactlyThePauses_data();
    void soundLosesExactlyThePauses();
};

void tst_PauseCuts::soundLosesExactlyThePauses_data()
{
    QTest::addColumn<Pauses>("pauses");
    QTest::newRow("no pause: the ramp unchanged") << Pauses{};
    QTest::newRow("a pause inside buffers, not on their edges") << Pauses{{1007, 1533}};
    QTest::newRow("two pauses") << Pauses{{500, 900}, {1810, 2405}};
    QTest::newRow("a pause shorter than a buffer") << Pauses{{1203, 1211}};
    // Sound is pulled while paused: nothing from the open pause's start on.
    QTest::newRow("a pause still open") << Pauses{{500, 900}, {2011, -1}};
}

void tst_PauseCuts::soundLosesExactlyThePauses()
{
    QFETCH(Pauses, pauses);
    PauseCuts cuts;
    qint64 pausedMs = 0;
    for (const auto &[from, to] : pauses) {
        cuts.begin(StartMs + from);
        const qint64 until = to < 0 ? EndMs - StartMs : to;
        QCOMPARE(cuts.mapMs(StartMs + until), StartMs + from - pausedMs); // inside: the pause's start
        if (to >= 0)
            QCOMPARE(cuts.end(StartMs + to), to - from);
        pausedMs += until - from;
    }
    QCOMPARE(cuts.totalMs() + (cuts.isPaused() ? EndMs - StartMs - pauses.back().first : 0), pausedMs);
    QCOMPARE(cuts.mapMs(EndMs), EndMs - pausedMs);

    // Every buffer arrives after the pauses are known (sound comes late): cut by its times alone.
    SoundTrack track(cuts.mapMs(StartMs));
    for (qint64 first = 0; first < (EndMs - StartMs) * 48; first += BufferFrames) {
        SoundBuffer buffer;
        buffer.timeNs = StartMs * 1000000 + first * 1000000000 / 48000;
        for (qint64 k = first; k < first + BufferFrames; ++k)
            buffer.samples.insert(buffer.samples.end(), 2, rampAt(double(k) / 48000.0));
        for (const SoundBuffer &piece : cuts.apply(buffer))
            track.push(piece);
    }
    std::vector<float> out;
    track.produce(cuts.mapMs(EndMs), cuts.mapMs(EndMs), out);
    const qint64 frames = qint64(out.size()) / 2;
    QCOMPARE(frames, (EndMs - StartMs - pausedMs) * 48);

    // Sampled away from the joins (the converter's filter smooths a join over a few frames): the
    // value at recorded time r is the ramp at r plus the pauses before it.
    for (qint64 recordedMs = 10; recordedMs < EndMs - StartMs - pausedMs - 10; recordedMs += 7) {
        qint64 originalMs = recordedMs;
        bool nearJoin = false;
        for (const auto &[from, to] : pauses) {
            if (originalMs >= from)
                originalMs += (to < 0 ? EndMs - StartMs : to) - from;
            nearJoin = nearJoin || std::abs(originalMs - from) < 3 || std::abs(originalMs - to) < 3;
        }
        if (nearJoin)
            continue;
        const float value = out[size_t(recordedMs * 48) * 2];
        QVERIFY2(std::abs(value - rampAt(double(originalMs) / 1000.0)) < 2e-4f,
                 qPrintable(QStringLiteral("at %1 ms recorded: %2, the ramp of %3 ms").arg(recordedMs).arg(value).arg(originalMs)));
    }
}

QTEST_GUILESS_MAIN(tst_PauseCuts)
#include "tst_pausecuts.moc"
