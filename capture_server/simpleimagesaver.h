#pragma once

#include "imagehandler.h"

#include <QImage>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// File name of image `number`: prefix, the number in decimal, ".", the format.
[[nodiscard]] QString imageFileName(const QString &prefix, qint64 number, const QString &format);

// One past the highest number N for which a file prefix + N + "." + format exists, whatever the
// number of digits; 0 when none. NoFreeImageNumber when that number does not fit in a qint64
// (a file already bears the highest number, or a larger one).
constexpr qint64 NoFreeImageNumber = -1;
[[nodiscard]] qint64 firstFreeImageNumber(const QString &prefix, const QString &format);

// Writes every frame to its own numbered file (prefix + N + "." + format). Numbering continues
// after the highest number already present, so an earlier run is never overwritten, and a
// frame that cannot be written does not use up its number.
//
// Encoding and writing run on a worker thread, in frame order, behind a queue of at most
// `maxQueued` frames: a slow disk slows the capture down (handleImage() waits for room) and
// never loses or reorders a frame. Each frame's "Writing: " (or "Could not write: ") line is
// printed on the calling thread once the file is written, in frame order; stopHandling()
// returns when every queued frame has been written and reported.
class SimpleImageSaver : public ImageHandler
{
public:
    SimpleImageSaver(QString path, QString format, int quality, int maxQueued = 4);
    ~SimpleImageSaver() override;

    void startHandling(const ConfigStructure *config) override;
    int handleImage(const QPixmap &frame) override;
    void stopHandling() override;

    // Waits until every queued frame is written and prints the lines not printed yet.
    void waitUntilWritten();
    // Number of the next file to be written (after every queued frame); NoFreeImageNumber when
    // the numbers are used up.
    [[nodiscard]] qint64 nextFileNumber();

private:
    void run();
    void printFinishedLines();
    enum class WriteResult { Written, Taken, Failed };
    // Writes the file whole under a temporary name and moves it into place, never over an
    // existing file. On Failed `reason` says why.
    [[nodiscard]] WriteResult write(const QImage &image, const QString &fileName, std::string &reason) const;

    const QString path;
    const QString format;
    const int quality;
    const int m_maxQueued;

    std::mutex m_mutex;
    std::condition_variable m_wake;     // worker: a frame is queued, or stop
    std::condition_variable m_progress; // producer: room in the queue, or idle
    std::deque<QImage> m_queue;         // frames waiting; the front one is being written
    bool m_stop = false;
    qint64 fileCounter = 0;             // owned by the worker while it runs
    bool m_usedUpReported = false;      // the numbers-used-up line was printed this run
    std::deque<std::string> m_finished; // lines of written frames, not printed yet
    std::thread m_worker;
};
