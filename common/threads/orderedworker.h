#pragma once

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

// How a stage's per-frame work leaves the GUI thread (the relay's connection and PipeWire's
// streams run on threads of their own). A worker thread runs the jobs one at a time in the
// order they were posted; each job's result handler then runs on the thread that made the
// worker (the GUI thread), through a queued call, in the same order. At most `capacity` jobs are
// under way at once, counted from tryPost() until their result handler has run. tryPost() never
// waits: when the worker is full it returns false and the caller decides (the recorder skips
// the tick's grab). A job may spread its own work over every core with parallelFor().
class OrderedWorker
{
public:
    explicit OrderedWorker(int capacity);
    // Finishes the jobs already posted; result handlers that have not run by then never run
    // (call drain() first to have them).
    ~OrderedWorker();
    OrderedWorker(const OrderedWorker &) = delete;
    OrderedWorker &operator=(const OrderedWorker &) = delete;

    [[nodiscard]] int capacity() const { return m_capacity; }
    // Jobs posted whose result handler has not run yet.
    [[nodiscard]] int pending() const;
    [[nodiscard]] bool hasRoom() const { return pending() < m_capacity; }

    // Posts `work` (run on the worker) and `done` (run on this thread with work's result, or with
    // no argument when work returns nothing). Returns false, and posts nothing, when full.
    template <typename Work, typename Done>
    bool tryPost(Work work, Done done)
    {
        return enqueue(wrap(std::move(work), std::move(done)), false);
    }
    template <typename Work>
    bool tryPost(Work work)
    {
        return tryPost(std::move(work), [](auto &&...) {});
    }
    // As tryPost(), but queues the job even past the capacity: for the few jobs that must not be
    // refused (the end of a run). Keep them small.
    template <typename Work, typename Done>
    void post(Work work, Done done)
    {
        enqueue(wrap(std::move(work), std::move(done)), true);
    }

    // Blocks until every posted job has run, then runs their pending result handlers here. For
    // the end of a run, shutdown and tests; never on a path that runs per frame. The wait is
    // bounded by the capacity (a few jobs, plus the few posted past it); when it lasts longer
    // than `patience`, `sayWaiting` is called once with the number of jobs still to run, so
    // that a slow disk or a stuck job is said rather than felt as a frozen window.
    void drain(const std::function<void(int jobsLeft)> &sayWaiting = {},
               std::chrono::milliseconds patience = std::chrono::seconds(1));

private:
    using Handler = std::function<void()>;
    using Job = std::function<Handler()>;

    template <typename Work, typename Done>
    static Job wrap(Work work, Done done)
    {
        using Result = std::invoke_result_t<Work &>;
        auto shared = std::make_shared<std::pair<Work, Done>>(std::move(work), std::move(done));
        return [shared]() -> Handler {
            if constexpr (std::is_void_v<Result>) {
                shared->first();
                return [shared] { shared->second(); };
            } else {
                auto result = std::make_shared<Result>(shared->first());
                return [shared, result] { shared->second(std::move(*result)); };
            }
        };
    }

    bool enqueue(Job job, bool force);
    void run();
    void deliverOne(); // runs the oldest finished job's result handler

    const int m_capacity;
    std::unique_ptr<QObject> m_receiver; // lives on the creating thread; result handlers run on it
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Job> m_queue;
    std::deque<Handler> m_finished; // result handlers, in order, each announced by one queued call
    int m_pending = 0;  // posted, result handler not yet run
    bool m_busy = false; // a job is running
    bool m_stop = false;
    std::thread m_thread;
};
