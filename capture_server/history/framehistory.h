#pragma once

#include "bandmap.h"
#include "jpegbands.h"
#include "orderedworker.h"
#include "storedframes.h"

#include <QImage>
#include <QString>

#include <atomic>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

// Keeps the frames it is given, on disk rather than in memory, in proportion to what changed:
// every frame for the life of the object, or, with a limit (setLimit()), the newest that fit. A frame is a list of references to stored band records, one entry
// per 16-row band (BandMap): a base record, the whole band, and, when only some columns of the
// band differ from that base, a patch record holding just those columns (16-pixel aligned),
// drawn over the base. Records are JPEG (quality `quality`, 4:2:0: the settings of the saved
// files) kept as entropy-coded data; their few distinct headers stay in memory. A record
// byte-for-byte equal to one already stored (an earlier frame that the table of DedupEntries
// records still remembers; found by hash, confirmed by comparing the bytes) is stored once, so a still screen, a blinking cursor or a window that
// comes back cost nothing new. Any frame decodes from at most two records per band, without
// earlier frames.
//
// A band is coded once: when the frame comes with the shared coder's coding of it (JpegBandsCoder,
// the same quality), a band that changed across most of its width keeps the coder's segment as
// its new base, and a column patch is kept only where it is smaller than that segment. Bands the
// coder did not code whole, or all of them without one, the history codes itself. Patches and
// bases are cut on the JPEG block grid and decoded together before the colour conversion, so a
// frame reads back exactly as the saved file of the same pixels decodes.
//
// Moving pictures are kept as video instead. Once more than half the bands have changed in each
// of MovingFrames frames in a row (a film, a game, a scrolling page), frames go to an H.264
// encoder (fastest preset, no look-ahead, no B-frames, headers before each keyframe) in groups of
// GroupFrames that begin with a keyframe, until a whole group has changed in fewer than an
// eighth of its bands on average; then bands again, the first such frame patched against the
// bases kept before. The coder's rate is capped (about 3.6 Mb/s for a whole full-HD screen), so
// an hour of any moving picture takes at most about 2 GB; a moving frame costs a sixth to a
// twentieth of its bands. Its frame record holds its packet and where the frame before it in
// its group lies, so it decodes from its group's keyframe on (at most GroupFrames packets; the
// decoder remembers where it stopped, so paging forward or an export costs one packet a frame).
// A new segment begins a new group.
//
// Records go to an unlinked temporary file, written by an OrderedWorker thread; only the index
// stays in memory: about 10 bytes a frame (where its record lies, when it was grabbed). append()
// never blocks: call it only when hasRoom() (the session makes the recorder skip the grab
// otherwise); a frame appended without room is not kept. Frames the worker has not stored yet
// are served from memory. When the file cannot grow (disk full, file size limit), one line says
// so and the history keeps running: a frame like the one before, or like any frame stored before,
// is still kept, others are not. A frame that is not kept reads back as a null image (the preview
// then shows no frame for it); every frame kept before stays showable.
//
// The file is a chain of segment files, each unlinked as soon as it is made. A segment holds
// whole frames and refers to nothing outside itself: it begins as if the history began there
// (no record of an earlier segment is reused, its first frame is coded whole). So when the
// history outgrows its limit the oldest segment can go at once, its space given back to the
// disk, without looking at a single record, and every frame of the segments that stay still
// decodes. (A ring in one file cannot do that: a still screen's bands are kept once and used by
// every later frame, so the oldest bytes are often the ones still in use.) A segment is a
// sixteenth of the limit (at least 256 kB), so the history keeps from about 15/16 of its limit up
// to the limit itself; a new segment costs one frame coded whole.
// All members are for the thread that made the history (the GUI thread); the functions that
// frameReader() returns run on any thread.
class FrameHistory : public StoredFrames
{
public:
    // `capacity`: frames that may wait for the worker; `quality`: of the JPEG records, -1 for 75
    // (the saver's default); `directory`: where the file lives ($TMPDIR, else /tmp, when
    // empty; /tmp too when that folder cannot be used).
    explicit FrameHistory(int capacity = 6, int quality = -1, const QString &directory = QString());
    ~FrameHistory() override;
    FrameHistory(const FrameHistory &) = delete;
    FrameHistory &operator=(const FrameHistory &) = delete;

