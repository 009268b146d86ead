#include "videoexport.h"

#include "framehistory.h"
#include "videomuxer.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

qint64 exportVideo(const FrameHistory &history, int first, int last, const QString &fileName,
                   const VideoSettings &settings, std::string &error)
{
    const auto frameAt = [&history](int index) { return history.frame(index); };
    const auto frameTimeMs = [&history](int index) { return history.timeMs(index); };
    if (first > last)
        std::swap(first, last);
    VideoEncoder encoder(settings);
    VideoMuxer file;
    int fd = -1;
    qint64 frames = 0;
    qint64 lastTime = -1;
    QImage previous;
    const qint64 start = frameTimeMs(first);
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
            if (!file.openFile(fd, encoder.parameters(), error))
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
    if (!encoder.finish(packets, error))
        return -1;
    for (const VideoPacket &packet : packets) {
        if (!file.write(packet, error))
            return -1;
    }
    if (!file.close(error))
        return -1;
    return frames;
}
