#include "framehistory.h"

#include "bandedjpeg.h"
#include "fileio.h"
#include "frameconsole.h"
#include "jpegcodec.h"
#include "monotonicclock.h"
#include "parallel.h"
#include "turbojpeghandles.h"
#include "videodecoder.h"
#include "videoencoder.h"

extern "C" {
#include <libavcodec/packet.h>
}

#include <QDir>
#include <QFile>
#include <QHash>
#include <QHashFunctions>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sys/statvfs.h>
#include <tuple>
#include <unistd.h>
#include <unordered_map>

namespace {


// Patches are cut at this column grid, which keeps them on whole blocks at every decode scale.
constexpr int kColumnStep = 16;

// Opens an unlinked file in `directory`, or with none given in $TMPDIR (else /tmp). A folder that
// cannot be used is named in one line and /tmp is tried instead; `folder` is where the file was
// made, `error` the errno of the last failure when none could be made (fd -1).
int openUnlinkedTempFile(const QString &directory, QString &folder, int &error)
{
    const QString fallback = QStringLiteral("/tmp");
    QString wanted = directory.isEmpty() ? qEnvironmentVariable("TMPDIR") : directory;
    if (wanted.isEmpty())
        wanted = fallback;
    QStringList candidates{wanted};
    if (QDir::cleanPath(wanted) != fallback)
        candidates << fallback;
    for (const QString &candidate : std::as_const(candidates)) {
        QByteArray pattern = QFile::encodeName(candidate) + "/deskcast-history-XXXXXX";
        const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd >= 0) {
            ::unlink(pattern.constData()); // the data lives until the descriptor is closed
            folder = candidate;
            error = 0;
            return fd;
        }
        error = errno;
        FrameConsole::instance().report(StageEvent::failed(
            "History folder " + candidate.toStdString() + " cannot be used (" + std::strerror(error) + ")"
            + (candidate != candidates.constLast() ? ": using " + fallback.toStdString() + " instead"
                                                   : std::string(": no frame will be kept"))));
    }
    return -1;
}

// Another segment file beside the first, in `folder`: -1 with errno when it cannot be made.
int openSegmentFile(const QString &folder)
{
    QByteArray pattern = QFile::encodeName(folder) + "/deskcast-history-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0)
        ::unlink(pattern.constData());
    return fd;
}

constexpr qint64 kMinSegmentBytes = 256 * 1024;
constexpr qint64 kDiskCheckMs = 1000;
constexpr qint64 kDiskCheckBytes = 16 * 1024 * 1024;

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


// libjpeg's YCbCr -> RGB conversion in 16-bit fixed point (the decoder's own tables, so that
// the result is the decoder's to the bit).
struct ColourTables
{
    int crR[256];
    int cbB[256];
    int crG[256];
    int cbG[256];
    ColourTables()
    {
        constexpr int half = 1 << 15;
        for (int i = 0; i < 256; ++i) {
            const int x = i - 128;
            crR[i] = (91881 * x + half) >> 16;  // 1.40200
            cbB[i] = (116130 * x + half) >> 16; // 1.77200
            crG[i] = -46802 * x;                // 0.71414
            cbG[i] = -22554 * x + half;         // 0.34414
        }
    }
};