    // Stores a frame and returns its index (0 for the first frame). `changes` compares `frame`
    // with the frame appended just before (BandMap::compare); bands marked unchanged reuse that
    // frame's records. `coded`, when given, is the shared coder's coding of this frame. `timeMs`:
    // when it was grabbed (monotonicMs()), kept for export.
    int append(const QImage &frame, const BandMap &changes, std::shared_ptr<const JpegBands> coded = {},
               qint64 timeMs = 0);
    [[nodiscard]] bool hasRoom() const { return m_worker->hasRoom(); }
    // Whether `frames` more may be appended before any is stored.
    [[nodiscard]] bool hasRoomFor(int frames) const { return m_worker->pending() + frames <= m_worker->capacity(); }
    [[nodiscard]] int size() const override { return int(m_frames.size() + m_waiting.size()); }
    // When frame `index` was grabbed (as given to append()), -1 outside 0..size()-1.
    [[nodiscard]] qint64 timeMs(int index) const;
    // Pauses of a recording: frame `index` (appended or still to come) is the first after a pause
    // of `pausedMs`. Grab times keep the pause as a jump; recorded times leave it out.
    void markPause(int index, qint64 pausedMs);
    // Whether frame `index` is the first after a pause, and every such frame, in order.
    [[nodiscard]] bool followsPause(int index) const { return m_pauses.count(index) != 0; }
    [[nodiscard]] std::vector<int> pauseIndices() const;
    // The grab time of frame `index` less every pause before it (-1 outside 0..size()-1): the
    // time line of the recordings as their video files and sound have it.
    [[nodiscard]] qint64 recordedTimeMs(int index) const;
    // The frame, decoded (Format_RGB32, or the appended image itself while it waits); a null image
    // for an index outside 0..size()-1 or a frame not kept. With a `minimumSize` the frame may come
    // back shrunk by 2, 4 or 8, but never below that size (for display).
    [[nodiscard]] QImage frame(int index, const QSize &minimumSize = QSize()) const override;
    // Reads only the file (and the headers, under their lock): the paging and the export decode
    // on workers of their own while frames are appended.
    [[nodiscard]] std::function<QImage()> frameReader(int index, const QSize &minimumSize = QSize()) const override;
    // Frames first..last (clamped to the history), taken here at once, for reading on another
    // thread: frame() decodes on any one thread while the history lives, whatever is appended
    // meanwhile. A few bytes a frame.
    class Range
    {
    public:
        [[nodiscard]] int first() const { return m_first; }
        [[nodiscard]] int size() const { return int(m_times.size()); }
        // Of the range's frame `i` (0 .. size()-1, history index first() + i):
        [[nodiscard]] bool isKept(int i) const;
        [[nodiscard]] QImage frame(int i) const; // null when not kept or unreadable
        [[nodiscard]] qint64 recordedTimeMs(int i) const { return m_times[size_t(i)]; }

    private:
        friend class FrameHistory;
        const FrameHistory *m_history = nullptr;
        int m_first = 0;
        std::vector<quint64> m_records; // of the stored frames, then the waiting ones follow
        std::vector<QImage> m_waiting;
        std::vector<qint64> m_times;
    };
    [[nodiscard]] Range range(int first, int last) const;
    // Blocks until every appended frame has been stored (or refused), for the end and for tests;
    // `sayWaiting` as for OrderedWorker::drain().
    void waitUntilStored(const std::function<void(int framesLeft)> &sayWaiting = {});
    // Bytes of band records and video packets in the file, of the whole file (with the frame records), and whether
    // the file has refused a write.
    [[nodiscard]] qint64 storedBytes() const { return m_storedBytes; }
    [[nodiscard]] qint64 fileBytes() const { return m_fileBytes; }
    [[nodiscard]] bool isFull() const { return m_full; }

