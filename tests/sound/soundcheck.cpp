#include "soundcheck.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <cmath>

DecodedSound decodeSound(const AVCodecParameters *parameters, const std::vector<VideoPacket> &packets)
{
    DecodedSound sound;
    if (!parameters) {
        sound.error = QStringLiteral("no codec parameters");
        return sound;
    }
    const AVCodec *decoder = avcodec_find_decoder(parameters->codec_id);
    AVCodecContext *context = decoder ? avcodec_alloc_context3(decoder) : nullptr;
    AVFrame *frame = av_frame_alloc();
    if (!context || !frame || avcodec_parameters_to_context(context, parameters) < 0
        || avcodec_open2(context, decoder, nullptr) < 0) {
        sound.error = QStringLiteral("no decoder for %1").arg(QString::fromLatin1(avcodec_get_name(parameters->codec_id)));
    } else {
        if (!packets.empty())
            sound.startMs = packets.front()->pts;
        const auto drain = [&] {
            while (avcodec_receive_frame(context, frame) >= 0) {
                const int channels = frame->ch_layout.nb_channels;
                const bool planar = frame->format == AV_SAMPLE_FMT_FLTP;
                if (frame->sample_rate != 48000 || channels != 2
                    || (frame->format != AV_SAMPLE_FMT_FLT && frame->format != AV_SAMPLE_FMT_FLTP)) {
                    sound.error = QStringLiteral("decoded as something else than 48 kHz stereo float");
                } else {
                    for (int i = 0; i < frame->nb_samples; ++i) {
                        for (int c = 0; c < 2; ++c) {
                            const auto *plane = reinterpret_cast<const float *>(frame->extended_data[planar ? c : 0]);
                            sound.samples.push_back(planar ? plane[i] : plane[i * 2 + c]);
                        }
                    }
                }
                av_frame_unref(frame);
            }
        };
        for (const VideoPacket &packet : packets) {
            if (avcodec_send_packet(context, packet.get()) < 0 && sound.error.isEmpty())
                sound.error = QStringLiteral("a packet did not decode");
            drain();
        }
        avcodec_send_packet(context, nullptr);
        drain();
    }
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return sound;
}

double toneAmplitude(const std::vector<float> &samples, qsizetype from, qsizetype to, double hz)
{
    from = std::max<qsizetype>(0, from);
    to = std::min(to, qsizetype(samples.size()) / 2);
    if (to <= from)
        return 0;
    const double w = 2 * M_PI * hz / 48000.0;
    const double coefficient = 2 * std::cos(w);
    double s1 = 0;
    double s2 = 0;
    for (qsizetype i = from; i < to; ++i) {
        const double s = samples[size_t(i) * 2] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(std::max(0.0, power)) / double(to - from);
}

float peakIn(const std::vector<float> &samples, qsizetype from, qsizetype to)
{
    from = std::max<qsizetype>(0, from);
    to = std::min(to, qsizetype(samples.size()) / 2);
    float peak = 0;
    for (qsizetype i = from * 2; i < to * 2; ++i)
        peak = std::max(peak, std::fabs(samples[size_t(i)]));
    return peak;
}

std::pair<qsizetype, qsizetype> loudSpan(const std::vector<float> &samples, float threshold)
{
    qsizetype first = -1;
    qsizetype last = -1;
    for (qsizetype i = 0; i < qsizetype(samples.size()); ++i) {
        if (std::fabs(samples[size_t(i)]) > threshold) {
            if (first < 0)
                first = i / 2;
            last = i / 2;
        }
    }
    return {first, last};
}
