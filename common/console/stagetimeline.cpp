#include "stagetimeline.h"

#include <QImage>

#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int CounterBits = 32;
constexpr int CounterCell = 16;

// The file's descriptor, -1 when the timeline is off; opened once, at the first question.
int timelineFile()
{
    static const int fd = [] {
        const QByteArray path = qgetenv("DESKCAST_TIMELINE");
        if (path.isEmpty())
            return -1;
        const int opened = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (opened < 0)
            std::fprintf(stderr, "Cannot write the stage timeline %s\n", path.constData());
        return opened;
    }();
    return fd;
}

} // namespace

namespace StageTimeline {

bool enabled()
{
    static const bool on = timelineFile() >= 0;
    return on;
}

qint64 nowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void stampAt(qint64 microseconds, const char *stage, qint64 key, qint64 value)
{
    if (!enabled())
        return;
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%lld %s %lld %lld\n", static_cast<long long>(microseconds),
                                     stage, static_cast<long long>(key), static_cast<long long>(value));
    if (length > 0 && length < int(sizeof line))
        (void)!::write(timelineFile(), line, size_t(length));
}

void stamp(const char *stage, qint64 key, qint64 value)
{
    if (enabled())
        stampAt(nowUs(), stage, key, value);
}

} // namespace StageTimeline

std::optional<quint32> readCounterStrip(const QImage &image)
{
    if (image.width() < CounterBits * CounterCell || image.height() < CounterCell)
        return std::nullopt;
    quint32 value = 0;
    for (int bit = 0; bit < CounterBits; ++bit) {
        const int gray = qGray(image.pixel(bit * CounterCell + CounterCell / 2, CounterCell / 2));
        if (gray > 64 && gray < 192)
            return std::nullopt;
        value = (value << 1) | (gray >= 192 ? 1u : 0u);
    }
    return value;
}
