#include "videoexport.h"

#include "framehistory.h"
#include "soundhistory.h"
#include "videomuxer.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <QFile>

#include <algorithm>
#include <limits>
#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

qint64 exportVideo(const FrameHistory &history, int first, int last, const QString &fileName,
                   const VideoSettings &settings, std::string &error, const SoundHistory *sound)
{
    const auto frameAt = [&history](int index) { return history.frame(index); };
    // Recorded times: a pause inside the range is cut, as it is from the recording's own file.
    const auto frameTimeMs = [&history](int index) { return history.recordedTimeMs(index); };
    if (first > last)
        std::swap(first, last);
    VideoEncoder encoder(settings);
    VideoMuxer file;
    int fd = -1;
    qint64 frames = 0;
    qint64 lastTime = -1;
    QImage previous;
    const qint64 start = frameTimeMs(first);
    // The sound of the range, to the end of its last frame, written beside the frames in time order.
    const SoundHistory::Range soundRange = sound
        ? sound->range(start, frameTimeMs(last) + 1000 / std::max(1, settings.fps))
        : SoundHistory::Range();
    std::vector<size_t> soundWritten(soundRange.packets.size(), 0);
    const auto writeSoundUntil = [&](qint64 untilMs) {
        for (size_t stream = 0; stream < soundRange.packets.size(); ++stream) {
            const std::vector<VideoPacket> &packets = soundRange.packets[stream];
            for (size_t &next = soundWritten[stream]; next < packets.size() && packets[next]->pts - start <= untilMs; ++next) {
                if (!file.write(packets[next], error, int(stream) + 1, start))
                    return false;
            }
        }
        return true;
    };
    for (int index = first; index <= last; ++index) {
        const QImage image = frameAt(index);
        if (image.isNull())
            continue;
        if (!encoder.isOpen()) {
            if (!encoder.open(image.size(), error))
                return -1;
            fd = ::open(QFile::encodeName(fileName).constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (fd < 0) {
                error = std::generic_category().message(errno);
                return -1;
            }
            std::vector<const AVCodecParameters *> soundStreams;
            for (const std::shared_ptr<AVCodecParameters> &parameters : soundRange.streams)
                soundStreams.push_back(parameters.get());
            if (!file.openFile(fd, encoder.parameters(), error, soundStreams))
                return -1;
        }
        if (image.size() != encoder.frameSize())
            continue;
        const qint64 time = std::max(frameTimeMs(index) - start, lastTime + 1);
        std::vector<VideoPacket> packets;
        if (!encoder.encode(image, BandMap::compare(image, previous), time, false, packets, error))
            return -1;
        previous = image;
        lastTime = time;
        if (!writeSoundUntil(time))
            return -1;
        for (const VideoPacket &packet : packets) {
            if (!file.write(packet, error))
                return -1;
        }
        ++frames;
    }
    if (!encoder.isOpen()) {
        error = "no frame to export";
        return -1;
    }
    std::vector<VideoPacket> packets;
    if (!encoder.finish(packets, error) || !writeSoundUntil(std::numeric_limits<qint64>::max() / 2))
        return -1;
    for (const VideoPacket &packet : packets) {
        if (!file.write(packet, error))
            return -1;
    }
    if (!file.close(error))
        return -1;
    return frames;
}