inline quint8 clampByte(int v)
{
    return quint8(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// One output row's worth of a 4:2:0 chroma plane brought to full width, as the decoder's
// smooth ("fancy") upsampling does: `near` is the chroma row the output row lies in, `far` the
// one above it (even rows) or below it (odd rows), each weighted 3:1, then the same across
// columns. Planes of one or two columns are replicated instead, as the decoder does.
void upsampleRow(const quint8 *near, const quint8 *far, int chromaWidth, int width, int *out)
{
    if (chromaWidth <= 2) {
        for (int x = 0; x < width; ++x)
            out[x] = near[x / 2];
        return;
    }
    int last = 0;
    int current = near[0] * 3 + far[0];
    int next = near[1] * 3 + far[1];
    out[0] = (current * 4 + 8) >> 4;
    out[1] = (current * 3 + next + 7) >> 4;
    last = current;
    current = next;
    for (int i = 1; i < chromaWidth - 1; ++i) {
        next = near[i + 1] * 3 + far[i + 1];
        out[2 * i] = (current * 3 + last + 8) >> 4;
        out[2 * i + 1] = (current * 3 + next + 7) >> 4;
        last = current;
        current = next;
    }
    out[2 * chromaWidth - 2] = (current * 3 + last + 8) >> 4;
    out[2 * chromaWidth - 1] = (current * 4 + 7) >> 4; // `out` holds width + 1 entries
}

} // namespace

// The worker's side: the file, the table of records by hash, and per band index the base that
// patches of that band are cut against. Only the worker thread touches it.
class FrameHistory::Store
{
public:
    Store(FrameHistory &history, int quality)
        : m_history(history)
        , m_quality(quality)
        , m_table(size_t(DedupEntries))
    {
    }

    // Stores a frame; under a limit, a disk found full lets the oldest segment go and the frame
    // is stored again, in a new segment.
    Result store(const QImage &image, const BandMap &changes, std::shared_ptr<const JpegBands> coded, qint64 timeMs)
    {
        Result result = storeOnce(image, changes, coded, timeMs);
        if (!result.needsRoom)
            return result;
        // A second refusal is a full file: the retry's result says the disk was full.
        return storeOnce(image, changes, std::move(coded), timeMs, makeRoom());
    }
    void setFirstSegment(std::shared_ptr<Segment> segment) { m_current = std::move(segment); }
    Result refuse()
    {
        m_previous.reset(); // the next frame's change map is against a frame not kept
        m_lastStored = false;
        m_encoderFollows = false;
        Result result;
        result.keptFrom = m_keptStart;
        result.diskBytes = m_fileEnd - qint64(m_keptStart);
        return result;
    }

private:
    struct Band
    {
        // The pixels of the base record: rows baseRow .. baseRow + 15 of `base`, which is either
        // this band's own copy (baseRow 0) or, after a frame that was new in every band, that
        // whole frame, shared by all bands (so at most one frame is held beyond the copies).
        QImage base;
        int baseRow = 0;
        PartRef record; // the base record (size 0: none yet)
    };
    struct Pending // a record this frame adds to the file
    {
        QByteArray data;
        PartRef ref;
        size_t hash = 0;
    };
    // A slot of the table: a stored record by its hash (size 0: empty). Four slots make a set;
    // a full set forgets its oldest record.
    struct Entry
    {
        quint64 offset = 0;
        quint32 size = 0;
        quint32 tag = 0; // high half of the hash
        quint16 column = 0;
        quint16 header = 0;
    };
    static constexpr int Ways = 4;

public:
    static constexpr size_t EntryBytes = sizeof(Entry);

private:

    // A stored record equal to `data` at `column` with `header`, or a new one added to `batch`
    // (its offset where the batch will put it); none when `header` does not fit.
    PartRef intern(QByteArray data, int column, quint32 header, std::vector<Pending> &batch);
    quint32 internHeader(const QByteArray &header);
    void remember(const Pending &pending);
    // Before a frame is stored: looks at the limit, begins a new segment when the current one is
    // full and lets the oldest go while the kept ones and the rest of the current one would
    // not fit the limit.
    void keepWithinLimit(Result &result);
    void beginSegment(Result &result);
    Result storeOnce(const QImage &image, const BandMap &changes, std::shared_ptr<const JpegBands> coded, qint64 timeMs,
                     Result result = {});
    // After the disk was found full: lets the oldest segment go (the current one too, when it is
    // the only one), gives its space back, and begins a new segment.
    Result makeRoom();
    // Writes `batch` at the end of the current segment and remembers its records for reuse;
    // false when the file refuses it (the first refusal is said in `result`).
    bool commit(const std::vector<Pending> &batch, bool rememberRecords, Result &result);
    // Moving pictures: stores the frame as video; false when the encoder cannot take it (then
    // it goes to the bands).
    bool storeMoving(const QImage &frame, const BandMap &changes, int changedBands, qint64 timeMs, Result &result);
    void leaveMoving();

    FrameHistory &m_history;
    const int m_quality;
    qint64 m_fileEnd = 0;
    bool m_full = false;
    QSize m_size;
    std::vector<Band> m_bands;
    Refs m_previous; // the last frame's references, for its unchanged bands
    quint64 m_previousFrame = NotKept; // and its frame record
    std::vector<BandRef> m_key; // the references of the last full frame record
    quint64 m_keyRecord = NotKept; // and where it lies
    std::vector<Entry> m_table;
    QHash<QByteArray, quint32> m_headerIds;
    std::shared_ptr<Segment> m_current; // the segment written to (null: no file)
    quint64 m_currentStart = 0;
    quint64 m_keptStart = 0;            // the oldest kept segment's start
    qint64 m_segmentBytes = 0;          // 0 until the limit is first looked at
    qint64 m_budget = std::numeric_limits<qint64>::max();
    qint64 m_checkedMs = 0;
    qint64 m_checkedEnd = 0;

    // Moving pictures (see the class comment).
    std::unique_ptr<VideoEncoder> m_video;
    bool m_videoFailed = false;        // no encoder could be opened: bands only
    bool m_moving = false;             // frames go to the encoder
    bool m_lastStored = false;         // the frame appended before came through store()
    bool m_encoderFollows = false;     // the encoder's last frame is the frame appended before
    int m_movingStreak = 0;            // frames in a row with most bands changed
    int m_groupFrames = 0;             // frames of the current group (0: the next one is a keyframe)
    qint64 m_groupChanged = 0;         // bands changed in them
    quint64 m_videoPrevious = NotKept; // the record of the group's frame before
    qint64 m_videoClock = 0;
};

void FrameHistory::Store::keepWithinLimit(Result &result)
{
    const qint64 limit = m_history.m_limit;
    if (limit == NoLimit || !m_current)
        return;
    const qint64 now = monotonicMs();
    const qint64 kept = m_fileEnd - qint64(m_keptStart);
    if (m_segmentBytes == 0
        || (limit == FromDisk && (now - m_checkedMs >= kDiskCheckMs || m_fileEnd - m_checkedEnd >= kDiskCheckBytes))) {
        m_checkedMs = now;
        m_checkedEnd = m_fileEnd;
        struct statvfs disk {};
        if (limit != FromDisk)
            m_budget = limit;
        else if (::statvfs(QFile::encodeName(m_history.m_folder).constData(), &disk) == 0)
            m_budget = diskBudget(qint64(disk.f_blocks) * qint64(disk.f_frsize),
                                  qint64(disk.f_bavail) * qint64(disk.f_frsize), kept);
        if (m_segmentBytes == 0)
            m_segmentBytes = std::max(kMinSegmentBytes, std::min(m_budget, qint64(1) << 50) / 16);
    } else if (limit != FromDisk && m_budget != limit && now - m_checkedMs >= kDiskCheckMs) {
        m_budget = limit; // a second after the disk was full: it may have room again
    }
    if (m_fileEnd - qint64(m_currentStart) >= m_segmentBytes)
        beginSegment(result);
    const qint64 rest = std::max<qint64>(0, m_segmentBytes - (m_fileEnd - qint64(m_currentStart)));
    quint64 keptFrom = m_keptStart;
    {
        std::lock_guard lock(m_history.m_segmentMutex);
        auto &segments = m_history.m_segments;
        while (segments.size() > 1 && segments.begin()->second != m_current
               && m_fileEnd - qint64(segments.begin()->first) + rest > m_budget) {
            segments.erase(segments.begin()); // closed here or by its last reader
            keptFrom = segments.begin()->first;
        }
    }
    if (keptFrom != m_keptStart) {
        m_keptStart = keptFrom;
        result.budget = m_budget;
    }
}

void FrameHistory::Store::beginSegment(Result &result)
{
    const int fd = openSegmentFile(m_history.m_folder);
    if (fd < 0)
        return; // the current one grows on
    m_current = std::make_shared<Segment>(fd, quint64(m_fileEnd));
    m_currentStart = quint64(m_fileEnd);
    {
        std::lock_guard lock(m_history.m_segmentMutex);
        m_history.m_segments.emplace(m_currentStart, m_current);
    }
    // Nothing of the segments before is used from here on: the history begins again.
    std::fill(m_table.begin(), m_table.end(), Entry{});
    m_size = QSize();
    m_bands.clear();
    m_previous.reset();
    m_previousFrame = NotKept;
    m_key.clear();
    m_keyRecord = NotKept;
    m_groupFrames = 0; // a video frame begins a group again
    m_videoPrevious = NotKept;
    result.segmentStart = m_currentStart;
}

quint32 FrameHistory::Store::internHeader(const QByteArray &header)
{
    const auto it = m_headerIds.constFind(header);
    if (it != m_headerIds.constEnd())
        return it.value();
    std::lock_guard lock(m_history.m_headerMutex);
    const auto id = quint32(m_history.m_headers.size());
    m_history.m_headers.push_back(header);
    m_headerIds.insert(header, id);
    return id;
}

namespace {

// The column and header that mark a frame record (never those of a band record).
constexpr quint16 kFrameRecordTag = 0xffff;

// How much a frame of `size` may be shrunk for display (1, 2, 4 or 8) and stay at least
// `minimumSize` (none given: not at all).
int shrinkDivisor(QSize size, QSize minimumSize)
{
    int divisor = 1;
    while (divisor < 8 && minimumSize.isValid()
           && (size.width() + 2 * divisor - 1) / (2 * divisor) >= minimumSize.width()
           && (size.height() + 2 * divisor - 1) / (2 * divisor) >= minimumSize.height())
        divisor *= 2;
    return divisor;
}

// Moving pictures: the coder's settings, and what FrameRecordHead::bands says of a video frame
// record (whose `entries` is then its packet's size and `key` the group's frame before it).
constexpr int kMovingQuality = 23;
constexpr quint32 kVideoRecord = 0xffffffff;
constexpr qint64 kMovingKbpsPerMegapixel = 1750; // 3.6 Mb/s at 1920x1080
constexpr qint64 kMovingMinKbps = 400;
constexpr quint32 kMaxPacketBytes = 64 * 1024 * 1024;

// A frame record: this head, then either every band's references (a full record: `key` is
// ~0) or only the bands that differ from the full record at `key`, each as a DeltaEntry. A
// frame thus reads from at most two frame records, and a frame where a few bands change costs
// a few dozen bytes of file.
struct FrameRecordHead
{
    quint32 width = 0;
    quint32 height = 0;
    quint32 bands = 0;
    quint32 entries = 0; // references that follow
    quint64 key = ~quint64(0);
};

size_t recordHash(const QByteArray &data, int column, quint32 header)
{
    return qHashBits(data.constData(), size_t(data.size()), (size_t(header) << 20) ^ size_t(column));
}

} // namespace

FrameHistory::PartRef FrameHistory::Store::intern(QByteArray data, int column, quint32 header,
                                                  std::vector<Pending> &batch)
{
    if (header > 0xffff || column > 0xffff || data.isEmpty())
        return {};
    const size_t hash = recordHash(data, column, header);
    const auto tag = quint32(quint64(hash) >> 32);
    for (const Pending &p : batch) {
        if (p.hash == hash && p.ref.column == column && p.ref.header == header && p.data == data)
            return p.ref;
    }
    const size_t set = (hash & (size_t(DedupEntries / Ways) - 1)) * Ways;
    QByteArray stored;
    for (int way = 0; way < Ways; ++way) {
        const Entry &e = m_table[set + size_t(way)];
        if (e.size == 0 || e.tag != tag || e.size != quint32(data.size()) || e.column != column || e.header != header)
            continue;
        stored.resize(qsizetype(e.size));
        if (m_history.readAt(stored.data(), e.size, e.offset) && stored == data)
            return {e.offset, e.size, quint16(column), quint16(header)};
    }
    quint64 offset = quint64(m_fileEnd);
    for (const Pending &p : batch)
        offset += p.ref.size;
    Pending pending;
    pending.ref = {offset, quint32(data.size()), quint16(column), quint16(header)};
    pending.hash = hash;
    pending.data = std::move(data);
    batch.push_back(std::move(pending));
    return batch.back().ref;
}

void FrameHistory::Store::remember(const Pending &pending)
{
    const size_t set = (pending.hash & (size_t(DedupEntries / Ways) - 1)) * Ways;
    Entry *slot = &m_table[set];
    for (int way = 0; way < Ways; ++way) {
        Entry &e = m_table[set + size_t(way)];
        if (e.size == 0) {
            slot = &e;
            break;
        }
        if (e.offset < slot->offset)
            slot = &e; // the oldest goes
    }
    *slot = {pending.ref.offset, pending.ref.size, quint32(quint64(pending.hash) >> 32), pending.ref.column,
             pending.ref.header};
}

FrameHistory::Result FrameHistory::Store::makeRoom()
{
    Result result;
    result.diskFull = true;
    // The part of the current segment that the failed write may have added goes back too.
    if (m_current && ::ftruncate(m_current->fd, m_fileEnd - qint64(m_currentStart)) != 0) {
        // then only the segment let go gives space back
    }
    bool currentGone = false;
    {
        std::lock_guard lock(m_history.m_segmentMutex);
        auto &segments = m_history.m_segments;
        if (!segments.empty())
            segments.erase(segments.begin()); // closed here or by its last reader
        currentGone = segments.empty();       // it was the only one
    }
    if (currentGone)
        m_current.reset();
    beginSegment(result);
    {
        std::lock_guard lock(m_history.m_segmentMutex);
        m_keptStart = m_history.m_segments.empty() ? quint64(m_fileEnd) : m_history.m_segments.begin()->first;
    }
    // Keep within what fitted until the disk is looked at again.
    m_budget = std::max<qint64>(0, m_fileEnd - qint64(m_keptStart));
    m_checkedMs = monotonicMs();
    m_checkedEnd = m_fileEnd;
    result.budget = std::max<qint64>(1, m_budget);
    return result;
}

FrameHistory::Result FrameHistory::Store::storeOnce(const QImage &image, const BandMap &changes,
                                                    std::shared_ptr<const JpegBands> coded, qint64 timeMs, Result result)
{
    if (!result.diskFull) // room was just made
        keepWithinLimit(result);
    result.keptFrom = m_keptStart;
    result.diskBytes = m_fileEnd - qint64(m_keptStart);
    if (image.isNull()) {
        m_previous.reset();
        m_lastStored = false;
        m_encoderFollows = false;
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

    // Moving pictures go to the video coder (see the class comment).
    const bool mapValid = m_lastStored && changes.height() == frame.height() && changes.count() == bands;
    m_lastStored = true;
    const int changedBands = mapValid ? changes.changedCount() : bands;
    m_movingStreak = 2 * changedBands > bands ? m_movingStreak + 1 : 0;
    if (m_moving && m_groupFrames >= GroupFrames) {
        if (m_groupChanged * 8 < qint64(GroupFrames) * bands)
            leaveMoving();
        m_groupFrames = 0;
        m_groupChanged = 0;
    }
    if (!m_moving && m_movingStreak >= MovingFrames && !m_videoFailed && m_history.m_movingAsVideo) {
        m_moving = true;
        m_groupFrames = 0;
        m_groupChanged = 0;
        m_videoPrevious = NotKept;
    }
    if (m_moving) {
        if (storeMoving(frame, changes, changedBands, timeMs, result))
            return result;
        leaveMoving();
    }
    if (coded && (coded->size != frame.size() || coded->quality != m_quality || int(coded->segments.size()) != bands
                  || coded->header.isEmpty()))
        coded.reset();
    const bool mapFits = m_previous && changes.height() == frame.height() && changes.count() == bands;

    // What each changed band needs, on every core: nothing (back to its base), a patch of the
    // columns that differ from the base, or a new base when most of the band differs. A new base
    // is the shared coder's segment when it coded the band; a patch is coded here and kept only
    // when it is smaller than that segment.
    struct Work
    {
        bool reuse = false;
        bool newBase = false;
        bool taken = false;   // the record is the saver's segment
        bool encoded = false; // coded here (kept or not)
        int x = 0;
        QByteArray header;
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
        if (state.record.size != 0)
            std::tie(x0, x1) = BandMap::changedColumns(frame, state.base, first, rows, state.baseRow, kColumnStep);
        if (x0 == x1)
            return; // the band is its base again
        w.newBase = state.record.size == 0 || 2 * (x1 - x0) > width;
        const bool codedWhole = coded && !coded->segments[size_t(band)].isEmpty();
        if (w.newBase && codedWhole) {
            w.taken = true;
            return;
        }
        if (w.newBase) {
            x0 = 0;
            x1 = width;
        }
        w.x = x0;
        const QImage part(frame.constScanLine(first) + size_t(x0) * 4, x1 - x0, rows, frame.bytesPerLine(),
                          QImage::Format_RGB32);
        w.encoded = true;
        if (!splitJpeg(encodeJpeg(part, m_quality, ChromaSubsampling::Half), &w.header, &w.data))
            w.data.clear();
        if (codedWhole && !w.newBase && !w.data.isEmpty() && w.data.size() >= coded->segments[size_t(band)].size()) {
            // The whole band costs no more than the patch.
            w.newBase = w.taken = true;
            w.x = 0;
            w.data.clear();
        }
    });

    // Intern the records in band order and write the new ones in one go.
    auto refs = std::make_shared<std::vector<BandRef>>(size_t(bands));
    std::vector<Pending> batch;
    bool encodeFailed = false;
    for (int band = 0; band < bands; ++band) {
        Work &w = work[size_t(band)];
        BandRef &ref = (*refs)[size_t(band)];
        const PartRef kept = m_bands[size_t(band)].record;
        result.encoded += w.encoded ? 1 : 0;
        if (w.reuse) {
            ref = (*m_previous)[size_t(band)];
        } else if (w.taken) {
            QByteArray header = coded->header;
            if (!setJpegSize(header, width, BandMap::rowCount(band, frame.height()))) {
                encodeFailed = true;
                continue;
            }
            ref.base = intern(coded->segments[size_t(band)], 0, internHeader(header), batch);
            ++result.taken;
        } else if (w.data.isEmpty() && !w.newBase && kept.size != 0) {
            ref.base = kept;
        } else if (w.data.isEmpty()) {
            encodeFailed = true;
        } else if (w.newBase) {
            ref.base = intern(std::move(w.data), 0, internHeader(w.header), batch);
        } else {
            ref.base = kept;
            ref.patch = intern(std::move(w.data), w.x / kColumnStep, internHeader(w.header), batch);
            encodeFailed |= ref.patch.size == 0;
        }
        encodeFailed |= ref.base.size == 0;
    }

    // A frame like the one before shares its frame record; any other gets one (or an equal one
    // stored before: a blinking cursor's two states).
    quint64 frameRecord = NotKept;
    bool newKey = false;
    if (m_previous && m_previousFrame != NotKept && *m_previous == *refs) {
        refs = std::const_pointer_cast<std::vector<BandRef>>(m_previous);
        frameRecord = m_previousFrame;
    } else if (!encodeFailed) {
        FrameRecordHead head{quint32(frame.width()), quint32(frame.height()), quint32(bands), 0, NotKept};
        std::vector<quint32> differing;
        const bool keyFits = m_keyRecord != NotKept && m_key.size() == refs->size() && m_size == frame.size();
        for (size_t band = 0; keyFits && band < refs->size(); ++band) {
            if (!((*refs)[band] == m_key[band]))
                differing.push_back(quint32(band));
        }
        QByteArray list;
        if (keyFits && differing.size() * 4 <= refs->size()) {
            head.entries = quint32(differing.size());
            head.key = m_keyRecord;
            list.resize(qsizetype(sizeof head + differing.size() * (sizeof(quint32) + sizeof(BandRef))));
            char *at = list.data() + sizeof head;
            for (const quint32 band : differing) {
                std::memcpy(at, &band, sizeof band);
                std::memcpy(at + sizeof band, &(*refs)[band], sizeof(BandRef));
                at += sizeof band + sizeof(BandRef);
            }
        } else {
            head.entries = quint32(bands);
            list.resize(qsizetype(sizeof head + sizeof(BandRef) * refs->size()));
            std::memcpy(list.data() + sizeof head, refs->data(), sizeof(BandRef) * refs->size());
        }
        std::memcpy(list.data(), &head, sizeof head);
        frameRecord = intern(std::move(list), kFrameRecordTag, kFrameRecordTag, batch).offset;
        newKey = head.key == NotKept;
    }

    if (encodeFailed || !commit(batch, true, result)) {
        // This frame's new records are forgotten: nothing refers to them.
        m_previous.reset();
        m_previousFrame = NotKept;
        result.taken = 0; // nothing of this frame is kept; its coding still cost
        return result;
    }

    // New bases become what later patches of their band are cut against.
    const bool allNew = std::all_of(work.begin(), work.end(), [](const Work &w) { return w.newBase; });
    for (int band = 0; band < bands; ++band) {
        if (!work[size_t(band)].newBase)
            continue;
        Band &state = m_bands[size_t(band)];
        state.record = (*refs)[size_t(band)].base;
        const int first = BandMap::firstRow(band);
        const int rows = BandMap::rowCount(band, frame.height());
        if (allNew) {
            state.base = frame; // shared, not copied
            state.baseRow = first;
            continue;
        }
        // Into the band's own buffer: a fresh one per frame would cost page faults on every core.
        if (state.baseRow != 0 || state.base.width() != width || state.base.height() != rows) {
            state.base = QImage(width, rows, QImage::Format_RGB32);
            state.baseRow = 0;
        }
        for (int y = 0; y < rows && !state.base.isNull(); ++y)
            std::memcpy(state.base.scanLine(y), frame.constScanLine(first + y), size_t(width) * 4);
    }
    m_previous = refs;
    m_previousFrame = frameRecord;
    if (newKey) {
        m_key = *refs;
        m_keyRecord = frameRecord;
    }
    result.frame = frameRecord;
    return result;
}

bool FrameHistory::Store::commit(const std::vector<Pending> &batch, bool rememberRecords, Result &result)
{
    if (batch.empty())
        return true;
    QByteArray blob;
    for (const Pending &p : batch)
        blob += p.data;
    const int error = m_full ? ENOSPC
                             : (!m_current ? m_history.m_openError
                                           : writeAll(m_current->fd, blob.constData(), blob.size(),
                                                      m_fileEnd - qint64(m_currentStart)));
    if (error != 0) {
        if (error == ENOSPC && !m_full && !result.diskFull && m_history.m_limit != NoLimit) {
            result.needsRoom = true; // a limit lets old frames go for new ones: make room and try again
            return false;
        }
        if (!m_full) {
            m_full = true;
            result.failure = QString::fromLocal8Bit(std::strerror(error));
        }
        return false;
    }
    if (rememberRecords) {
        for (const Pending &p : batch)
            remember(p);
    }
    m_fileEnd += blob.size();
    result.bytes = blob.size();
    result.diskBytes = m_fileEnd - qint64(m_keptStart);
    for (const Pending &p : batch)
        result.bandBytes += p.ref.column == kFrameRecordTag ? 0 : p.ref.size;
    return true;
}

bool FrameHistory::Store::storeMoving(const QImage &frame, const BandMap &changes, int changedBands, qint64 timeMs,
                                      Result &result)
{
    if (m_video && m_video->frameSize() != frame.size())
        m_video.reset();
    if (!m_video) {
        VideoSettings settings;
        settings.quality = kMovingQuality;
        settings.preset = QStringLiteral("ultrafast");
        settings.zeroLatency = true;
        settings.threads = 1; // the bands' work is on every core; this is one stage of many
        settings.keyframeSeconds = 3600; // the groups' keyframes are asked for
        settings.headersInStream = true;
        // At most about 2 GB an hour for a whole full-HD screen, in proportion for other sizes:
        // noise or a film at full screen would take several times that at the rate factor.
        settings.maxKbps = int(std::max<qint64>(kMovingMinKbps, qint64(frame.width()) * frame.height() * kMovingKbpsPerMegapixel / 1'000'000));
        m_video = std::make_unique<VideoEncoder>(settings);
        std::string error;
        if (!m_video->open(frame.size(), error)) {
            m_video.reset();
            m_videoFailed = true;
            return false;
        }
        m_encoderFollows = false;
    }
    const bool keyframe = m_groupFrames == 0 || m_videoPrevious == NotKept;
    // The encoder keeps the planes of its last frame: the change map says what to convert again
    // only when that frame is the one the map was made against.
    const BandMap map = m_encoderFollows && changes.count() == BandMap::bandCount(frame.height()) ? changes : BandMap();
    std::vector<VideoPacket> packets;
    std::string error;
    // The grab times pace the cap; frames appended without one count as 30 a second.
    m_videoClock = timeMs > m_videoClock ? timeMs : m_videoClock + (timeMs > 0 ? 1 : 33);
    if (!m_video->encode(frame, map, m_videoClock, keyframe, packets, error) || packets.size() != 1
        || packets.front()->size <= 0 || quint32(packets.front()->size) > kMaxPacketBytes) {
        // Without look-ahead every frame gives its packet at once; anything else is a coder
        // this history cannot use.
        m_video.reset();
        m_videoFailed = true;
        return false;
    }
    m_encoderFollows = true;
    const AVPacket &packet = *packets.front();
    FrameRecordHead head{quint32(frame.width()), quint32(frame.height()), kVideoRecord, quint32(packet.size),
                         keyframe ? NotKept : m_videoPrevious};
    Pending record;
    record.data.resize(qsizetype(sizeof head) + packet.size);
    std::memcpy(record.data.data(), &head, sizeof head);
    std::memcpy(record.data.data() + sizeof head, packet.data, size_t(packet.size));
    record.ref = {quint64(m_fileEnd), quint32(record.data.size()), kFrameRecordTag, kFrameRecordTag};
    const std::vector<Pending> batch{record};
    if (!commit(batch, false, result)) {
        m_videoPrevious = NotKept; // the next frame begins a group again
        return true;               // not kept, as any frame the file refuses
    }
    result.bandBytes = packet.size; // the picture's bytes, as a band record's
    m_videoPrevious = record.ref.offset;
    ++m_groupFrames;
    m_groupChanged += changedBands;
    result.frame = record.ref.offset;
    result.video = true;
    return true;
}

void FrameHistory::Store::leaveMoving()
{
    m_moving = false;
    m_encoderFollows = false;
    m_videoPrevious = NotKept;
    m_groupFrames = 0;
    m_groupChanged = 0;
    // The bands' bases are still in the file: the next frame is patched against them, but
    // reuses nothing of the frame before, which was video.
    m_previous.reset();
    m_previousFrame = NotKept;
}

FrameHistory::Segment::~Segment()
{
    if (fd >= 0)
        ::close(fd);
}

FrameHistory::FrameHistory(int capacity, int quality, const QString &directory)
    : m_store(std::make_unique<Store>(*this, quality < 0 ? 75 : qBound(1, quality, 100)))
    , m_worker(std::make_unique<OrderedWorker>(std::max(1, capacity)))
{
    const int fd = openUnlinkedTempFile(directory, m_folder, m_openError);
    if (fd >= 0) {
        auto first = std::make_shared<Segment>(fd, 0);
        m_segments.emplace(0, first);
        m_store->setFirstSegment(std::move(first)); // before the worker has any job
    }
}

FrameHistory::~FrameHistory()
{
    m_worker.reset();
}

struct FrameHistory::VideoReader
{
    VideoDecoder decoder;
    quint64 last = NotKept; // the frame record the decoder decoded last
};

QImage FrameHistory::decodeVideo(quint64 frame, const QSize &minimumSize) const
{
    // The group's records from this frame back to its keyframe.
    std::vector<std::pair<quint64, quint32>> chain; // record, packet bytes
    QSize size;
    for (quint64 at = frame; at != NotKept;) {
        FrameRecordHead head;
        if (chain.size() > size_t(4 * GroupFrames) || !readAt(reinterpret_cast<char *>(&head), sizeof head, qint64(at))
            || head.bands != kVideoRecord || head.width == 0 || head.height == 0 || head.width > 0xffff
            || head.height > 0xffff || head.entries == 0 || head.entries > kMaxPacketBytes
            || (size.isValid() && size != QSize(int(head.width), int(head.height))))
            return {};
        size = QSize(int(head.width), int(head.height));
        chain.emplace_back(at, head.entries);
        at = head.key;
    }
    std::reverse(chain.begin(), chain.end());
    // Shrunk by 2, 4 or 8 as the bands are, for display.
    const int divisor = shrinkDivisor(size, minimumSize);
    const QSize shown((size.width() + divisor - 1) / divisor, (size.height() + divisor - 1) / divisor);

    // The shared decoder, when no other reader has it: it goes on from where it stopped when that
    // lies earlier in this group.
    std::unique_lock lock(m_videoMutex, std::try_to_lock);
    std::unique_ptr<VideoReader> own;
    VideoReader *reader = nullptr;
    if (lock.owns_lock()) {
        if (!m_videoReader)
            m_videoReader = std::make_unique<VideoReader>();
        reader = m_videoReader.get();
    } else {
        own = std::make_unique<VideoReader>();
        reader = own.get();
    }
    size_t next = 0;
    for (size_t i = 0; i < chain.size(); ++i) {
        if (chain[i].first == reader->last)
            next = i + 1;
    }
    if (next == 0)
        reader->decoder.reset();
    reader->last = NotKept;
    for (size_t i = next; i < chain.size(); ++i) {
        QByteArray packet(qsizetype(chain[i].second), Qt::Uninitialized);
        if (!readAt(packet.data(), packet.size(), chain[i].first + sizeof(FrameRecordHead))
            || !reader->decoder.decode(packet))
            return {};
    }
    reader->last = frame;
    return reader->decoder.picture(size, shown);
}

qint64 FrameHistory::diskBudget(qint64 diskBytes, qint64 freeBytes, qint64 historyBytes)
{
    const qint64 reserve = std::max(diskBytes / 10, DiskReserveMin);
    return std::max<qint64>(0, freeBytes + historyBytes - reserve);
}

bool FrameHistory::readAt(char *data, qint64 size, quint64 offset) const
{
    std::shared_ptr<Segment> segment;
    {
        std::lock_guard lock(m_segmentMutex);
        auto it = m_segments.upper_bound(offset);
        if (it == m_segments.begin())
            return false;
        segment = std::prev(it)->second;
    }
    return readAll(segment->fd, data, size, qint64(offset - segment->start));
}

int FrameHistory::append(const QImage &frame, const BandMap &changes, std::shared_ptr<const JpegBands> coded,
                         qint64 timeMs)
{
    const int index = size();
    if (index % TimeMarkEvery == 0) {
        m_timeMarks.push_back(timeMs);
        m_timeSteps.push_back(0);
    } else {
        const qint64 step = timeMs - m_lastTimeMs;
        m_timeSteps.push_back(quint16(std::clamp<qint64>(step, 0, TimeStepMax)));
        if (step >= TimeStepMax)
            m_longSteps[index] = step;
    }
    m_lastTimeMs = timeMs;
    Store *store = m_store.get();
    const auto done = [this](Result result) { settle(std::move(result)); };
    if (frame.isNull()
        || !m_worker->tryPost([store, frame, changes, coded, timeMs] { return store->store(frame, changes, coded, timeMs); },
                              done)) {
        // Not kept: a small job in its place keeps the order and tells the worker.
        m_worker->post([store] { return store->refuse(); }, done);
        m_waiting.emplace_back();
        return index;
    }
    m_waiting.push_back(frame);
    return index;
}

void FrameHistory::markPause(int index, qint64 pausedMs)
{
    if (index >= 0 && pausedMs >= 0)
        m_pauses[index] += pausedMs;
}

std::vector<int> FrameHistory::pauseIndices() const
{
    std::vector<int> indices;
    indices.reserve(m_pauses.size());
    for (const auto &pause : m_pauses)
        indices.push_back(pause.first);
    return indices;
}

qint64 FrameHistory::recordedTimeMs(int index) const
{
    const qint64 time = timeMs(index);
    if (time < 0)
        return time;
    qint64 paused = 0;
    for (auto it = m_pauses.begin(); it != m_pauses.end() && it->first <= index; ++it)
        paused += it->second;
    return time - paused;
}

qint64 FrameHistory::timeMs(int index) const
{
    if (index < 0 || index >= int(m_timeSteps.size()))
        return -1;
    qint64 time = m_timeMarks[size_t(index / TimeMarkEvery)];
    for (int i = index / TimeMarkEvery * TimeMarkEvery + 1; i <= index; ++i)
        time += m_timeSteps[size_t(i)] == TimeStepMax ? m_longSteps.at(i) : m_timeSteps[size_t(i)];
    return time;
}

void FrameHistory::settle(Result result)
{
    m_waiting.pop_front();
    m_frames.push_back(result.frame);
    m_storedBytes += result.bandBytes;
    m_fileBytes += result.bytes;
    m_takenBands += result.taken;
    m_encodedParts += result.encoded;
    m_videoFrames += result.video ? 1 : 0;
    m_diskBytes = result.diskBytes;
    if (result.segmentStart != NotKept)
        m_segmentFirst[result.segmentStart] = int(m_frames.size()) - 1;
    if (!m_segmentFirst.empty() && m_segmentFirst.begin()->first < result.keptFrom) {
        // Segments that hold no frame (begun for a frame the file then refused) are not listed.
        m_segmentFirst.erase(m_segmentFirst.begin(), m_segmentFirst.lower_bound(result.keptFrom));
        m_firstKept = m_segmentFirst.empty() ? int(m_frames.size()) : m_segmentFirst.begin()->second;
        if (result.diskFull && !m_saidDiskFull) {
            m_saidDiskFull = true;
            FrameConsole::instance().report(StageEvent::notice(
                QStringLiteral("History's disk is full (%1): its oldest frames are let go from now on, frames 1 to %2 so "
                               "far")
                    .arg(m_folder)
                    .arg(m_firstKept)));
        } else if (m_reachedLimit == 0 && !result.diskFull) {
            const qint64 limit = m_limit;
            const auto size = [](qint64 bytes) {
                return bytes >= 1'000'000'000 ? QString::number(double(bytes) / 1e9, 'f', 1) + QStringLiteral(" GB")
                                              : QString::number(double(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB");
            };
            FrameConsole::instance().report(StageEvent::notice(
                (limit == FromDisk ? QStringLiteral("History reached its limit (%1 in %2, leaving at least a tenth of the "
                                                    "disk and 5 GB free)")
                                         .arg(size(result.budget), m_folder)
                                   : QStringLiteral("History reached its limit of %1").arg(size(limit)))
                + QStringLiteral(": its oldest frames are let go from now on, frames 1 to %1 so far (a larger "
                                 "--history-limit SIZE keeps more)")
                      .arg(m_firstKept)));
        }
        m_reachedLimit = std::max<qint64>(1, result.budget);
    }
    if (!result.failure.isEmpty() && !m_full) {
        m_full = true;
        FrameConsole::instance().report(StageEvent::failed(
            QStringLiteral("History file full (%1): frames from %2 on are kept only where they repeat stored bands")
                .arg(result.failure)
                .arg(qint64(m_frames.size()) - 1)));
    }
}

void FrameHistory::waitUntilStored(const std::function<void(int)> &sayWaiting)
{
    m_worker->drain(sayWaiting);
}

QImage FrameHistory::frame(int index, const QSize &minimumSize) const
{
    if (index < m_firstKept || index < 0 || index >= size())
        return {};
    if (size_t(index) >= m_frames.size())
        return m_waiting[size_t(index) - m_frames.size()];
    return decode(m_frames[size_t(index)], minimumSize);
}

std::function<QImage()> FrameHistory::frameReader(int index, const QSize &minimumSize) const
{
    if (index < m_firstKept || index < 0 || index >= size())
        return {};
    if (size_t(index) >= m_frames.size()) {
        QImage waiting = m_waiting[size_t(index) - m_frames.size()];
        if (waiting.isNull())
            return {};
        return [waiting] { return waiting; };
    }
    const quint64 record = m_frames[size_t(index)];
    if (record == NotKept)
        return {};
    return [this, record, minimumSize] { return decode(record, minimumSize); };
}

FrameHistory::Range FrameHistory::range(int first, int last) const
{
    Range range;
    range.m_history = this;
    first = std::max(first, 0);
    last = std::min(last, size() - 1);
    range.m_first = first;
    if (first > last)
        return range;
    range.m_times.reserve(size_t(last - first + 1));
    // Recorded times step by step: each frame's step from the one before, every pause before it
    // taken off.
    qint64 paused = 0;
    auto pause = m_pauses.begin();
    qint64 time = 0;
    for (int index = first; index <= last; ++index) {
        if (index == first || index % TimeMarkEvery == 0)
            time = timeMs(index);
        else
            time += m_timeSteps[size_t(index)] == TimeStepMax ? m_longSteps.at(index) : m_timeSteps[size_t(index)];
        for (; pause != m_pauses.end() && pause->first <= index; ++pause)
            paused += pause->second;
        range.m_times.push_back(time - paused);
    }
    const int stored = int(m_frames.size());
    if (first < stored)
        range.m_records.assign(m_frames.begin() + first, m_frames.begin() + std::min(last + 1, stored));
    // Frames let go to keep within the limit are not kept (their records lie in segments gone).
    for (int index = first; index < std::min(m_firstKept, stored) && index <= last; ++index)
        range.m_records[size_t(index - first)] = NotKept;
    for (int index = std::max(first, stored); index <= last; ++index)
        range.m_waiting.push_back(m_waiting[size_t(index - stored)]);
    return range;
}

bool FrameHistory::Range::isKept(int i) const
{
    if (size_t(i) < m_records.size())
        return m_records[size_t(i)] != NotKept;
    return !m_waiting[size_t(i) - m_records.size()].isNull();
}

QImage FrameHistory::Range::frame(int i) const
{
    if (size_t(i) < m_records.size())
        return m_history->decode(m_records[size_t(i)], QSize());
    return m_waiting[size_t(i) - m_records.size()];
}

QByteArray FrameHistory::readRecord(const PartRef &record, const QByteArray &header) const
{
    QByteArray file(header.size() + qsizetype(record.size) + 2, Qt::Uninitialized);
    std::memcpy(file.data(), header.constData(), size_t(header.size()));
    if (!readAt(file.data() + header.size(), record.size, qint64(record.offset)))
        return {};
    file[file.size() - 2] = char(0xff);
    file[file.size() - 1] = char(0xd9);
    return file;
}

qint64 FrameHistory::indexBytes() const
{
    qint64 bytes = qint64(m_frames.capacity() * sizeof(quint64) + m_timeSteps.capacity() * sizeof(quint16)
                          + m_timeMarks.capacity() * sizeof(qint64) + m_longSteps.size() * 32);
    std::lock_guard lock(m_headerMutex);
    bytes += qint64(m_headers.capacity() * sizeof(QByteArray));
    for (const QByteArray &header : m_headers)
        bytes += header.capacity();
    return bytes;
}

QImage FrameHistory::decode(quint64 frame, const QSize &minimumSize) const
{
    if (frame == NotKept)
        return {};
    // The frame record: its size, then its bands' references, or those that differ from its
    // full record.
    FrameRecordHead head;
    if (!readAt(reinterpret_cast<char *>(&head), sizeof head, qint64(frame)))
        return {};
    if (head.bands == kVideoRecord)
        return decodeVideo(frame, minimumSize);
    if (head.width == 0 || head.height == 0 || head.bands != quint32(BandMap::bandCount(int(head.height)))
        || head.entries > head.bands)
        return {};
    std::vector<BandRef> refs(head.bands);
    if (head.key == NotKept) {
        if (head.entries != head.bands
            || !readAt(reinterpret_cast<char *>(refs.data()), qint64(sizeof(BandRef) * refs.size()),
                        qint64(frame + sizeof head)))
            return {};
    } else {
        FrameRecordHead key;
        if (!readAt(reinterpret_cast<char *>(&key), sizeof key, qint64(head.key)) || key.bands != head.bands
            || key.entries != key.bands || key.key != NotKept
            || !readAt(reinterpret_cast<char *>(refs.data()), qint64(sizeof(BandRef) * refs.size()),
                        qint64(head.key + sizeof key)))
            return {};
        constexpr size_t entrySize = sizeof(quint32) + sizeof(BandRef);
        QByteArray entries(qsizetype(head.entries * entrySize), Qt::Uninitialized);
        if (!readAt(entries.data(), entries.size(), qint64(frame + sizeof head)))
            return {};
        for (quint32 i = 0; i < head.entries; ++i) {
            quint32 band = 0;
            std::memcpy(&band, entries.constData() + i * entrySize, sizeof band);
            if (band >= head.bands)
                return {};
            std::memcpy(&refs[band], entries.constData() + i * entrySize + sizeof band, sizeof(BandRef));
        }
    }
    const int width = int(head.width);
    const int height = int(head.height);
    // Scale by 1/2, 1/4 or 1/8: bands (16 rows) and patch columns (16-pixel grid) stay on whole
    // scaled pixels.
    const int divisor = shrinkDivisor(QSize(width, height), minimumSize);
    const auto scaled = [divisor](int n) { return (n + divisor - 1) / divisor; };
    QImage image(scaled(width), scaled(height), QImage::Format_RGB32);
    if (image.isNull())
        return {};

    struct Part
    {
        PartRef record;
        QByteArray header;
    };
    std::vector<std::array<Part, 2>> parts(refs.size()); // base, patch (size 0: none)
    {
        std::lock_guard lock(m_headerMutex);
        for (size_t band = 0; band < refs.size(); ++band) {
            for (int i = 0; i < 2; ++i) {
                const PartRef &ref = i == 0 ? refs[band].base : refs[band].patch;
                if (ref.size == 0)
                    continue;
                if (ref.header >= m_headers.size())
                    return {};
                parts[band][size_t(i)] = {ref, m_headers[ref.header]};
            }
        }
    }

    // Whole frames: the bases and patches are decoded into one set of Y, Cb and Cr planes (every
    // JPEG block lands where the file of the whole frame has it) and converted to RGB in one pass,
    // so that chroma is smoothed across band and patch edges as in that file.
    const bool whole = divisor == 1;
    const int lumaStride = (width + 15) / 16 * 16;
    const int chromaStride = lumaStride / 2;
    const int paddedRows = (height + 15) / 16 * 16;
    std::unique_ptr<quint8[]> planes;
    quint8 *luma = nullptr;
    quint8 *cb = nullptr;
    quint8 *cr = nullptr;
    if (whole) {
        planes.reset(new (std::nothrow) quint8[size_t(lumaStride) * paddedRows * 3 / 2]);
        if (!planes)
            return {};
        luma = planes.get();
        cb = luma + size_t(lumaStride) * paddedRows;
        cr = cb + size_t(chromaStride) * paddedRows / 2;
    }

    std::atomic<bool> failed{false};
    // Taken once: scanLine() from the band threads would detach the image from each of them.
    uchar *const bits = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    parallelFor(int(refs.size()), [&](int band) {
        const int firstRow = BandMap::firstRow(band) / divisor;
        const int rows = scaled(BandMap::rowCount(band, height));
        for (const Part &part : parts[size_t(band)]) {
            if (part.record.size == 0)
                continue;
            QByteArray data = readRecord(part.record, part.header);
            tjhandle handle = threadJpegDecompressor();
            int recordWidth = 0;
            int recordHeight = 0;
            int subsampling = 0;
            int colorspace = 0;
            auto *bytes = reinterpret_cast<unsigned char *>(data.data());
            const auto size = static_cast<unsigned long>(data.size());
            const int x = part.record.column * kColumnStep / divisor;
            if (!handle || data.isEmpty()
                || tjDecompressHeader3(handle, bytes, size, &recordWidth, &recordHeight, &subsampling, &colorspace) != 0
                || scaled(recordHeight) != rows || x + scaled(recordWidth) > image.width()) {
                failed = true;
                return;
            }
            int rc = 0;
            if (whole) {
                const size_t chromaAt = size_t(firstRow / 2) * chromaStride + size_t(x / 2);
                unsigned char *target[3] = {luma + size_t(firstRow) * lumaStride + size_t(x), cb + chromaAt, cr + chromaAt};
                int strides[3] = {lumaStride, chromaStride, chromaStride};
                rc = subsampling != TJSAMP_420
                    ? -1
                    : tjDecompressToYUVPlanes(handle, bytes, size, target, recordWidth, strides, recordHeight, 0);
            } else {
                rc = decodeJpegInto(data, bits + firstRow * bytesPerLine + size_t(x) * 4, bytesPerLine,
                                    QSize(scaled(recordWidth), rows))
                    ? 0
                    : -1;
            }
            if (rc != 0) {
                failed = true;
                return;
            }
        }
    });
    if (failed)
        return {};
    if (!whole)
        return image;

    static const ColourTables tables;
    const int chromaWidth = (width + 1) / 2;
    const int chromaRows = (height + 1) / 2;
    parallelFor(int(refs.size()), [&](int band) {
        std::vector<int> cbRow(size_t(width) + 2);
        std::vector<int> crRow(size_t(width) + 2);
        const int first = BandMap::firstRow(band);
        for (int y = first; y < first + BandMap::rowCount(band, height); ++y) {
            const int nearRow = y / 2;
            const int farRow = y % 2 == 0 ? std::max(nearRow - 1, 0) : std::min(nearRow + 1, chromaRows - 1);
            upsampleRow(cb + size_t(nearRow) * chromaStride, cb + size_t(farRow) * chromaStride, chromaWidth, width,
                        cbRow.data());
            upsampleRow(cr + size_t(nearRow) * chromaStride, cr + size_t(farRow) * chromaStride, chromaWidth, width,
                        crRow.data());
            const quint8 *yLine = luma + size_t(y) * lumaStride;
            auto *out = reinterpret_cast<QRgb *>(bits + y * bytesPerLine);
            for (int x = 0; x < width; ++x) {
                const int l = yLine[x];
                const int u = cbRow[size_t(x)];
                const int v = crRow[size_t(x)];
                out[x] = qRgb(clampByte(l + tables.crR[v]), clampByte(l + ((tables.cbG[u] + tables.crG[v]) >> 16)),
                              clampByte(l + tables.cbB[u]));
            }
        }
    });
    return image;
}
