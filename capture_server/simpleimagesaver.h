#pragma once

#include "imagehandler.h"
#include "orderedworker.h"

#include <QImage>
#include <QString>

#include <memory>
#include <string>

// File name of image `number`: prefix, the number in decimal, ".", the format.
[[nodiscard]] QString imageFileName(const QString &prefix, qint64 number, const QString &format);

// One past the highest number N for which a file prefix + N + "." + format exists, whatever the
// number of digits; 0 when none. NoFreeImageNumber when a file already bears the highest
// number. A name whose number does not fit in a qint64 is not one of ours and is ignored.
constexpr qint64 NoFreeImageNumber = -1;
[[nodiscard]] qint64 firstFreeImageNumber(const QString &prefix, const QString &format);

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
    int handleImage(const QPixmap &frame) override;
    void handleFrame(const CapturedFrame &frame) override;
    [[nodiscard]] bool hasRoom() const override;
    [[nodiscard]] bool sharesJpegBands() const override;
    void stopHandling() override;

    // Waits until every queued frame is written and prints the lines not printed yet.
    void waitUntilWritten();
    // Number of the next file to be written (after every queued frame); NoFreeImageNumber when
    // the numbers are used up.
    [[nodiscard]] qint64 nextFileNumber();

    struct WriterState; // what the saver's worker keeps between frames

private:
    // Encodes and writes one frame on the worker; returns its console line.
    [[nodiscard]] std::string writeFrame(const CapturedFrame &frame, WriterState &state) const;
    enum class WriteResult { Written, Taken, Failed };
    // Writes the file whole under a temporary name and moves it into place, never over an
    // existing file. On Failed `reason` says why.
    [[nodiscard]] WriteResult write(const QByteArray &encoded, const QString &fileName, std::string &reason) const;
    [[nodiscard]] QByteArray encode(const CapturedFrame &frame, WriterState &state) const;

    const QString path;
    const QString format;
    const int quality;
    std::shared_ptr<WriterState> m_state; // touched by the worker's jobs only while any is queued
    qint64 m_directNumber = -2;          // numbers of frames given through handleImage()
    OrderedWorker m_worker;               // last member: its jobs end before the rest goes
};
