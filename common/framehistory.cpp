#include "framehistory.h"

#include "jpegcodec.h"
#include "parallel.h"
#include "turbojpeghandles.h"

#include <QDir>
#include <QHashFunctions>


#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <tuple>
#include <iostream>
#include <unistd.h>
#include <unordered_map>

namespace {


// Patches are cut at this column grid, which keeps them on whole blocks at every decode scale.
constexpr int kColumnStep = 16;

int openUnlinkedTempFile(const QString &directory)
{
    QByteArray pattern = (directory.isEmpty() ? QDir::tempPath() : directory).toLocal8Bit() + "/deskcast-history-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd >= 0)
        ::unlink(pattern.constData()); // the data lives until the descriptor is closed
    return fd;
}

// 0 on success, else the errno of the failure.
int writeAll(int fd, const char *data, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        data += n;
        size -= n;
        offset += n;
    }
    return 0;
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

// Columns [x0, x1) of rows [first, first + rows) that differ between two images of one size,
// widened to the column grid; x0 == x1 when none differ.
std::pair<int, int> changedColumns(const QImage &a, const QImage &b, int first, int rows, int bFirst)
{
    const int width = a.width();
    int left = width;
    int right = 0;
    for (int y = 0; y < rows; ++y) {
        const auto *la = reinterpret_cast<const quint32 *>(a.constScanLine(first + y));
        const auto *lb = reinterpret_cast<const quint32 *>(b.constScanLine(bFirst + y));
        int x = 0;
        while (x < left && la[x] == lb[x])
            ++x;
        if (x == width)
            continue; // row unchanged
        left = std::min(left, x);
        int r = width;
        while (r > right && la[r - 1] == lb[r - 1])
            --r;
        right = std::max(right, r);
    }
    if (left >= right)
        return {0, 0};
    return {left / kColumnStep * kColumnStep, std::min(width, (right + kColumnStep - 1) / kColumnStep * kColumnStep)};
}

} // namespace

// The worker's side: the file, the records by hash, and per band index the base that patches of
// that band are cut against. Only the worker thread touches it.
class FrameHistory::Store
{
public:
    Store(FrameHistory &history, int quality)
        : m_history(history)
        , m_quality(quality)
    {
    }

    Result store(const QImage &image, const BandMap &changes);
    Result refuse()
    {
        m_previous.reset(); // the next frame's change map is against a frame not kept
        return {};
    }

private:
    struct Band
    {
        QImage base;              // the pixels of the base record (rows of this band only)
        quint32 record = NoRecord; // the base record
    };
    struct Pending // a record this frame needs
    {
        QByteArray data;
        int x = 0;
        quint32 index = NoRecord;
    };

    // The index of a stored record equal to `data` at `x`, or of a new one queued in `batch`.
    quint32 intern(QByteArray data, int x, std::vector<Pending> &batch);

    FrameHistory &m_history;
    const int m_quality;
    qint64 m_fileEnd = 0;
    bool m_full = false;
    QSize m_size;
    std::vector<Band> m_bands;
    Refs m_previous; // the last frame's references, for its unchanged bands
    std::unordered_multimap<size_t, quint32> m_byHash;
    quint32 m_recordCount = 0;
};

quint32 FrameHistory::Store::intern(QByteArray data, int x, std::vector<Pending> &batch)
{
    const size_t hash = qHashBits(data.constData(), size_t(data.size()), size_t(x));
    const auto range = m_byHash.equal_range(hash);
    QByteArray stored;
    for (auto it = range.first; it != range.second; ++it) {
        const quint32 index = it->second;
        if (index >= m_recordCount - quint32(batch.size())) { // queued by this frame
            const Pending &p = batch[index - (m_recordCount - quint32(batch.size()))];
            if (p.x == x && p.data == data)
                return index;
            continue;
        }
        Record record;
        {
            std::lock_guard lock(m_history.m_recordMutex);
            record = m_history.m_records[index];
        }
        if (record.x != x || record.size != data.size())
            continue;
        stored.resize(record.size);
        if (readAll(m_history.m_fd, stored.data(), record.size, record.offset) && stored == data)
            return index;
    }
    const quint32 index = m_recordCount++;
    m_byHash.emplace(hash, index);
    batch.push_back({std::move(data), x, index});
    return index;
}

