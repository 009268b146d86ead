#pragma once

#include "videoencoder.h"

#include <QString>

#include <atomic>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVIOContext;

// Writes one encoded H.264 stream into a container: Matroska into a file descriptor (clusters
// of at most a second, each written out as soon as it is complete, so a file cut short by a
// kill still plays up to its last cluster), or FLV / MPEG-TS to a streaming URL (rtmp://,
// srt://). Timestamps of the packets are in milliseconds.
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

private:
    bool start(const char *options, std::string &error, const std::vector<const AVCodecParameters *> &streams);
    void release();

    AVFormatContext *m_format = nullptr;
    AVIOContext *m_fileIo = nullptr; // ours when writing to a file descriptor
    int m_fd = -1;
    bool m_failed = false;
    bool m_interleave = false; // several streams to a file: the muxer puts them in time order
};
