#pragma once

#include "frameconsole.h"
#include "imagehandler.h"
#include "numberedfiles.h"
#include "orderedworker.h"

#include <QImage>
#include <QString>

#include <functional>

#include <memory>
#include <optional>
#include <string>

// Writes every frame to its own numbered file (prefix + N + "." + format). Numbering continues
// after the highest number already present, so an earlier run is never overwritten, and a
// frame that cannot be written does not use up its number.
//
// Encoding and writing run on the saver's worker, in frame order, behind a queue of at most
// `maxQueued` frames: a slow disk slows the capture down (hasRoom() turns false and the recorder
// skips grabs; a direct handleImage() waits) and never loses or reorders a frame. Each frame's
// "Writing: " (or "Could not write: ") line is printed on the calling thread once the file is
// written, in frame order; stopHandling() returns when every queued frame has been written and
// reported.
class SimpleImageSaver : public ImageHandler
{
public:
    SimpleImageSaver(QString path, QString format, int quality, int maxQueued = 4);
    ~SimpleImageSaver() override;

    void startHandling(const ConfigStructure *config) override;
    void handleFrame(const CapturedFrame &frame) override;
    [[nodiscard]] bool hasRoom() const override;
    void stopHandling() override;

    // Whether the files are JPEG, and at which quality (1-100), so that a frame can be coded once
    // for them and for the other stages that keep JPEG (JpegBandsCoder).
    [[nodiscard]] bool writesJpeg() const;
    [[nodiscard]] int jpegQuality() const;
    // Writes a frame already coded as `file` (in this saver's format), its line in `place`,
    // reserved on the calling thread when the frame was grabbed so that lines keep the ticks'
    // order. Like handleFrame(), queued past the bound: nothing is lost.
    void writeCoded(const CapturedFrame &frame, const QByteArray &file, const ConsolePlace &place);

    // Waits until every queued frame is written and prints the lines not printed yet.
    void waitUntilWritten();
    // Bytes of the files written since the run started (any thread).
    [[nodiscard]] qint64 bytesWritten() const;
    // Number of the next file to be written (after every queued frame); NoFreeImageNumber when
    // the numbers are used up.
    [[nodiscard]] qint64 nextFileNumber();

    struct WriterState; // what the saver's worker keeps between frames

private:
    void waitForRoom() override { waitUntilWritten(); }
    void post(std::function<std::optional<StageEvent>()> work, const ConsolePlace &place);
    // Encodes (unless `coded` is given) and writes one frame on the worker; returns its console line.
    [[nodiscard]] std::optional<StageEvent> writeFrame(const CapturedFrame &frame, const QByteArray *coded,
                                                       WriterState &state) const;
    enum class WriteResult { Written, Taken, Failed };
    // Writes the file whole under a temporary name and moves it into place, never over an
    // existing file. On Failed `reason` says why.
    [[nodiscard]] WriteResult write(const QByteArray &encoded, const QString &fileName, std::string &reason) const;
    [[nodiscard]] QByteArray encode(const CapturedFrame &frame, WriterState &state) const;

    const QString path;
    const QString format;
    const int quality;
    std::shared_ptr<WriterState> m_state; // touched by the worker's jobs only while any is queued
    OrderedWorker m_worker;               // last member: its jobs end before the rest goes
};
