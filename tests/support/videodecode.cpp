#include "videodecode.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include <cstdarg>
#include <cstdio>
#include <memory>

namespace {

QString errorText(int error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return QString::fromLatin1(text);
}

// The first error the libraries log while a file is read (a demuxer says "File ended
// prematurely" where it still returns the packets before).
QString loggedError;
bool collectingLog = false;

void collectError(void *, int level, const char *format, va_list arguments)
{
    if (!collectingLog || level > AV_LOG_ERROR || !loggedError.isEmpty())
        return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    loggedError = QString::fromLatin1(text).trimmed();
}

} // namespace

static DecodedVideo readVideo(const QString &fileName)
{
    DecodedVideo video;
    AVFormatContext *format = nullptr;
    const QByteArray name = fileName.toLocal8Bit();
    int result = avformat_open_input(&format, name.constData(), nullptr, nullptr);
    if (result < 0) {
        video.error = errorText(result);
        return video;
    }
    std::unique_ptr<AVFormatContext *, void (*)(AVFormatContext **)> formatGuard(&format, avformat_close_input);
    avformat_find_stream_info(format, nullptr);
    const int streamIndex = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (streamIndex < 0) {
        video.error = QStringLiteral("no video stream");
        return video;
    }
    AVStream *stream = format->streams[streamIndex];
    const AVCodec *codec = avcodec_find_decoder(stream->codecpar->codec_id);
    AVCodecContext *context = avcodec_alloc_context3(codec);
    std::unique_ptr<AVCodecContext *, void (*)(AVCodecContext **)> contextGuard(&context, avcodec_free_context);
    avcodec_parameters_to_context(context, stream->codecpar);
    if ((result = avcodec_open2(context, codec, nullptr)) < 0) {
        video.error = errorText(result);
        return video;
    }
    video.opened = true;
    video.codec = QString::fromLatin1(codec->name);
    video.container = QString::fromLatin1(format->iformat->name);

    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    SwsContext *scaler = nullptr;
    const auto takeFrames = [&] {
        while (avcodec_receive_frame(context, frame) >= 0) {
            QImage image(frame->width, frame->height, QImage::Format_RGB32);
            scaler = sws_getCachedContext(scaler, frame->width, frame->height, AVPixelFormat(frame->format),
                                          frame->width, frame->height, AV_PIX_FMT_BGRA,
                                          SWS_BICUBIC | SWS_FULL_CHR_H_INT | SWS_ACCURATE_RND, nullptr,
                                          nullptr, nullptr);
            uint8_t *dst[1] = {image.bits()};
            const int dstStride[1] = {int(image.bytesPerLine())};
            sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
            const qint64 pts = frame->best_effort_timestamp;
            video.timesMs.push_back(av_rescale_q(pts, stream->time_base, AVRational{1, 1000}));
            video.frames.push_back(image);
            video.bFrames = video.bFrames || frame->pict_type == AV_PICTURE_TYPE_B;
        }
    };
    while ((result = av_read_frame(format, packet)) >= 0) {
        if (packet->stream_index == streamIndex) {
            const int sent = avcodec_send_packet(context, packet);
            if (sent < 0 && video.error.isEmpty())
                video.error = errorText(sent);
            takeFrames();
        }
        av_packet_unref(packet);
    }
    avcodec_send_packet(context, nullptr);
    takeFrames();
    sws_freeContext(scaler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    return video;
}

DecodedVideo decodeVideo(const QString &fileName)
{
    loggedError.clear();
    collectingLog = true;
    av_log_set_callback(collectError);
    DecodedVideo video = readVideo(fileName);
    collectingLog = false;
    av_log_set_callback(av_log_default_callback);
    if (video.error.isEmpty() && video.opened)
        video.error = loggedError;
    return video;
}
