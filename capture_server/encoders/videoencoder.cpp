#include "videoencoder.h"

#include "parallel.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cstring>
#include <limits>

QSize VideoEncoder::codedSize(QSize area)
{
    return QSize((area.width() + 1) & ~1, (area.height() + 1) & ~1);
}

std::string videoErrorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

void quietVideoLibraries()
{
    // FFmpeg's own chatter (x264's banner, a line per failed connection attempt, the audio
    // coder's statistics) would drown the console lines: what fails is reported through our own
    // lines, once.
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_FATAL);
        return true;
    }();
    (void)quiet;
}

VideoEncoder::VideoEncoder(VideoSettings settings)
    : m_settings(std::move(settings))
{
    quietVideoLibraries();
}

VideoEncoder::~VideoEncoder()
{
    av_frame_free(&m_frame);
    avcodec_parameters_free(&m_parameters);
    avcodec_free_context(&m_context);
}

bool VideoEncoder::open(QSize size, std::string &error)
{
    if (size.isEmpty()) {
        error = "empty frame";
        return false;
    }
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) {
        error = "this FFmpeg has no libx264 encoder";
        return false;
    }
    AVCodecContext *context = avcodec_alloc_context3(codec);
    if (!context) {
        error = "out of memory";
        return false;
    }
    // 4:2:0 halves the chroma in both directions, so its pictures have even sizes (and a stream's
    // cropping comes in steps of two pixels too): an odd width or height is coded one pixel
    // larger, the last column or row repeated, which the file handler says at Start. 4:4:4 would
    // keep the exact size, but browsers, phones and most hardware decoders do not play it.
    context->width = codedSize(size).width();
    context->height = codedSize(size).height();
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, 1000};
    context->framerate = AVRational{std::max(1, m_settings.fps), 1};
    context->gop_size = std::max(1, m_settings.fps * std::max(1, m_settings.keyframeSeconds));
    if (m_settings.zeroLatency)
        context->max_b_frames = 0; // else the preset's
    context->thread_count = m_settings.threads;
    if (m_settings.maxKbps > 0) {
        context->rc_max_rate = qint64(m_settings.maxKbps) * 1000;
        context->rc_buffer_size = int(std::min<qint64>(context->rc_max_rate, std::numeric_limits<int>::max()));
    }
    // The colour conversion below: BT.601, limited range.
    context->colorspace = AVCOL_SPC_SMPTE170M;
    context->color_primaries = AVCOL_PRI_SMPTE170M;
    context->color_trc = AVCOL_TRC_SMPTE170M;
    context->color_range = AVCOL_RANGE_MPEG;
    // Matroska and FLV both carry the SPS/PPS once, in the track header.
    if (!m_settings.headersInStream)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(context->priv_data, "preset", m_settings.preset.toLatin1().constData(), 0);
    if (m_settings.zeroLatency)
        av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    av_opt_set_double(context->priv_data, "crf", std::clamp(m_settings.quality, 0, 51), 0);
    av_opt_set_int(context->priv_data, "forced-idr", 1, 0);
    int result = avcodec_open2(context, codec, nullptr);
    if (result < 0) {
        error = "cannot open the H.264 encoder: " + videoErrorText(result);
        avcodec_free_context(&context);
        return false;
    }
    m_context = context;
    m_size = size;
    m_parameters = avcodec_parameters_alloc();
    if (!m_parameters || avcodec_parameters_from_context(m_parameters, context) < 0) {
        error = "out of memory";
        return false;
    }

    m_frame = av_frame_alloc();
    m_frame->format = context->pix_fmt;
    m_frame->width = context->width;
    m_frame->height = context->height;
    result = av_frame_get_buffer(m_frame, 0);
    if (result < 0) {
        error = "out of memory: " + videoErrorText(result);
        return false;
    }
    m_converted = false;
    return true;
}

