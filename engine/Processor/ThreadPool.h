#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "DspCore/Export.h"

namespace murel
{

/** Fixed-size worker pool: a FIFO of type-erased tasks guarded by one mutex. Results and
    exceptions of a task reach the caller through the future that add returns; a task that is
    discarded before it ran reports a broken promise instead. Stopping is final. Part of the
    exported interface for the library's users; the processor does not use it (its models run
    on their own worker threads). */
class MUREL_EXPORT ThreadPool
{
public:
    /** Starts numOfThreads workers; none for a count below 1 (tasks then queue up unrun). */
    explicit ThreadPool(int numOfThreads);
    /** Stops the workers, then discards the tasks none of them took. */
    virtual ~ThreadPool();

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    /** Queues a callable without arguments and returns the future of its result. */
    template <typename F>
    std::future<std::invoke_result_t<std::decay_t<F>>> add(F&& function)
    {
        using Result = std::invoke_result_t<std::decay_t<F>>;
        // std::function needs a copyable target, and a packaged task is move-only.
        auto task = std::make_shared<std::packaged_task<Result()>>(std::forward<F>(function));
        std::future<Result> future = task->get_future();
        {
            std::lock_guard<std::mutex> lock(mutex);
            tasks.emplace_back([task]() { (*task)(); });
        }
        condition.notify_one();
        return future;
    }

    /** Stops and joins every worker, the last created first. Queued tasks stay unrun until
        clearTaskList or the destructor discards them. Calling it again does nothing. */
    void stop();
    /** Runs, on the calling thread, the oldest queued task that no worker has taken yet.
        False when there was none. A caller about to wait for its futures helps this way
        instead of sleeping while its tasks still wait for a worker to be scheduled. */
    bool runPendingTask();
    /** Discards every queued task that no worker has taken yet. */
    void clearTaskList();
    /** Workers still held: 0 after stop. */
    int getNumOfThreads() const;

private:
    void workerThreadFunction();

    std::vector<std::thread> threads;
    std::list<std::function<void()>> tasks;
    mutable std::mutex mutex;
    std::condition_variable condition;
    std::atomic<bool> stopRequested{false};
};

} // namespace murel
