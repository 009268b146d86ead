#pragma once

#include "bandmap.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <memory>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVCodecParameters;
struct AVFrame;
struct AVPacket;

// An encoded H.264 packet; one packet may go to a file and to a relay at once.
using VideoPacket = std::shared_ptr<const AVPacket>;

// How frames are coded: libx264 at a constant rate factor (`quality`, 0-51, lower is better;
// 0 is lossless) and a speed preset, with the preset's look-ahead and B-frames (the smallest
// files; a packet leaves the encoder some frames after its frame went in). `zeroLatency` is for
// streams read live: no B-frames, no look-ahead, each frame comes out of encode() as soon as it
// went in.
struct VideoSettings
{
    static constexpr int DefaultQuality = 23;
    int quality = DefaultQuality;
    QString preset = QStringLiteral("veryfast");
    bool zeroLatency = false;
    int fps = 30;             // the rate frames are expected at (their times decide)
    int keyframeSeconds = 10; // longest time between two keyframes
    int threads = 0;          // 0: as many as suit the machine
    // The stream headers (SPS/PPS) before every keyframe rather than once in parameters(): each
    // group of frames then decodes on its own, with no container to carry them.
    bool headersInStream = false;
    // The most the stream may take, in kilobits a second over any second (0: no cap): the rate
    // factor holds until the picture would need more.
    int maxKbps = 0;
};

// H.264 encoder for frames of one size. A frame is converted from RGB32 into the encoder's YUV
// planes band by band (16-row bands, an odd height's extra row in the last), on every core; bands marked unchanged keep the planes of the frame before. Timestamps are in
// milliseconds.
class VideoEncoder
{
public:
    explicit VideoEncoder(VideoSettings settings = {});
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder &) = delete;
    VideoEncoder &operator=(const VideoEncoder &) = delete;

    // Opens the encoder for frames of `size`; false with `error` set when it cannot. The stream
    // is 4:2:0 of codedSize(size).
    bool open(QSize size, std::string &error);
    // The stream's size for frames of `area`: one pixel more where it is odd (4:2:0 can neither
    // code nor crop to an odd size), the last column or row repeated.
    [[nodiscard]] static QSize codedSize(QSize area);
    [[nodiscard]] bool isOpen() const { return m_context != nullptr; }
    [[nodiscard]] QSize frameSize() const { return m_size; }
    // Codec parameters with the stream headers (SPS/PPS as extradata), for a muxer; set once
    // open, never changed after, so other threads may read them while the encoder lives.
    [[nodiscard]] const AVCodecParameters *parameters() const { return m_parameters; }

    // Encodes `image` (the open size) at `timeMs`, which must be later than the frame before;
    // `changes` against the frame encoded before (anything when this is the first). Appends the
    // packets ready now to `out`. `keyframe` forces a keyframe. False with `error` set on failure.
    bool encode(const QImage &image, const BandMap &changes, qint64 timeMs, bool keyframe,
                std::vector<VideoPacket> &out, std::string &error);
    // Drains the encoder at the end; appends the last packets.
    bool finish(std::vector<VideoPacket> &out, std::string &error);

private:
    void convert(const QImage &image, const BandMap &changes);
    bool receive(std::vector<VideoPacket> &out, std::string &error);

    VideoSettings m_settings;
    QSize m_size;
    AVCodecContext *m_context = nullptr;
    AVCodecParameters *m_parameters = nullptr;
    AVFrame *m_frame = nullptr;
    bool m_converted = false;            // m_frame holds the planes of an earlier frame
};

// Silences FFmpeg's own log but for fatal errors (once per process; any thread).
void quietVideoLibraries();

// The text of an FFmpeg error code.
[[nodiscard]] std::string videoErrorText(int error);