namespace {

// Rows [0, rows) of 32-bit BGRA pixels (`width` even, `rows` even) into 4:2:0 planes, BT.601
// limited range as the decoders assume by default: luma per pixel, chroma from the average of
// each 2x2 block. libyuv's SIMD rows take 0.33 ms for 1920x1080 on one core, where a scalar loop
// took 3.3 ms and swscale 4.1 ms.
void bgraToYuv420(const uchar *pixels, qsizetype stride, int width, int rows, uint8_t *y, int yStride, uint8_t *u,
                  uint8_t *v, int chromaStride)
{
    libyuv::ARGBToI420(pixels, int(stride), y, yStride, u, chromaStride, v, chromaStride, width, rows);
}

// `image` as RGB32 of `coded` size: an odd last column or row is repeated into the padding.
QImage codedImage(const QImage &image, QSize coded)
{
    const bool rgb32 = image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32;
    if (image.size() == coded)
        return rgb32 ? image : image.convertToFormat(QImage::Format_RGB32);
    const QImage source = rgb32 ? image : image.convertToFormat(QImage::Format_RGB32);
    QImage padded(coded, QImage::Format_RGB32);
    const int width = source.width();
    for (int y = 0; y < coded.height(); ++y) {
        const auto *from = reinterpret_cast<const quint32 *>(source.constScanLine(std::min(y, source.height() - 1)));
        auto *to = reinterpret_cast<quint32 *>(padded.scanLine(y));
        std::memcpy(to, from, size_t(width) * 4);
        for (int x = width; x < coded.width(); ++x)
            to[x] = from[width - 1];
    }
    return padded;
}

} // namespace

void VideoEncoder::convert(const QImage &source, const BandMap &changes)
{
    const QSize coded(m_frame->width, m_frame->height);
    const QImage image = codedImage(source, coded);
    const int bandCount = BandMap::bandCount(coded.height());
    const bool all = !m_converted || changes.count() != bandCount;
    std::vector<int> bands;
    for (int band = 0; band < bandCount; ++band) {
        if (all || changes.changed(band))
            bands.push_back(band);
    }
    // Everything is read and written through pointers taken here, once: no QImage call on the
    // parallel part.
    const uchar *pixels = image.constBits();
    const qsizetype stride = image.bytesPerLine();
    uint8_t *const planes[3] = {m_frame->data[0], m_frame->data[1], m_frame->data[2]};
    const int lines[3] = {m_frame->linesize[0], m_frame->linesize[1], m_frame->linesize[2]};
    const int height = coded.height();
    parallelFor(int(bands.size()), [&](int index) {
        const int band = bands[size_t(index)];
        const int top = BandMap::firstRow(band);
        const int rows = BandMap::rowCount(band, height);
        bgraToYuv420(pixels + qsizetype(top) * stride, stride, coded.width(), rows, planes[0] + qsizetype(top) * lines[0],
                     lines[0], planes[1] + qsizetype(top / 2) * lines[1], planes[2] + qsizetype(top / 2) * lines[2],
                     lines[1]);
    });
    m_converted = true;
}

bool VideoEncoder::encode(const QImage &image, const BandMap &changes, qint64 timeMs, bool keyframe,
                          std::vector<VideoPacket> &out, std::string &error)
{
    if (!m_context || image.size() != m_size) {
        error = "frame size differs from the encoder's";
        return false;
    }
    // The encoder may still hold the planes of the frame before: then they are copied first,
    // so the unchanged bands are still there.
    int result = av_frame_make_writable(m_frame);
    if (result < 0) {
        error = videoErrorText(result);
        return false;
    }
    convert(image, changes);
    m_frame->pts = timeMs;
    m_frame->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    result = avcodec_send_frame(m_context, m_frame);
    if (result < 0) {
        error = "encoding failed: " + videoErrorText(result);
        return false;
    }
    return receive(out, error);
}

bool VideoEncoder::finish(std::vector<VideoPacket> &out, std::string &error)
{
    if (!m_context)
        return true;
    const int result = avcodec_send_frame(m_context, nullptr);
    if (result < 0 && result != AVERROR_EOF) {
        error = "encoding failed: " + videoErrorText(result);
        return false;
    }
    return receive(out, error);
}

bool VideoEncoder::receive(std::vector<VideoPacket> &out, std::string &error)
{
    for (;;) {
        AVPacket *packet = av_packet_alloc();
        const int result = avcodec_receive_packet(m_context, packet);
        if (result < 0) {
            av_packet_free(&packet);
            if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
                return true;
            error = "encoding failed: " + videoErrorText(result);
            return false;
        }
        out.emplace_back(packet, [](const AVPacket *p) {
            AVPacket *owned = const_cast<AVPacket *>(p);
            av_packet_free(&owned);
        });
    }
}
