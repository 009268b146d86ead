#pragma once

#include "videoencoder.h"

#include <QString>

#include <string>
#include <vector>

struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;

// What sound is coded as: Opus (libopus; for Matroska), AAC (FFmpeg's own coder; for FLV) or
// plain 32-bit float PCM (Matroska holds it too; exact, for checks and for editing later).
enum class SoundCodec { Opus, Aac, Pcm };

// The codec's name for people: "Opus", "AAC", "PCM".
[[nodiscard]] QString soundCodecName(SoundCodec codec);

// Encodes 48 kHz interleaved stereo float frames that follow each other without gaps, the
// first at `startMs` of the monotonic clock. Packets (shared, as the video's) carry
// presentation times and durations in milliseconds of that clock, like the video packets: a
// muxer takes them in a 1/1000 time base as they are. The first packets of Opus and AAC start a
// little before `startMs`: the coder's own delay (Opus 6.5 ms, AAC 21.3 ms), which the codec
// parameters declare (initial padding) so that players and Matroska take it off again.
class SoundEncoder
{
public:
    static constexpr int Rate = 48000;
    static constexpr int Channels = 2;

    // `bitRate` in bits per second; 0 for the default (128 kb/s; PCM has none).
    explicit SoundEncoder(SoundCodec codec, int bitRate = 0);
    ~SoundEncoder();
    SoundEncoder(const SoundEncoder &) = delete;
    SoundEncoder &operator=(const SoundEncoder &) = delete;

    // False with `error` set when the coder is missing or does not open.
    bool open(qint64 startMs, std::string &error);
    [[nodiscard]] bool isOpen() const { return m_context != nullptr; }
    [[nodiscard]] SoundCodec codec() const { return m_codec; }
    // Codec parameters with the stream headers, for a muxer; set once open, never changed after.
    [[nodiscard]] const AVCodecParameters *parameters() const { return m_parameters; }

    // Encodes the next `frames`; appends the packets ready now to `out`.
    bool encode(const float *samples, qsizetype frames, std::vector<VideoPacket> &out, std::string &error);
    // Encodes what is left (the last frame padded where the coder needs whole frames) and
    // drains the coder; appends the last packets. The encoder is spent after.
    bool finish(std::vector<VideoPacket> &out, std::string &error);

private:
    bool send(int frames, std::vector<VideoPacket> &out, std::string &error);
    bool receive(std::vector<VideoPacket> &out, std::string &error);

    SoundCodec m_codec;
    int m_bitRate = 0;
    qint64 m_startMs = 0;
    AVCodecContext *m_context = nullptr;
    AVCodecParameters *m_parameters = nullptr;
    AVFrame *m_frame = nullptr;
    int m_frameSize = 0;         // frames per coded frame
    bool m_planar = false;       // the coder takes one plane per channel
    std::vector<float> m_queue;  // interleaved frames not yet coded
    qint64 m_nextPts = 0;        // in frames from the start
};
