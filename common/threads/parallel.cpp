#include "parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// One call's work, on the caller's stack. `active` counts the helpers that took it from the
// queue; the caller withdraws the entries no helper took and waits for the active ones alone.
struct Task
{
    const std::function<void(int)> *fn = nullptr;
    int count = 0;
    std::atomic<int> next{0};
    int active = 0;
    std::condition_variable finished;

    void work()
    {
        for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1))
            (*fn)(i);
    }
};

thread_local bool t_onHelper = false;

// Plain std threads and locks, which the thread sanitizer follows (Qt's own locks it does not).
class HelperPool
{
public:
    HelperPool()
    {
        const int cores = int(std::thread::hardware_concurrency());
        for (int i = 0; i < std::max(0, cores - 1); ++i) // the caller is the last worker
            m_threads.emplace_back([this] { run(); });
    }

    [[nodiscard]] int size() const { return int(m_threads.size()); }

    void runTask(Task &task)
    {
        const int helpers = std::min(task.count - 1, size());
        {
            std::lock_guard lock(m_mutex);
            for (int h = 0; h < helpers; ++h)
                m_queue.push_back(&task);
        }
        if (helpers == 1)
            m_wake.notify_one();
        else
            m_wake.notify_all();
        task.work();
        std::unique_lock lock(m_mutex);
        m_queue.erase(std::remove(m_queue.begin(), m_queue.end(), &task), m_queue.end());
        task.finished.wait(lock, [&] { return task.active == 0; });
    }

private:
    void run()
    {
        t_onHelper = true;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return !m_queue.empty(); });
            Task *task = m_queue.front();
            m_queue.pop_front();
            ++task->active;
            lock.unlock();
            task->work();
            lock.lock();
            // The caller cannot return before it holds the lock again, so `task` is alive here.
            if (--task->active == 0)
                task->finished.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task *> m_queue;
    std::vector<std::thread> m_threads;
};

HelperPool &helperPool()
{
    // Never destroyed: a worker may still call parallelFor while static objects go at exit.
    static HelperPool *pool = new HelperPool;
    return *pool;
}

} // namespace

int parallelHelperCount()
{
    return helperPool().size();
}

void parallelFor(int count, const std::function<void(int)> &fn)
{
    if (count <= 0)
        return;
    if (count == 1 || t_onHelper || helperPool().size() == 0) {
        for (int i = 0; i < count; ++i)
            fn(i);
        return;
    }
    Task task;
    task.fn = &fn;
    task.count = count;
    helperPool().runTask(task);
}
