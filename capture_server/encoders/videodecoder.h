#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

// Decodes an H.264 stream that carries its own headers (VideoSettings::headersInStream) and has
// no B-frames, one packet at a time: each packet gives its picture at once. For one thread at a
// time.
class VideoDecoder
{
public:
    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder &) = delete;
    VideoDecoder &operator=(const VideoDecoder &) = delete;

    // Decodes the next packet; false when it does not decode (or gives no picture).
    bool decode(const QByteArray &packet);
    // The picture decoded last as RGB32: the top-left `area` of the coded picture, shrunk to
    // `shown` when that is smaller (empty: `area`); null when there is none.
    [[nodiscard]] QImage picture(QSize area, QSize shown = QSize());
    // Forgets the frames decoded so far: the next packet must be a keyframe.
    void reset();
    [[nodiscard]] bool isOpen() const { return m_context != nullptr; }

private:
    AVCodecContext *m_context = nullptr;
    AVFrame *m_frame = nullptr;
    AVPacket *m_packet = nullptr;
    SwsContext *m_scaler = nullptr;
    bool m_decoded = false; // m_frame holds the picture of the last packet
};
