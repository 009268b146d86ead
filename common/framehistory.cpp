#include "framehistory.h"

#include "jpegcodec.h"

#include <QDir>


#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

int openUnlinkedTempFile()
{
    QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/deskcast-history-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0)
        ::unlink(pattern.constData()); // the data lives until the descriptor is closed
    return fd;
}

bool writeAll(int fd, const char *data, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

bool readAll(int fd, char *data, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

// Whether two frames hold the same pixels (for the formats a grab yields, byte for byte).
bool samePixels(const QImage &a, const QImage &b)
{
    if (a.isNull() || a.size() != b.size() || a.format() != b.format())
        return false;
    if (a.constBits() == b.constBits())
        return true;
    const size_t lineBytes = size_t(a.width()) * size_t(a.depth()) / 8;
    for (int y = 0; y < a.height(); ++y) {
        if (std::memcmp(a.constScanLine(y), b.constScanLine(y), lineBytes) != 0)
            return false;
    }
    return true;
}

} // namespace

FrameHistory::FrameHistory(int maxPending, int quality)
    : m_maxPending(qMax(1, maxPending))
    , m_quality(qBound(1, quality, 100))
    , m_fd(openUnlinkedTempFile())
    , m_worker([this] { run(); })
{
}

FrameHistory::~FrameHistory()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_worker.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

int FrameHistory::append(const QImage &frame)
{
    std::unique_lock lock(m_mutex);
    m_progress.wait(lock, [this] { return int(m_pending.size()) < m_maxPending; });
    m_pending.push_back(frame);
    const int index = int(m_entries.size() + m_pending.size()) - 1;
    lock.unlock();
    m_wake.notify_one();
    return index;
}

int FrameHistory::size() const
{
    std::lock_guard lock(m_mutex);
    return int(m_entries.size() + m_pending.size());
}

QImage FrameHistory::frame(int index, const QSize &minimumSize) const
{
    std::unique_lock lock(m_mutex);
    if (index < 0)
        return {};
    const auto stored = m_entries.size();
    if (size_t(index) >= stored) {
        const size_t pendingIndex = size_t(index) - stored;
        return pendingIndex < m_pending.size() ? m_pending[pendingIndex] : QImage();
    }
    const Entry entry = m_entries[size_t(index)];
    lock.unlock();

    if (entry.size == 0)
        return {};
    if (!entry.inMemory.isEmpty())
        return decompress(entry.inMemory, minimumSize);
    QByteArray data(entry.size, Qt::Uninitialized);
    if (!readAll(m_fd, data.data(), entry.size, entry.offset))
        return {};
    return decompress(data, minimumSize);
}

void FrameHistory::waitUntilStored() const
{
    std::unique_lock lock(m_mutex);
    m_progress.wait(lock, [this] { return m_pending.empty(); });
}

qint64 FrameHistory::storedBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_fileEnd + m_bytesInMemory;
}

qint64 FrameHistory::bytesInMemory() const
{
    std::lock_guard lock(m_mutex);
    return m_bytesInMemory;
}

void FrameHistory::run()
{
    QImage previous;     // the last frame compressed, to spot repeats
    Entry previousEntry; // and where it went
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_pending.empty(); });
        if (m_pending.empty())
            return; // stopping, and nothing left to store
        const QImage image = m_pending.front();
        lock.unlock();

        Entry entry;
        const bool repeat = samePixels(image, previous);
        const QByteArray data = repeat ? QByteArray() : compress(image);
        if (repeat) {
            entry = previousEntry; // a still screen costs no compression and no space
        } else if (!data.isEmpty()) {
            entry.size = data.size();
            entry.offset = m_fileEnd;
            if (m_fd >= 0 && writeAll(m_fd, data.constData(), data.size(), m_fileEnd))
                m_fileEnd += data.size();
            else
                entry.inMemory = data; // disk full or no temp file: keep the frame anyway
        }

        if (!repeat) {
            previous = image;
            previousEntry = entry;
        }

        lock.lock();
        if (!repeat)
            m_bytesInMemory += entry.inMemory.size();
        m_entries.push_back(std::move(entry));
        m_pending.pop_front();
        m_progress.notify_all();
    }
}

QByteArray FrameHistory::compress(const QImage &frame) const
{
    return encodeJpeg(frame, m_quality, ChromaSubsampling::Full);
}

QImage FrameHistory::decompress(const QByteArray &data, const QSize &minimumSize)
{
    return decodeJpeg(data, minimumSize);
}
