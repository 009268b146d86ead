#pragma once

#include "imagehandler.h"
#include "orderedworker.h"
#include "videoencoder.h"

#include <QString>

#include <memory>
#include <string>
#include <vector>

class StreamPublisher;

// Records each run as one H.264 video in Matroska, prefix + N + ".mkv" with N the next free
// number (never over an existing file), and/or sends the same encoded stream to a relay
// (setPublishUrl()). Frame times are the grab times, in milliseconds from the run's first
// frame. Encoding and writing run on an OrderedWorker with a bounded queue: when it is full,
// hasRoom() turns false and the recorder skips grabs. Console: "Recording: " and the file name
// at the start (its number chosen then; the file is made without a name and named only once it
// holds its first frame, at the next free number with a line if another took that one
// meanwhile, so a kill never leaves an empty file), one line if the file cannot be written (the file then ends at its last whole
// cluster and the relay goes on), and at the stop the frames, length and size the file holds; a
// file that holds no frame is removed.
class VideoFileHandler : public ImageHandler
{
public:
    VideoFileHandler(QString prefix, VideoSettings settings, int maxQueued = 4);
    ~VideoFileHandler() override;

    // Also publish every run to `url` (empty: no relay). Before the first run.
    void setPublishUrl(const QString &url);
    // Whether runs are written to a file (on by default; off: relay only).
    void setWritesFile(bool writesFile) { m_writesFile = writesFile; }

    void startHandling(const ConfigStructure *config) override;
    void handleFrame(const CapturedFrame &frame) override;
    [[nodiscard]] bool hasRoom() const override;
    void stopHandling() override;

    // Whether the last run was to write a file and its file holds no frame (none could be
    // written, or the file could not be made); after stopHandling().
    [[nodiscard]] bool recordedNothing() const { return m_recordedNothing; }
    // The file of the current (or last) run; empty when none. Until the run's first frame is in
    // it, the name it is to have.
    [[nodiscard]] QString fileName() const { return m_fileName; }
    // Bytes of the current run's file so far (0 when it writes none).
    [[nodiscard]] qint64 bytesWritten() const;
    [[nodiscard]] StreamPublisher *publisher() const { return m_publisher.get(); }
    // Waits until every queued frame is encoded and written.
    void waitUntilWritten() { m_worker.drain(); }

    // Sound in this run: the parameters of the coded sound streams (copied), before the run's
    // first frame; Opus streams go into the file, the first AAC stream to the relay. Then
    // addSound() hands each stream's packets (times on the monotonic clock, as the frames' grab
    // times), written with the next frame in time order.
    void setSoundStreams(const std::vector<const AVCodecParameters *> &streams);
    void addSound(const std::vector<std::vector<VideoPacket>> &packets);

    struct RunState; // what the worker keeps during a run

private:
    void waitForRoom() override { m_worker.drain(); }

    const QString m_prefix;
    const VideoSettings m_settings;
    bool m_writesFile = true;
    bool m_recordedNothing = false;
    QString m_fileName;
    std::vector<std::vector<VideoPacket>> m_sound; // coded sound not yet handed to the worker
    std::shared_ptr<RunState> m_run;              // touched by the worker's jobs only while any is queued
    bool m_sizeSaid = false;                      // this run's first frame has come: its size was looked at
    std::unique_ptr<StreamPublisher> m_publisher; // before the worker: outlives its jobs
    OrderedWorker m_worker;                       // last member: its jobs end before the rest goes
};

// Summary of a recorded file: "Recorded FILE: N frames, S.SS s, X.X MB" (kB below a megabyte).
[[nodiscard]] std::string videoSummaryLine(const QString &fileName, qint64 frames, qint64 durationMs, qint64 bytes);