    // The most the history's files may hold on disk: a number of bytes, or NoLimit (the default:
    // every frame is kept), or FromDisk: whatever leaves free the part of its disk that
    // diskBudget() keeps free, looked at again every second or so. Call it before the first frame.
    static constexpr qint64 NoLimit = -1;
    static constexpr qint64 FromDisk = 0;
    void setLimit(qint64 limit) { m_limit = limit; }
    [[nodiscard]] qint64 limit() const { return m_limit; }
    // The bytes the history may hold on a disk of `diskBytes` with `freeBytes` free while it holds
    // `historyBytes` of it itself: so much that at least a tenth of the disk, and at least 5 GB,
    // stay free (0 when the disk has less than that free already).
    [[nodiscard]] static qint64 diskBudget(qint64 diskBytes, qint64 freeBytes, qint64 historyBytes);
    static constexpr qint64 DiskReserveMin = qint64(5) * 1000 * 1000 * 1000;
    // Bytes the kept frames take in the history's files now; the oldest frame still kept (0 until
    // the limit is first reached; frames before it read back as null images), and the limit that
    // made the history let frames go last (0: never reached).
    [[nodiscard]] qint64 diskBytes() const { return m_diskBytes; }
    [[nodiscard]] int firstKept() const { return m_firstKept; }
    [[nodiscard]] qint64 reachedLimit() const { return m_reachedLimit; }
    // The folder that holds the history's file: `directory`, else $TMPDIR, else /tmp, whichever
    // first could be used; empty when none.
    [[nodiscard]] QString folder() const { return m_folder; }
    // Bands of the stored frames whose new record is the shared coder's segment, and parts (whole bands
    // or column patches) the history coded itself, kept or not.
    [[nodiscard]] qint64 takenBands() const { return m_takenBands; }
    [[nodiscard]] qint64 encodedParts() const { return m_encodedParts; }
    // Frames stored as video, and whether moving pictures become video at all (on by default;
    // off, every frame is bands, as the saved files of the same pixels decode). Set it before the
    // first frame.
    [[nodiscard]] qint64 videoFrames() const { return m_videoFrames; }
    void setMovingAsVideo(bool video) { m_movingAsVideo = video; }
    static constexpr int MovingFrames = 3;
    static constexpr int GroupFrames = 30;

    // Bytes of memory the index of the kept frames takes (what grows with the frames: a few
    // bytes a frame; the table that finds repeated records is fixed: DedupEntries entries).
    [[nodiscard]] qint64 indexBytes() const;

    // Records are remembered for reuse in a table of fixed size: a band that comes back after the
    // table has forgotten it is stored again (the table reaches back about half a minute of
    // full-HD video, and far longer on a desktop).
    static constexpr int DedupEntries = 1 << 17;

