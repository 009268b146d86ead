// A track's sound on the monotonic clock, fed with simulated devices (no sound server): a
// device whose clock runs off stays within a few milliseconds of the monotonic clock, without
// jumps; missing, early, late and overlapping sound keeps every frame at its time.
#include "soundcheck.h"
#include "soundtrack.h"

#include <QTest>

#include <cmath>
#include <random>

namespace {

constexpr qint64 startMs = 1000000; // the monotonic clock is well past zero

// A simulated device: `rate` frames a second by its own clock, which runs `drift` fast against
// the monotonic clock, in buffers of `bufferFrames`, each stamped with its true time give or
// take up to `jitterMs`. There is a click (one frame at 0.9) in the middle of every
// `clickEveryMs` of stamped time (true time where the clock did not jump).
struct Device
{
    int rate = 48000;
    int channels = 2;
    double drift = 0;
    int bufferFrames = 480;
    double jitterMs = 0;
    int clickEveryMs = 1000;
};

// Sound of true times [fromMs, toMs) from the track's start, stamped `shiftMs` off (a device
// clock that jumped), delivered as captured or, all that was captured by then, at deliveredAtMs.
struct Segment
{
    qint64 fromMs;
    qint64 toMs;
    qint64 shiftMs = 0;
    qint64 deliveredAtMs = -1;
};

// Runs `device` over `segments` (true times, from the start of the track), reading the track up
// to `untilMs` as a recorder would (sound HoldBack late is overdue). The output, and the true
// times of the clicks sent.
std::vector<float> simulate(const Device &device, const std::vector<Segment> &segments, qint64 untilMs,
                            std::vector<double> &clicksMs)
{
    SoundTrack track(startMs);
    std::vector<float> out;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(-device.jitterMs, device.jitterMs);
    const double trueRate = device.rate * (1 + device.drift);
    struct Pending
    {
        qint64 dueNs;
        SoundBuffer buffer;
    };
    std::vector<Pending> pending;
    for (const Segment &segment : segments) {
        // Frames of the device counted from the track's start, by true time.
        qint64 frame = qint64(std::ceil(double(segment.fromMs) / 1000.0 * trueRate));
        const qint64 end = qint64(std::ceil(double(segment.toMs) / 1000.0 * trueRate));
        while (frame < end) {
            const qint64 frames = std::min<qint64>(device.bufferFrames, end - frame);
            SoundBuffer buffer;
            buffer.rate = device.rate;
            buffer.channels = device.channels;
            buffer.samples.assign(size_t(frames * device.channels), 0.0f);
            for (qint64 i = 0; i < frames; ++i) {
                const double trueMs = double(frame + i) / trueRate * 1000.0 + double(segment.shiftMs);
                const double nextMs = double(frame + i + 1) / trueRate * 1000.0 + double(segment.shiftMs);
                const double click = (std::ceil(trueMs / device.clickEveryMs - 0.5) + 0.5) * device.clickEveryMs;
                if (click >= trueMs && click < nextMs) {
                    for (int c = 0; c < device.channels; ++c)
                        buffer.samples[size_t(i * device.channels + c)] = 0.9f;
                    clicksMs.push_back(click);
                }
            }
            const double trueNs = double(frame) / trueRate * 1e9;
            buffer.timeNs = (startMs + segment.shiftMs) * 1000000 + qint64(trueNs + jitter(random) * 1e6);
            const qint64 capturedNs = startMs * 1000000 + qint64(double(frame + frames) / trueRate * 1e9);
            const qint64 dueNs = segment.deliveredAtMs < 0 ? capturedNs : (startMs + segment.deliveredAtMs) * 1000000;
            pending.push_back({std::max(dueNs, capturedNs), std::move(buffer)});
            frame += frames;
        }
    }
    std::stable_sort(pending.begin(), pending.end(), [](const Pending &a, const Pending &b) { return a.dueNs < b.dueNs; });

    // The recorder reads every 10 ms of the monotonic clock.
    size_t next = 0;
    for (qint64 nowMs = startMs - 2000; nowMs <= startMs + untilMs; nowMs += 10) {
        while (next < pending.size() && pending[next].dueNs <= nowMs * 1000000)
            track.push(pending[next++].buffer);
        if (nowMs >= startMs)
            track.produce(nowMs, nowMs - 200, out);
    }
    track.produce(startMs + untilMs, startMs + untilMs, out);
    return out;
}

// Where the click nearest `expectedMs` (from the start) is in the output, in ms from the start;
// NaN when nothing there is loud enough to be it.
double findClick(const std::vector<float> &out, double expectedMs, double windowMs)
{
    const qsizetype from = qsizetype((expectedMs - windowMs) * 48);
    const qsizetype to = qsizetype((expectedMs + windowMs) * 48);
    qsizetype best = -1;
    float loudest = 0.3f;
    for (qsizetype i = std::max<qsizetype>(0, from); i < std::min(to, qsizetype(out.size()) / 2); ++i) {
        if (std::fabs(out[size_t(i) * 2]) > loudest) {
            loudest = std::fabs(out[size_t(i) * 2]);
            best = i;
        }
    }
    return best < 0 ? std::nan("") : double(best) / 48.0;
}

} // namespace

class TestSoundTrack : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void driftIsTakenOutSmoothly_data();
    void driftIsTakenOutSmoothly();
    void everyFrameStaysAtItsTime_data();
    void everyFrameStaysAtItsTime();
};