FrameHistory::Result FrameHistory::Store::store(const QImage &image, const BandMap &changes)
{
    Result result;
    if (image.isNull()) {
        m_previous.reset();
        return result;
    }
    QImage frame = image;
    if (frame.format() != QImage::Format_RGB32 && frame.format() != QImage::Format_ARGB32)
        frame = frame.convertToFormat(QImage::Format_RGB32);
    const int bands = BandMap::bandCount(frame.height());
    if (frame.size() != m_size) {
        m_size = frame.size();
        m_bands.assign(size_t(bands), Band());
        m_previous.reset();
    }
    const bool mapFits = m_previous && changes.height() == frame.height() && changes.count() == bands;

    // Encode what each changed band needs, on every core: nothing (back to its base), a patch of
    // the columns that differ from the base, or a new base when most of the band differs.
    struct Work
    {
        bool reuse = false;
        bool newBase = false;
        int x = 0;
        QByteArray data;
    };
    std::vector<Work> work(static_cast<size_t>(bands));
    std::vector<int> todo;
    for (int band = 0; band < bands; ++band) {
        if (mapFits && !changes.changed(band))
            work[size_t(band)].reuse = true;
        else
            todo.push_back(band);
    }
    const int width = frame.width();
    parallelFor(int(todo.size()), [&](int i) {
        const int band = todo[size_t(i)];
        Work &w = work[size_t(band)];
        const Band &state = m_bands[size_t(band)];
        const int first = BandMap::firstRow(band);
        const int rows = BandMap::rowCount(band, frame.height());
        int x0 = 0;
        int x1 = width;
        if (state.record != NoRecord)
            std::tie(x0, x1) = changedColumns(frame, state.base, first, rows, 0);
        if (x0 == x1)
            return; // the band is its base again
        w.newBase = state.record == NoRecord || 2 * (x1 - x0) > width;
        if (w.newBase) {
            x0 = 0;
            x1 = width;
        }
        w.x = w.newBase ? 0 : x0;
        const QImage part(frame.constScanLine(first) + size_t(x0) * 4, x1 - x0, rows, frame.bytesPerLine(),
                          QImage::Format_RGB32);
        w.data = encodeJpeg(part, m_quality, ChromaSubsampling::Full);
    });

    // Intern the records in band order and write the new ones in one go.
    auto refs = std::make_shared<std::vector<BandRef>>(size_t(bands));
    std::vector<Pending> batch;
    bool encodeFailed = false;
    for (int band = 0; band < bands; ++band) {
        Work &w = work[size_t(band)];
        BandRef &ref = (*refs)[size_t(band)];
        if (w.reuse) {
            ref = (*m_previous)[size_t(band)];
        } else if (w.data.isEmpty() && !w.newBase && m_bands[size_t(band)].record != NoRecord) {
            ref.base = m_bands[size_t(band)].record;
        } else if (w.data.isEmpty()) {
            encodeFailed = true;
        } else if (w.newBase) {
            ref.base = intern(std::move(w.data), 0, batch);
        } else {
            ref.base = m_bands[size_t(band)].record;
            ref.patch = intern(std::move(w.data), w.x, batch);
        }
    }

    QByteArray blob;
    std::vector<Record> records;
    qint64 offset = m_fileEnd;
    for (const Pending &p : batch) {
        records.push_back({offset, int(p.data.size()), p.x});
        offset += p.data.size();
        blob += p.data;
    }
    int error = 0;
    if (!encodeFailed && !batch.empty()) {
        error = m_full ? ENOSPC : (m_history.m_fd < 0 ? EBADF : writeAll(m_history.m_fd, blob.constData(), blob.size(), m_fileEnd));
    }
    if (encodeFailed || error != 0) {
        // Forget this frame's new records: nothing refers to them.
        for (const Pending &p : batch) {
            const size_t hash = qHashBits(p.data.constData(), size_t(p.data.size()), size_t(p.x));
            const auto range = m_byHash.equal_range(hash);
            for (auto it = range.first; it != range.second; ++it) {
                if (it->second == p.index) {
                    m_byHash.erase(it);
                    break;
                }
            }
        }
        m_recordCount -= quint32(batch.size());
        if (error != 0 && !m_full) {
            m_full = true;
            result.failure = QString::fromLocal8Bit(std::strerror(error));
        }
        m_previous.reset();
        return result;
    }
    {
        std::lock_guard lock(m_history.m_recordMutex);
        m_history.m_records.insert(m_history.m_records.end(), records.begin(), records.end());
    }
    m_fileEnd = offset;
    result.bytes = blob.size();

    // New bases become what later patches of their band are cut against.
    for (int band = 0; band < bands; ++band) {
        if (!work[size_t(band)].newBase)
            continue;
        Band &state = m_bands[size_t(band)];
        state.record = (*refs)[size_t(band)].base;
        state.base = frame.copy(0, BandMap::firstRow(band), width, BandMap::rowCount(band, frame.height()));
    }
    // A still frame shares the list of the frame before.
    if (m_previous && *m_previous == *refs)
        refs = std::const_pointer_cast<std::vector<BandRef>>(m_previous);
    m_previous = refs;
    result.stored = {frame.size(), refs};
    return result;
}

