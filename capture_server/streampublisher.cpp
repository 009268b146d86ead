#include "streampublisher.h"

#include "videomuxer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>

namespace {

// Packets waiting for the relay, about four seconds at 30 fps: past that the relay is not
// keeping up, and the queue starts again at the next keyframe.
constexpr size_t maxQueued = 120;
constexpr int firstRetryMs = 250;

} // namespace

StreamPublisher::StreamPublisher(QString url, std::function<void(std::string)> report, int maxRetryMs)
    : m_url(std::move(url))
    , m_report(std::move(report))
    , m_maxRetryMs(std::max(firstRetryMs, maxRetryMs))
    , m_thread([this] { run(); })
{
}

StreamPublisher::~StreamPublisher()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_cancel = true;
    m_wake.notify_all();
    m_thread.join();
    avcodec_parameters_free(&m_parameters);
}

void StreamPublisher::begin(const AVCodecParameters *parameters)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_parameters)
            m_parameters = avcodec_parameters_alloc();
        avcodec_parameters_copy(m_parameters, parameters);
        m_queue.clear();
        m_running = true;
        m_ending = false;
    }
    m_wake.notify_all();
}

void StreamPublisher::push(VideoPacket packet)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running || m_ending)
            return;
        if (m_queue.size() >= maxQueued) {
            m_queue.clear();
            m_keyframeRequest = true;
        }
        // Nothing to send before a keyframe: a player could not decode it.
        if (m_queue.empty() && !(packet->flags & AV_PKT_FLAG_KEY) && !m_connected)
            return;
        m_queue.push_back(std::move(packet));
    }
    m_wake.notify_all();
}

void StreamPublisher::end()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_running)
            return;
        m_ending = true;
    }
    m_wake.notify_all();
}

void StreamPublisher::run()
{
    using Clock = std::chrono::steady_clock;
    VideoMuxer muxer;
    bool downReported = false;
    bool needKeyframe = true;
    int retryMs = firstRetryMs;
    Clock::time_point nextAttempt = Clock::now();
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto disconnect = [&] {
        std::string ignored;
        lock.unlock();
        muxer.close(ignored);
        lock.lock();
        m_connected = false;
    };
    while (!m_stop) {
        if (!m_running) {
            m_wake.wait(lock);
            continue;
        }
        if (!muxer.isOpen()) {
            if (m_ending) { // the run ended while the relay was away
                m_running = false;
                m_ending = false;
                m_queue.clear();
                continue;
            }
            if (Clock::now() < nextAttempt) {
                m_wake.wait_until(lock, nextAttempt);
                continue;
            }
            AVCodecParameters *parameters = avcodec_parameters_alloc();
            avcodec_parameters_copy(parameters, m_parameters);
            std::string error;
            lock.unlock();
            const bool opened = muxer.openUrl(m_url, parameters, &m_cancel, error);
            avcodec_parameters_free(&parameters);
            lock.lock();
            if (m_stop)
                break;
            if (opened) {
                m_connected = true;
                m_report("Publishing to " + m_url.toStdString());
                downReported = false;
                retryMs = firstRetryMs;
                needKeyframe = true;
                m_keyframeRequest = true;
            } else {
                if (!downReported)
                    m_report("Relay " + m_url.toStdString() + " not reachable (" + error
                             + "): trying again until it is");
                downReported = true;
                nextAttempt = Clock::now() + std::chrono::milliseconds(retryMs);
                retryMs = std::min(retryMs * 2, m_maxRetryMs);
            }
            continue;
        }
        if (m_queue.empty()) {
            if (m_ending) {
                disconnect();
                m_running = false;
                m_ending = false;
                continue;
            }
            m_wake.wait(lock);
            continue;
        }
        VideoPacket packet = std::move(m_queue.front());
        m_queue.pop_front();
        if (needKeyframe && !(packet->flags & AV_PKT_FLAG_KEY))
            continue;
        needKeyframe = false;
        std::string error;
        lock.unlock();
        const bool sent = muxer.write(packet, error);
        lock.lock();
        if (sent) {
            ++m_sent;
            continue;
        }
        disconnect();
        if (m_stop)
            break;
        m_report("Lost the relay " + m_url.toStdString() + " (" + error + "): reconnecting");
        downReported = true;
        nextAttempt = Clock::now() + std::chrono::milliseconds(retryMs);
        retryMs = std::min(retryMs * 2, m_maxRetryMs);
    }
    lock.unlock();
    std::string ignored;
    muxer.close(ignored);
    m_connected = false;
}