    // Where a record lies in the file and how to read it; size 0: none.
    struct PartRef
    {
        quint64 offset = 0;
        quint32 size = 0;
        quint16 column = 0; // left column / 16 (patches), 0 for a base
        quint16 header = 0; // in m_headers
        friend bool operator==(const PartRef &a, const PartRef &b)
        {
            return a.offset == b.offset && a.size == b.size && a.column == b.column && a.header == b.header;
        }
    };
    struct BandRef
    {
        PartRef base;
        PartRef patch;
        friend bool operator==(const BandRef &a, const BandRef &b) { return a.base == b.base && a.patch == b.patch; }
    };
    using Refs = std::shared_ptr<const std::vector<BandRef>>;

private:
    // A kept frame is the offset of its frame record in the file: its size and its bands'
    // references (or only those that differ from the last full record), written once per
    // distinct list (a frame like the one before shares its record).
    static constexpr quint64 NotKept = ~quint64(0);
    struct Result
    {
        quint64 frame = NotKept;
        qint64 bytes = 0;     // written in all
        qint64 bandBytes = 0; // of that, band records
        int taken = 0;
        int encoded = 0;
        bool video = false; // stored as video
        QString failure; // why the file refused a write, set once
        qint64 diskBytes = 0;     // in the kept segments after this frame
        quint64 segmentStart = NotKept; // where the segment that this frame began starts
        quint64 keptFrom = 0;     // the oldest kept segment's start
        qint64 budget = 0;        // the limit in bytes when frames were let go
        bool diskFull = false;    // they went because the disk was full (a frame stored again)
        bool needsRoom = false;   // the disk was full: let a segment go and store the frame again
    };
    class Store;
    // One segment file, closed when the last reader lets go of it.
    struct Segment
    {
        int fd = -1;
        quint64 start = 0; // offset of its first byte in the history's one range of offsets
        Segment(int descriptor, quint64 first) : fd(descriptor), start(first) {}
        ~Segment();
        Segment(const Segment &) = delete;
        Segment &operator=(const Segment &) = delete;
    };
    // Reads `size` bytes at `offset` from the segment that holds them (any thread).
    [[nodiscard]] bool readAt(char *data, qint64 size, quint64 offset) const;
    void letGoBefore(quint64 start); // drops the segments that start before `start` (any thread)

    void settle(Result result);
    [[nodiscard]] QImage decode(quint64 frame, const QSize &minimumSize) const;
    // A frame stored as video: its group's packets from the keyframe up to it.
    [[nodiscard]] QImage decodeVideo(quint64 frame, const QSize &minimumSize) const;
    // Header + entropy-coded data + EOI: the record as a JPEG file; empty when unreadable.
    [[nodiscard]] QByteArray readRecord(const PartRef &record, const QByteArray &header) const;

    QString m_folder;    // where the file was made (empty when none could be)
    int m_openError = 0; // errno of the failed attempt to make the file
    mutable std::mutex m_segmentMutex;
    std::map<quint64, std::shared_ptr<Segment>> m_segments; // by start, oldest first
    std::atomic<qint64> m_limit{NoLimit};
    std::atomic<bool> m_movingAsVideo{true};
    // The decoder of the video frames, and where it stopped (for any one reader at a time; the
    // others decode with their own).
    struct VideoReader;
    mutable std::mutex m_videoMutex;
    mutable std::unique_ptr<VideoReader> m_videoReader;
    std::map<quint64, int> m_segmentFirst{{0, 0}}; // kept segments' starts -> their first frame
    qint64 m_diskBytes = 0;
    int m_firstKept = 0;
    qint64 m_reachedLimit = 0;
    bool m_saidDiskFull = false;
    mutable std::mutex m_headerMutex;
    std::vector<QByteArray> m_headers; // distinct record headers (SOI .. SOS), added by the worker
    std::vector<quint64> m_frames; // frames the worker has finished, 0 .. n-1: frame record offsets
    std::deque<QImage> m_waiting;  // frames n, n+1, ... still with the worker
    // Grab times: each frame's step from the frame before in ms (TimeStepMax: see
    // m_longSteps), and every TimeMarkEvery-th frame's time whole.
    static constexpr int TimeMarkEvery = 256;
    static constexpr quint16 TimeStepMax = 0xffff;
    std::vector<quint16> m_timeSteps;
    std::vector<qint64> m_timeMarks;
    std::unordered_map<int, qint64> m_longSteps;
    std::map<int, qint64> m_pauses; // first frame after a pause -> the pause's length
    qint64 m_lastTimeMs = 0;
    qint64 m_storedBytes = 0;
    qint64 m_fileBytes = 0;
    qint64 m_takenBands = 0;
    qint64 m_encodedParts = 0;
    qint64 m_videoFrames = 0;
    bool m_full = false;
    std::unique_ptr<Store> m_store;         // the worker's state
    std::unique_ptr<OrderedWorker> m_worker; // last: stops before the rest goes
};
