#include "videoexport.h"

#include "framehistory.h"
#include "soundhistory.h"
#include "videomuxer.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace {

// The export's file under a temporary name beside the one asked for; removed unless kept.
class PartFile
{
public:
    explicit PartFile(const QString &fileName)
        : m_target(QFile::encodeName(fileName))
    {
        const QFileInfo info(fileName);
        m_path = QFile::encodeName(info.path() + QLatin1String("/.") + info.fileName() + QLatin1String(".part-XXXXXX"));
        m_fd = ::mkostemp(m_path.data(), O_CLOEXEC);
        if (m_fd < 0) {
            m_error = errno;
            m_path.clear();
            return;
        }
        // mkostemp makes it private; the export is an ordinary file.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(m_fd, 0666 & ~mask);
    }
    ~PartFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_kept && !m_path.isEmpty())
            ::unlink(m_path.constData());
    }
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    [[nodiscard]] int fd() const { return m_fd; }
    // The descriptor goes to its new owner (the muxer closes it).
    int release() { return std::exchange(m_fd, -1); }
    [[nodiscard]] std::string error() const { return std::generic_category().message(m_error); }
    // Gives the file (closed) its name; false with error() set when that fails.
    bool keep()
    {
        if (::rename(m_path.constData(), m_target.constData()) != 0) {
            m_error = errno;
            return false;
        }
        m_kept = true;
        return true;
    }

private:
    QByteArray m_target;
    QByteArray m_path;
    int m_fd = -1;
    int m_error = 0;
    bool m_kept = false;
};

} // namespace

VideoExport::VideoExport(const FrameHistory &history, int first, int last, const VideoSettings &settings,
                         const SoundHistory *sound)
    : m_settings(settings)
    , m_frames(history.range(std::min(first, last), std::max(first, last)))
{
    // Recorded times: a pause inside the range is cut, as it is from the recording's own file.
    int firstKept = -1;
    bool allKept = true;
    for (int i = 0; i < m_frames.size(); ++i) {
        const bool kept = m_frames.isKept(i);
        if (kept && firstKept < 0)
            firstKept = i;
        allKept = allKept && kept;
    }
    if (!allKept)
        m_notKeptWhy = history.isFull() ? "the history's file was full when they were grabbed"
                                        : "the history could not keep them";
    m_startMs = firstKept >= 0 ? m_frames.recordedTimeMs(firstKept) : 0;
    // The sound of the range, to the end of its last frame, written beside the frames in time order.
    if (sound && m_frames.size() > 0)
        m_sound = sound->range(m_startMs, m_frames.recordedTimeMs(m_frames.size() - 1) + 1000 / std::max(1, settings.fps));
}

