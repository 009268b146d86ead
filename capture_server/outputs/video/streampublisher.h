#pragma once

#include "videoencoder.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Sends the encoded stream of each run to a streaming relay (rtmp:// in FLV, srt:// and others
// in MPEG-TS) from a thread of its own: packets are queued without waiting, so a relay that is
// slow, down or gone never holds up the capture or the file. A relay that cannot be reached or
// goes away costs one report; the publisher tries again with a growing pause (up to
// `maxRetryMs`) and, once connected, starts at a keyframe, which it asks the encoder for.
class StreamPublisher
{
public:
    // `report` is called on the publisher's thread with each status line.
    StreamPublisher(QString url, std::function<void(std::string)> report, int maxRetryMs = 4000);
    ~StreamPublisher();
    StreamPublisher(const StreamPublisher &) = delete;
    StreamPublisher &operator=(const StreamPublisher &) = delete;

    [[nodiscard]] const QString &url() const { return m_url; }
    // A run begins with these stream parameters (copied); connects when not connected. With
    // `sound` (AAC) the relay gets that track; without, a silent one.
    void begin(const AVCodecParameters *parameters, const AVCodecParameters *sound = nullptr);
    // Queues a packet of the run (any thread; never waits): of the picture (stream 0) or of the
    // sound (stream 1, its times less `shiftMs`).
    void push(VideoPacket packet, int stream = 0, qint64 shiftMs = 0);
    // The run ends: what is queued is sent, then the connection is closed.
    void end();
    // Whether the next frame should be a keyframe (a fresh connection, packets dropped); the
    // request is taken by the call.
    [[nodiscard]] bool takeKeyframeRequest() { return m_keyframeRequest.exchange(false); }
    [[nodiscard]] bool isConnected() const { return m_connected.load(); }
    // Packets sent since the publisher was made.

private:
    void run();

    const QString m_url;
    const std::function<void(std::string)> m_report;
    const int m_maxRetryMs;
    std::atomic<bool> m_cancel{false}; // breaks off a blocked connect or write at the end
    std::atomic<bool> m_keyframeRequest{false};
    std::atomic<bool> m_connected{false};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    struct Queued
    {
        VideoPacket packet;
        int stream = 0;
        qint64 shiftMs = 0;
    };
    std::deque<Queued> m_queue;
    AVCodecParameters *m_parameters = nullptr; // of the current run; null between runs
    AVCodecParameters *m_sound = nullptr;      // its sound, when it has any
    bool m_running = false;  // a run is on
    bool m_ending = false;   // the run has ended; close once the queue is sent
    bool m_resync = false;   // packets were dropped from the queue
    bool m_stop = false;
    std::thread m_thread; // last: starts when the rest is ready
};
