#include "Processor/ThreadPool.h"

namespace murel
{

ThreadPool::ThreadPool(int numOfThreads)
{
    if (numOfThreads < 1)
        return;
    threads.reserve(static_cast<std::size_t>(numOfThreads));
    try
    {
        for (int i = 0; i < numOfThreads; ++i)
            threads.emplace_back(&ThreadPool::workerThreadFunction, this);
    }
    catch (...)
    {
        // The workers already started must not outlive a pool that was never constructed.
        stop();
        throw;
    }
}

ThreadPool::~ThreadPool()
{
    stop();
    clearTaskList();
}

void ThreadPool::workerThreadFunction()
{
    for (;;)
    {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex);
            condition.wait(lock, [this]() { return stopRequested.load() || !tasks.empty(); });
            if (stopRequested.load())
                return;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        // The packaged task catches whatever the function throws and stores it in the future.
        task();
    }
}

void ThreadPool::stop()
{
    stopRequested.store(true);
    {
        std::lock_guard<std::mutex> lock(mutex);
        condition.notify_all();
    }
    for (;;)
    {
        std::thread last;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (threads.empty())
                return;
            // Taken out under the lock so that two concurrent stops never join one thread twice.
            last = std::move(threads.back());
            threads.pop_back();
        }
        // Joined without the lock: a worker finishing its task still needs it.
        if (last.joinable())
            last.join();
    }
}

bool ThreadPool::runPendingTask()
{
    std::function<void()> task;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (tasks.empty())
            return false;
        task = std::move(tasks.front());
        tasks.pop_front();
    }
    task();
    return true;
}

void ThreadPool::clearTaskList()
{
    std::list<std::function<void()>> discarded;
    {
        std::lock_guard<std::mutex> lock(mutex);
        discarded.swap(tasks);
    }
    // Destroyed outside the lock: breaking a promise wakes its waiter, which may call add.
}

int ThreadPool::getNumOfThreads() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return static_cast<int>(threads.size());
}

} // namespace murel