ExportReport VideoExport::write(const QString &fileName, std::atomic<int> *done, const std::atomic<bool> *cancel) const
{
    ExportReport report;
    const auto fail = [&report](std::string error) {
        report.frames = -1;
        report.error = std::move(error);
        return report;
    };
    VideoEncoder encoder(m_settings);
    VideoMuxer file;
    std::unique_ptr<PartFile> part;
    qint64 frames = 0;
    qint64 lastTime = -1;
    QImage previous;
    std::string error;
    std::vector<size_t> soundWritten(m_sound.packets.size(), 0);
    const auto writeSoundUntil = [&](qint64 untilMs) {
        for (size_t stream = 0; stream < m_sound.packets.size(); ++stream) {
            const std::vector<VideoPacket> &packets = m_sound.packets[stream];
            for (size_t &next = soundWritten[stream]; next < packets.size() && packets[next]->pts - m_startMs <= untilMs;
                 ++next) {
                if (!file.write(packets[next], error, int(stream) + 1, m_startMs))
                    return false;
            }
        }
        return true;
    };
    std::vector<int> unreadable;
    std::vector<int> otherSize; // a video has one size: frames of another are left out
    for (int i = 0; i < m_frames.size(); ++i) {
        if (cancel && cancel->load(std::memory_order_relaxed)) {
            report.cancelled = true;
            return fail("cancelled");
        }
        const int index = m_frames.first() + i;
        const bool kept = m_frames.isKept(i);
        const QImage image = kept ? m_frames.frame(i) : QImage();
        if (done)
            done->fetch_add(1, std::memory_order_relaxed);
        if (image.isNull()) {
            report.missing.push_back(index);
            if (kept)
                unreadable.push_back(index);
            continue;
        }
        if (!encoder.isOpen()) {
            if (!encoder.open(image.size(), error))
                return fail(error);
            part = std::make_unique<PartFile>(fileName);
            if (part->fd() < 0)
                return fail(part->error());
            std::vector<const AVCodecParameters *> soundStreams;
            for (const std::shared_ptr<AVCodecParameters> &parameters : m_sound.streams)
                soundStreams.push_back(parameters.get());
            if (!file.openFile(part->release(), encoder.parameters(), error, soundStreams))
                return fail(error);
        }
        if (image.size() != encoder.frameSize()) {
            report.missing.push_back(index);
            otherSize.push_back(index);
            continue;
        }
        const qint64 time = std::max(m_frames.recordedTimeMs(i) - m_startMs, lastTime + 1);
        std::vector<VideoPacket> packets;
        if (!encoder.encode(image, BandMap::compare(image, previous), time, false, packets, error))
            return fail(error);
        previous = image;
        lastTime = time;
        if (!writeSoundUntil(time))
            return fail(error);
        for (const VideoPacket &packet : packets) {
            if (!file.write(packet, error))
                return fail(error);
        }
        if (report.firstWritten < 0)
            report.firstWritten = index;
        report.lastWritten = index;
        ++frames;
    }
    if (!encoder.isOpen())
        return fail("no frame to export");
    std::vector<VideoPacket> packets;
    if (!encoder.finish(packets, error) || !writeSoundUntil(std::numeric_limits<qint64>::max() / 2))
        return fail(error);
    for (const VideoPacket &packet : packets) {
        if (!file.write(packet, error))
            return fail(error);
    }
    if (!file.close(error))
        return fail(error);
    if (!part->keep())
        return fail(part->error());
    report.frames = frames;
    // What the file holds: from its first frame to the end of its last.
    report.durationMs = lastTime + 1000 / std::max(1, m_settings.fps);
    if (!report.missing.empty()) {
        std::vector<std::string> reasons;
        if (report.missing.size() > unreadable.size() + otherSize.size())
            reasons.push_back(m_notKeptWhy);
        if (!unreadable.empty())
            reasons.push_back(frameSpansText(unreadable) + " could not be read back from the history");
        if (!otherSize.empty())
            reasons.push_back(frameSpansText(otherSize) + " had another size than the first");
        for (const std::string &reason : reasons)
            report.missingWhy += (report.missingWhy.empty() ? "" : "; ") + reason;
    }
    return report;
}

std::string frameSpansText(const std::vector<int> &indices)
{
    constexpr int shownSpans = 4;
    std::string text;
    int spans = 0;
    int hidden = 0;
    for (size_t i = 0; i < indices.size();) {
        size_t end = i;
        while (end + 1 < indices.size() && indices[end + 1] == indices[end] + 1)
            ++end;
        if (spans < shownSpans) {
            if (spans > 0)
                text += ", ";
            text += std::to_string(indices[i] + 1);
            if (end > i)
                text += " to " + std::to_string(indices[end] + 1);
        } else {
            hidden += int(end - i + 1);
        }
        ++spans;
        i = end + 1;
    }
    if (hidden > 0)
        text += " and " + std::to_string(hidden) + " more";
    return (indices.size() == 1 ? "frame " : "frames ") + text;
}

qint64 exportVideo(const FrameHistory &history, int first, int last, const QString &fileName,
                   const VideoSettings &settings, std::string &error, const SoundHistory *sound)
{
    const ExportReport report = VideoExport(history, first, last, settings, sound).write(fileName);
    error = report.error;
    return report.frames;
}
