// Coded sound read back: the packets' times run on without gaps or overlaps on the monotonic
// clock, and what decodes is the sound that went in, at its time.
#include "soundcheck.h"
#include "soundencoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <QTest>

#include <cmath>

Q_DECLARE_METATYPE(SoundCodec)

class TestSoundEncoder : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void decodesToWhatWentIn_data();
    void decodesToWhatWentIn();
};

void TestSoundEncoder::decodesToWhatWentIn_data()
{
    QTest::addColumn<SoundCodec>("codec");
    QTest::addColumn<int>("chunkFrames");  // frames handed over at a time
    QTest::addColumn<double>("timingMs");  // how far the tone's edges may be found off (0.1 ms: the threshold)
    QTest::addColumn<double>("amplitude"); // how far its amplitude may be found off
    QTest::newRow("Opus, in odd chunks") << SoundCodec::Opus << 701 << 8.0 << 0.03;
    QTest::newRow("AAC, in odd chunks") << SoundCodec::Aac << 701 << 8.0 << 0.03;
    QTest::newRow("AAC, one frame at a time") << SoundCodec::Aac << 1 << 8.0 << 0.03;
    QTest::newRow("PCM, exactly") << SoundCodec::Pcm << 4096 << 0.25 << 0.005;
}

void TestSoundEncoder::decodesToWhatWentIn()
{
    QFETCH(SoundCodec, codec);
    QFETCH(int, chunkFrames);
    QFETCH(double, timingMs);
    QFETCH(double, amplitude);
    // 300 ms of silence, a second of 1 kHz at 0.5, 250 ms of silence (not a whole coded frame).
    constexpr qint64 startMs = 5000123;
    std::vector<float> sound(size_t(48 * 1550) * 2, 0.0f);
    for (qsizetype i = 48 * 300; i < 48 * 1300; ++i)
        sound[size_t(i) * 2] = sound[size_t(i) * 2 + 1] = float(0.5 * std::sin(2 * M_PI * 1000.0 * double(i) / 48000.0));

    SoundEncoder encoder(codec);
    std::string error;
    QVERIFY2(encoder.open(startMs, error), error.c_str());
    const AVCodecParameters *parameters = encoder.parameters();
    QVERIFY(parameters);
    QCOMPARE(parameters->sample_rate, 48000);
    QCOMPARE(parameters->ch_layout.nb_channels, 2);
    if (codec != SoundCodec::Pcm)
        QVERIFY2(parameters->extradata_size > 0, "no stream header for the container");
    std::vector<VideoPacket> packets;
    for (qsizetype at = 0; at < qsizetype(sound.size()) / 2; at += chunkFrames) {
        const qsizetype frames = std::min<qsizetype>(chunkFrames, qsizetype(sound.size()) / 2 - at);
        QVERIFY2(encoder.encode(sound.data() + at * 2, frames, packets, error), error.c_str());
    }
    QVERIFY2(encoder.finish(packets, error), error.c_str());

    QVERIFY(!packets.empty());
    QVERIFY(packets.front()->pts <= startMs);
    QVERIFY(packets.front()->pts > startMs - 25); // the coder's own delay, no more
    for (size_t i = 1; i < packets.size(); ++i) {
        QCOMPARE(packets[i]->pts, packets[i - 1]->pts + packets[i - 1]->duration);
        QCOMPARE(packets[i]->dts, packets[i]->pts);
    }
    QVERIFY(packets.back()->pts + packets.back()->duration >= startMs + 1550);

    const DecodedSound decoded = decodeSound(parameters, packets);
    QVERIFY2(decoded.error.isEmpty(), qPrintable(decoded.error));
    if (codec == SoundCodec::Pcm) { // no coder delay, nothing lost
        QCOMPARE(decoded.startMs, startMs);
        QVERIFY(decoded.samples.size() >= sound.size());
        QVERIFY(std::equal(sound.begin(), sound.end(), decoded.samples.begin()));
    }
    const auto [first, last] = loudSpan(decoded.samples, 0.25f);
    QVERIFY(first >= 0);
    QVERIFY2(std::abs(decoded.timeMs(first) - double(startMs + 300)) <= timingMs,
             qPrintable(QStringLiteral("the tone starts at %1 ms").arg(decoded.timeMs(first) - double(startMs))));
    QVERIFY2(std::abs(decoded.timeMs(last) - double(startMs + 1300)) <= timingMs,
             qPrintable(QStringLiteral("the tone ends at %1 ms").arg(decoded.timeMs(last) - double(startMs))));
    QVERIFY(std::abs(toneAmplitude(decoded.samples, first + 4800, last - 4800, 1000.0) - 0.5) <= amplitude);
    QVERIFY(std::abs(toneAmplitude(decoded.samples, first + 4800, last - 4800, 1500.0)) <= amplitude);
}

QTEST_GUILESS_MAIN(TestSoundEncoder)
#include "tst_soundencoder.moc"
