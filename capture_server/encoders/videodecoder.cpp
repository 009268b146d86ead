#include "videodecoder.h"

#include "videoencoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include <cstring>

VideoDecoder::VideoDecoder()
{
    quietVideoLibraries();
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        return;
    m_context = avcodec_alloc_context3(codec);
    if (!m_context)
        return;
    // One thread and no delay: frame threads would hold pictures back.
    m_context->thread_count = 1;
    m_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    m_frame = av_frame_alloc();
    m_packet = av_packet_alloc();
    if (!m_frame || !m_packet || avcodec_open2(m_context, codec, nullptr) < 0)
        avcodec_free_context(&m_context);
}

VideoDecoder::~VideoDecoder()
{
    sws_freeContext(m_scaler);
    av_packet_free(&m_packet);
    av_frame_free(&m_frame);
    avcodec_free_context(&m_context);
}

void VideoDecoder::reset()
{
    m_decoded = false;
    if (m_context)
        avcodec_flush_buffers(m_context);
}

bool VideoDecoder::decode(const QByteArray &packet)
{
    m_decoded = false;
    if (!m_context || packet.isEmpty())
        return false;
    av_packet_unref(m_packet);
    if (av_new_packet(m_packet, int(packet.size())) < 0)
        return false;
    std::memcpy(m_packet->data, packet.constData(), size_t(packet.size()));
    if (avcodec_send_packet(m_context, m_packet) < 0 || avcodec_receive_frame(m_context, m_frame) < 0)
        return false;
    m_decoded = true;
    return true;
}

QImage VideoDecoder::picture(QSize area, QSize shown)
{
    if (!m_decoded || area.isEmpty() || area.width() > m_frame->width || area.height() > m_frame->height
        || m_frame->format != AV_PIX_FMT_YUV420P)
        return {};
    if (shown.isEmpty() || shown.width() > area.width() || shown.height() > area.height())
        shown = area;
    // The encoder's conversion is BT.601 limited range, which is also swscale's default.
    m_scaler = sws_getCachedContext(m_scaler, area.width(), area.height(), AV_PIX_FMT_YUV420P, shown.width(),
                                    shown.height(), AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    QImage image(shown, QImage::Format_RGB32);
    if (!m_scaler || image.isNull())
        return {};
    uint8_t *target[4] = {image.bits(), nullptr, nullptr, nullptr};
    const int strides[4] = {int(image.bytesPerLine()), 0, 0, 0};
    if (sws_scale(m_scaler, m_frame->data, m_frame->linesize, 0, area.height(), target, strides) != shown.height())
        return {};
    return image;
}