FrameHistory::FrameHistory(int capacity, int quality, const QString &directory)
    : m_fd(openUnlinkedTempFile(directory))
    , m_store(std::make_unique<Store>(*this, qBound(1, quality, 100)))
    , m_worker(std::make_unique<OrderedWorker>(std::max(1, capacity)))
{
}

FrameHistory::~FrameHistory()
{
    m_worker.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

int FrameHistory::append(const QImage &frame, const BandMap &changes)
{
    const int index = size();
    Store *store = m_store.get();
    const auto done = [this](Result result) { settle(std::move(result)); };
    if (frame.isNull() || !m_worker->tryPost([store, frame, changes] { return store->store(frame, changes); }, done)) {
        // Not kept: a small job in its place keeps the order and tells the worker.
        m_worker->post([store] { return store->refuse(); }, done);
        m_waiting.emplace_back();
        return index;
    }
    m_waiting.push_back(frame);
    return index;
}

void FrameHistory::settle(Result result)
{
    m_waiting.pop_front();
    m_frames.push_back(std::move(result.stored));
    m_storedBytes += result.bytes;
    if (!result.failure.isEmpty() && !m_full) {
        m_full = true;
        std::cout << "History file full (" << result.failure.toLatin1().constData() << "): frames from "
                  << m_frames.size() - 1 << " on are kept only where they repeat stored bands" << std::endl;
    }
}

void FrameHistory::waitUntilStored()
{
    m_worker->drain();
}

QImage FrameHistory::frame(int index, const QSize &minimumSize) const
{
    if (index < 0 || index >= size())
        return {};
    if (size_t(index) >= m_frames.size())
        return m_waiting[size_t(index) - m_frames.size()];
    return decode(m_frames[size_t(index)], minimumSize);
}

QImage FrameHistory::decode(const Stored &stored, const QSize &minimumSize) const
{
    if (!stored.refs || stored.size.isEmpty())
        return {};
    // Scale by 1/2, 1/4 or 1/8: bands (16 rows) and patch columns (16-pixel grid) stay on whole
    // scaled pixels.
    int divisor = 1;
    while (divisor < 8 && minimumSize.isValid()
           && (stored.size.width() + 2 * divisor - 1) / (2 * divisor) >= minimumSize.width()
           && (stored.size.height() + 2 * divisor - 1) / (2 * divisor) >= minimumSize.height())
        divisor *= 2;
    const auto scaled = [divisor](int n) { return (n + divisor - 1) / divisor; };
    QImage image(scaled(stored.size.width()), scaled(stored.size.height()), QImage::Format_RGB32);
    if (image.isNull())
        return {};

    const std::vector<BandRef> &refs = *stored.refs;
    std::vector<std::pair<Record, Record>> records(refs.size());
    {
        std::lock_guard lock(m_recordMutex);
        for (size_t band = 0; band < refs.size(); ++band) {
            records[band].first = m_records[refs[band].base];
            if (refs[band].patch != NoRecord)
                records[band].second = m_records[refs[band].patch];
        }
    }
    std::atomic<bool> failed{false};
    parallelFor(int(refs.size()), [&](int band) {
        const int firstRow = BandMap::firstRow(band) / divisor;
        const int rows = scaled(BandMap::rowCount(band, stored.size.height()));
        QByteArray data;
        for (const Record &record : {records[size_t(band)].first, records[size_t(band)].second}) {
            if (record.size == 0)
                continue;
            data.resize(record.size);
            tjhandle handle = threadJpegDecompressor();
            int width = 0;
            int height = 0;
            int subsampling = 0;
            int colorspace = 0;
            auto *bytes = reinterpret_cast<unsigned char *>(data.data());
            const int x = record.x / divisor;
            if (!handle || !readAll(m_fd, data.data(), record.size, record.offset)
                || tjDecompressHeader3(handle, bytes, static_cast<unsigned long>(data.size()), &width, &height,
                                       &subsampling, &colorspace) != 0
                || scaled(height) != rows || x + scaled(width) > image.width()
                || tjDecompress2(handle, bytes, static_cast<unsigned long>(data.size()),
                                 image.scanLine(firstRow) + size_t(x) * 4, scaled(width), int(image.bytesPerLine()),
                                 rows, RGB32PixelFormat, 0) != 0) {
                failed = true;
                return;
            }
        }
    });
    return failed ? QImage() : image;
}