void TestSoundTrack::driftIsTakenOutSmoothly_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("channels");
    QTest::addColumn<double>("drift");
    QTest::addColumn<int>("bufferFrames");
    QTest::addColumn<double>("jitterMs");
    QTest::newRow("44.1 kHz device 0.1 % fast") << 44100 << 2 << 0.001 << 1024 << 2.0;
    QTest::newRow("48 kHz device 0.1 % slow") << 48000 << 2 << -0.001 << 1024 << 2.0;
    QTest::newRow("small buffers, 0.03 % fast") << 48000 << 2 << 0.0003 << 256 << 0.5;
    QTest::newRow("mono 32 kHz device 0.2 % fast") << 32000 << 1 << 0.002 << 640 << 3.0;
}

void TestSoundTrack::driftIsTakenOutSmoothly()
{
    QFETCH(int, rate);
    QFETCH(int, channels);
    QFETCH(double, drift);
    QFETCH(int, bufferFrames);
    QFETCH(double, jitterMs);
    // Two minutes: uncorrected, the drift would have moved the sound by 120 ms (at 0.1 %).
    constexpr qint64 lengthMs = 120000;
    Device device;
    device.rate = rate;
    device.channels = channels;
    device.drift = drift;
    device.bufferFrames = bufferFrames;
    device.jitterMs = jitterMs;
    std::vector<double> clicks;
    const std::vector<float> out = simulate(device, {{-500, lengthMs}}, lengthMs, clicks);

    QCOMPARE(qsizetype(out.size()) / 2, lengthMs * 48);
    double previousError = std::nan("");
    int checked = 0;
    for (const double click : clicks) {
        if (click < 1000 || click > lengthMs - 500)
            continue; // the first placement carries one buffer's jitter; the end may be cut
        const double found = findClick(out, click, 100);
        QVERIFY2(!std::isnan(found), qPrintable(QStringLiteral("click at %1 ms missing").arg(click)));
        const double error = found - click;
        QVERIFY2(std::abs(error) < 4.0 + jitterMs, qPrintable(QStringLiteral("click at %1 ms is %2 ms off").arg(click).arg(error)));
        if (!std::isnan(previousError)) {
            // Smooth: within a second the placement moves by far less than a buffer.
            QVERIFY2(std::abs(error - previousError) < 1.0,
                     qPrintable(QStringLiteral("jump of %1 ms at %2 ms").arg(error - previousError).arg(click)));
        }
        previousError = error;
        ++checked;
    }
    QVERIFY(checked > 100);
    // And settled: the last minute stays within a couple of milliseconds.
    QVERIFY2(std::abs(previousError) < 2.5, qPrintable(QStringLiteral("still %1 ms off at the end").arg(previousError)));
}

void TestSoundTrack::everyFrameStaysAtItsTime_data()
{
    // Segments of sound {from, to, stamped off by, delivered at (-1: as captured)} in ms from the
    // track's start; clicks every 250 ms from 125 on. The clicks that must come out at their
    // (stamped) times, and what must be silent.
    QTest::addColumn<QList<QList<int>>>("segments");
    QTest::addColumn<QList<int>>("clicks");
    QTest::addColumn<QList<QList<int>>>("silent");
    const QList<int> all{125, 375, 625, 875, 1125, 1375, 1625, 1875, 2125, 2375, 2625, 2875};
    QTest::newRow("nothing comes (a suspended sink)") << QList<QList<int>>{} << QList<int>{}
                                                      << QList<QList<int>>{{0, 3000}};
    QTest::newRow("a second without buffers") << QList<QList<int>>{{0, 1000, 0, -1}, {2000, 3000, 0, -1}}
                                              << QList<int>{125, 375, 625, 875, 2125, 2375, 2625, 2875}
                                              << QList<QList<int>>{{1010, 1990}};
    QTest::newRow("sound from before the start") << QList<QList<int>>{{-1000, 3000, 0, -1}} << all << QList<QList<int>>{};
    QTest::newRow("the device clock jumps 300 ms ahead")
        << QList<QList<int>>{{0, 1500, 0, -1}, {1500, 2700, 300, -1}}
        << QList<int>{125, 375, 625, 875, 1125, 1375, 1875, 2125, 2375, 2625, 2875} << QList<QList<int>>{{1510, 1790}};
    QTest::newRow("sound 600 ms late is given up for silence")
        << QList<QList<int>>{{0, 1000, 0, -1}, {1000, 2000, 0, 1600}, {2000, 3000, 0, -1}}
        << QList<int>{125, 375, 625, 875, 1625, 1875, 2125, 2375, 2625, 2875} << QList<QList<int>>{{1010, 1370}};
}

void TestSoundTrack::everyFrameStaysAtItsTime()
{
    QFETCH(QList<QList<int>>, segments);
    QFETCH(QList<int>, clicks);
    QFETCH(QList<QList<int>>, silent);
    Device device;
    device.clickEveryMs = 250;
    std::vector<Segment> plan;
    for (const QList<int> &s : segments)
        plan.push_back({s[0], s[1], s[2], s[3]});
    std::vector<double> sent;
    const std::vector<float> out = simulate(device, plan, 3000, sent);

    QCOMPARE(qsizetype(out.size()) / 2, qsizetype(3000 * 48));
    for (const int click : clicks) {
        const double found = findClick(out, click, 60);
        QVERIFY2(!std::isnan(found), qPrintable(QStringLiteral("click at %1 ms missing").arg(click)));
        QVERIFY2(std::abs(found - click) <= 1.0, qPrintable(QStringLiteral("click at %1 ms came at %2 ms").arg(click).arg(found)));
    }
    for (const QList<int> &range : silent)
        QCOMPARE(peakIn(out, range[0] * 48, range[1] * 48), 0.0f);
}

QTEST_GUILESS_MAIN(TestSoundTrack)
#include "tst_soundtrack.moc"
