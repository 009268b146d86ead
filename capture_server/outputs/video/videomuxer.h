#pragma once

#include "videoencoder.h"

#include <QString>

#include <atomic>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVIOContext;

// Writes one encoded H.264 stream into a container: Matroska into a file descriptor, or FLV /
// MPEG-TS to a streaming URL (rtmp://, srt://). Timestamps of the packets are in milliseconds.
// In a file, the header goes out together with a cluster of the first frame alone, and then a
// cluster for about each second, each in one write as soon as it is complete: a file cut short
// by a kill plays from its first frame up to its last cluster. A file whose write failed (a
// full disk) is cut back to its last whole cluster.
class VideoMuxer
{
public:
    VideoMuxer() = default;
    ~VideoMuxer();
    VideoMuxer(const VideoMuxer &) = delete;
    VideoMuxer &operator=(const VideoMuxer &) = delete;

    // Matroska into `fd`, which the muxer owns from here on (closed by close()). `sound`: streams
    // 1, 2, ... after the picture's stream 0; with any, packets are interleaved by time.
    bool openFile(int fd, const AVCodecParameters *codec, std::string &error,
                  const std::vector<const AVCodecParameters *> &sound = {});
    // The container the URL's scheme wants (FLV for rtmp, MPEG-TS otherwise). A set `cancel`
    // breaks off a connection attempt or a blocked write. `audio`, when given, adds a second
    // stream (written with write(packet, 1)).
    bool openUrl(const QString &url, const AVCodecParameters *codec, const std::atomic<bool> *cancel,
                 std::string &error, const AVCodecParameters *audio = nullptr);
    [[nodiscard]] bool isOpen() const { return m_format != nullptr; }

    // False with `error` set when the write failed (the output is then finished: close() it).
    // `shiftMs` is taken from the packet's times first.
    bool write(const VideoPacket &packet, std::string &error, int stream = 0, qint64 shiftMs = 0);
    // Finishes the container (index, duration) and closes the output; false with `error` set
    // when that last write failed. Nothing happens when it is not open.
    bool close(std::string &error);
    // Bytes written so far.
    [[nodiscard]] qint64 bytesWritten() const;
    // What the file holds in whole clusters (all of it once closed cleanly): the frames of
    // stream 0 and the end of the latest of their times (-1: none). Kept after close().
    [[nodiscard]] qint64 framesInFile() const { return m_kept.frames; }
    [[nodiscard]] qint64 lastTimeInFileMs() const { return m_kept.lastMs; }

private:
    bool start(const char *options, std::string &error, const std::vector<const AVCodecParameters *> &streams);
    bool endCluster();
    void release(bool cutBack = false);

    struct Extent
    {
        qint64 bytes = 0;
        qint64 frames = 0;
        qint64 lastMs = -1;
    };
    Extent m_kept;   // in the file, in whole clusters
    Extent m_handed; // handed to the container (bytes unused)
    qint64 m_clusterStartMs = 0; // time of the frame that began the cluster being filled

    AVFormatContext *m_format = nullptr;
    AVIOContext *m_fileIo = nullptr; // ours when writing to a file descriptor
    int m_fd = -1;
    bool m_failed = false;
    bool m_interleave = false; // several streams to a file: the muxer puts them in time order
};
