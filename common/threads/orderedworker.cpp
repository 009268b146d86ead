#include "orderedworker.h"

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>

OrderedWorker::OrderedWorker(int capacity)
    : m_capacity(std::max(1, capacity))
    , m_receiver(std::make_unique<QObject>())
    , m_thread([this] { run(); })
{
}

OrderedWorker::~OrderedWorker()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
    // Deleting the receiver discards the result handlers still posted to it.
    m_receiver.reset();
}

int OrderedWorker::pending() const
{
    std::lock_guard lock(m_mutex);
    return m_pending;
}

bool OrderedWorker::enqueue(Job job, bool force)
{
    {
        std::lock_guard lock(m_mutex);
        if (!force && m_pending >= m_capacity)
            return false;
        ++m_pending;
        m_queue.push_back(std::move(job));
    }
    m_wake.notify_one();
    return true;
}

void OrderedWorker::drain(const std::function<void(int)> &sayWaiting, std::chrono::milliseconds patience)
{
    {
        std::unique_lock lock(m_mutex);
        const auto idle = [this] { return m_queue.empty() && !m_busy; };
        if (sayWaiting && !m_idle.wait_for(lock, patience, idle)) {
            const int left = int(m_queue.size()) + (m_busy ? 1 : 0);
            lock.unlock();
            sayWaiting(left);
            lock.lock();
        }
        m_idle.wait(lock, idle);
    }
    // Every job has posted its handler by now; run them here, in order.
    QCoreApplication::sendPostedEvents(m_receiver.get(), QEvent::MetaCall);
}

void OrderedWorker::deliverOne()
{
    Handler handler;
    {
        std::lock_guard lock(m_mutex);
        if (m_finished.empty())
            return;
        handler = std::move(m_finished.front());
        m_finished.pop_front();
        --m_pending;
    }
    handler();
}

void OrderedWorker::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty()) {
            m_idle.notify_all();
            return;
        }
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();

        Handler handler = job();
        job = nullptr;
        // The handler goes through our own lock, so that whatever the job made is seen complete
        // by the thread that runs it (also by the thread sanitizer, which cannot follow Qt's
        // event queue); the queued call only says that there is one.
        {
            std::lock_guard guard(m_mutex);
            m_finished.push_back(std::move(handler));
        }
        QMetaObject::invokeMethod(m_receiver.get(), [this] { deliverOne(); }, Qt::QueuedConnection);

        lock.lock();
        m_busy = false;
        if (m_queue.empty())
            m_idle.notify_all();
    }
}
