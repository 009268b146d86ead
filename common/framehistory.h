#pragma once

#include "bandmap.h"

#include <QImage>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// Keeps every frame it is given, for the life of the object, without keeping them in memory:
// a worker thread compresses each frame (JPEG, quality 95, no chroma subsampling) and appends
// it to an unlinked temporary file; only a small index stays in memory. A frame with the same
// pixels as the one before it (a still screen) shares that frame's record. Frames that are still
// waiting for compression are served from memory. append() blocks while `maxPending` frames
// wait, so a slow disk slows the producer down instead of dropping frames or piling them up.
class FrameHistory
{
public:
    explicit FrameHistory(int maxPending = 6, int quality = 95);
    ~FrameHistory();
    FrameHistory(const FrameHistory &) = delete;
    FrameHistory &operator=(const FrameHistory &) = delete;

    // Stores a frame and returns its index (0 for the first frame).
    int append(const QImage &frame);
    int append(const QImage &frame, const BandMap &) { return append(frame); }
    [[nodiscard]] bool hasRoom() const { return true; }
    [[nodiscard]] int size() const;
    // The stored frame, decoded; a null image for an index outside 0..size()-1. With a
    // `minimumSize` the frame may come back shrunk, but never below that size (for display).
    [[nodiscard]] QImage frame(int index, const QSize &minimumSize = QSize()) const;
    // Blocks until every appended frame has been compressed and stored.
    void waitUntilStored() const;
    // Bytes of compressed frames held in the file, and in memory because the file could not take them.
    [[nodiscard]] qint64 storedBytes() const;
    [[nodiscard]] qint64 bytesInMemory() const;

private:
    struct Entry
    {
        qint64 offset = 0;
        qint64 size = 0;
        QByteArray inMemory; // set when writing to the file failed
    };

    void run();
    [[nodiscard]] QByteArray compress(const QImage &frame) const;
    [[nodiscard]] static QImage decompress(const QByteArray &data, const QSize &minimumSize);

    const int m_maxPending;
    const int m_quality;
    int m_fd = -1;
    qint64 m_fileEnd = 0; // written only by the worker

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_wake;     // worker waits for frames or stop
    mutable std::condition_variable m_progress; // producers wait for room or for idle
    std::vector<Entry> m_entries;               // compressed frames 0 .. n-1
    std::deque<QImage> m_pending;               // frames n, n+1, ... awaiting compression
    bool m_stop = false;
    qint64 m_bytesInMemory = 0;
    std::thread m_worker;
};
