#include "parallel.h"

#include <QThread>
#include <QThreadPool>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

QThreadPool &bandPool()
{
    // One fewer than the cores: the caller is the last worker.
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(std::max(1, QThread::idealThreadCount() - 1));
        p->setExpiryTimeout(-1);
        return p;
    }();
    return *pool;
}

} // namespace

void parallelFor(int count, const std::function<void(int)> &fn)
{
    if (count <= 0)
        return;
    if (count == 1 || QThread::idealThreadCount() < 2) {
        for (int i = 0; i < count; ++i)
            fn(i);
        return;
    }

    struct Shared
    {
        std::atomic<int> next{0};
        int running = 0;
        std::mutex mutex;
        std::condition_variable done;
    };
    auto shared = std::make_shared<Shared>();
    const auto work = [shared, count, &fn] {
        for (int i = shared->next.fetch_add(1); i < count; i = shared->next.fetch_add(1))
            fn(i);
    };

    QThreadPool &pool = bandPool();
    const int helpers = std::min(count - 1, pool.maxThreadCount());
    for (int h = 0; h < helpers; ++h) {
        {
            std::lock_guard lock(shared->mutex);
            ++shared->running;
        }
        // A helper that starts after the work is gone returns at once.
        pool.start([shared, work] {
            work();
            std::lock_guard lock(shared->mutex);
            if (--shared->running == 0)
                shared->done.notify_all();
        });
    }
    work();
    std::unique_lock lock(shared->mutex);
    shared->done.wait(lock, [&] { return shared->running == 0; });
}
