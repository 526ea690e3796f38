#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Processor/ThreadPool.h"

using namespace murel;
using namespace std::chrono_literals;

namespace
{

template <typename T>
bool isReady(const std::future<T>& future)
{
    return future.wait_for(0s) == std::future_status::ready;
}

template <typename T>
void expectBrokenPromise(std::future<T>& future)
{
    try
    {
        future.get();
        ADD_FAILURE() << "the discarded task delivered a result";
    }
    catch (const std::future_error& error)
    {
        EXPECT_EQ(error.code(), std::make_error_code(std::future_errc::broken_promise));
    }
}

/** Holds the pool's worker in a task until open() is called. */
class BusyWorker
{
public:
    explicit BusyWorker(ThreadPool& pool)
    {
        std::future<void> started = start.get_future();
        task = pool.add(
            [this, opened = gate.get_future().share()]()
            {
                start.set_value();
                opened.wait();
                return 1;
            });
        started.wait();
    }
    int open()
    {
        gate.set_value();
        return task.get();
    }

private:
    std::promise<void> start, gate;
    std::future<int> task;
};

} // namespace

TEST(ThreadPool, PoolWithoutThreadsQueuesAndBreaksPromisesOnDestruction)
{
    std::atomic<int> runs{0};
    std::future<int> first;
    std::future<void> second;
    {
        ThreadPool pool(0);
        EXPECT_EQ(pool.getNumOfThreads(), 0);
        first = pool.add([&runs]() { return ++runs; });
        second = pool.add([&runs]() { ++runs; });
        std::this_thread::sleep_for(10ms);
        EXPECT_FALSE(isReady(first));
    }
    EXPECT_EQ(runs.load(), 0);
    expectBrokenPromise(first);
    expectBrokenPromise(second);

    ThreadPool negative(-3);
    EXPECT_EQ(negative.getNumOfThreads(), 0);
}

TEST(ThreadPool, StopJoinsEveryWorkerAndIsHarmlessTwice)
{
    ThreadPool pool(3);
    EXPECT_EQ(pool.getNumOfThreads(), 3);
    EXPECT_EQ(pool.add([]() { return 7; }).get(), 7);
    pool.stop();
    EXPECT_EQ(pool.getNumOfThreads(), 0);
    pool.stop();
    EXPECT_EQ(pool.getNumOfThreads(), 0);

    // A stopped pool never restarts: a task added now is only ever discarded.
    std::future<int> late = pool.add([]() { return 1; });
    std::this_thread::sleep_for(10ms);
    EXPECT_FALSE(isReady(late));
    pool.clearTaskList();
    expectBrokenPromise(late);
}

TEST(ThreadPool, ExceptionsTravelThroughTheFutureAndThePoolCarriesOn)
{
    // One worker, and the throwing tasks' futures read only after a later task finished: the
    // worker has then dropped its share of their exceptions. The standard library counts
    // exception references in code ThreadSanitizer cannot see, so an exception freed by the
    // worker after the caller read it would be reported as a race that is none.
    ThreadPool pool(1);
    std::future<int> failing = pool.add([]() -> int { throw std::runtime_error("model failed"); });
    std::future<void> failingVoid = pool.add([]() { throw std::out_of_range("index"); });
    std::future<int> fine = pool.add([]() { return 42; });
    EXPECT_EQ(fine.get(), 42);

    try
    {
        failing.get();
        ADD_FAILURE() << "no exception";
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_STREQ(error.what(), "model failed");
    }
    EXPECT_THROW(failingVoid.get(), std::out_of_range);
    EXPECT_EQ(pool.getNumOfThreads(), 1);
    EXPECT_EQ(pool.add([]() { return 5; }).get(), 5);
}

TEST(ThreadPool, DeliversMoveOnlyCallables)
{
    ThreadPool pool(1);
    auto owned = std::make_unique<int>(9);
    EXPECT_EQ(pool.add([value = std::move(owned)]() { return *value * 2; }).get(), 18);
}

TEST(ThreadPool, SingleWorkerRunsTasksInSubmissionOrder)
{
    ThreadPool pool(1);
    std::vector<int> order; // touched only by the one worker until the futures are collected
    std::vector<std::future<void>> futures;
    for (int i = 0; i < 200; ++i)
        futures.push_back(pool.add([&order, i]() { order.push_back(i); }));
    for (auto& future : futures)
        future.get();
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
}

TEST(ThreadPool, WorkersRunTasksSideBySide)
{
    // Each task waits for the other to start: only two workers running at once finish both.
    ThreadPool pool(2);
    std::promise<void> aStarted, bStarted;
    std::shared_future<void> aSeen = aStarted.get_future().share();
    std::shared_future<void> bSeen = bStarted.get_future().share();
    const auto meet = [](std::promise<void>& started, std::shared_future<void> other)
    {
        return [&started, other]()
        {
            started.set_value();
            return other.wait_for(20s) == std::future_status::ready;
        };
    };
    auto a = pool.add(meet(aStarted, bSeen));
    auto b = pool.add(meet(bStarted, aSeen));
    EXPECT_TRUE(a.get());
    EXPECT_TRUE(b.get());
}

TEST(ThreadPool, ManyTasksFromManyWorkersAllComplete)
{
    ThreadPool pool(4);
    std::atomic<long> sum{0};
    std::vector<std::future<long>> futures;
    for (long i = 1; i <= 2000; ++i)
        futures.push_back(pool.add(
            [&sum, i]()
            {
                sum += i;
                return i * i;
            }));
    long squares = 0;
    for (auto& future : futures)
        squares += future.get();
    EXPECT_EQ(sum.load(), 2000L * 2001L / 2);
    EXPECT_EQ(squares, 2000L * 2001L * 4001L / 6);
}

TEST(ThreadPool, ClearTaskListDiscardsOnlyQueuedTasks)
{
    ThreadPool pool(1);
    EXPECT_NO_THROW(pool.clearTaskList()); // nothing queued: nothing changes
    EXPECT_EQ(pool.add([]() { return 3; }).get(), 3);

    BusyWorker busy(pool); // the worker holds this task; the others stay queued
    std::future<int> queuedA = pool.add([]() { return 2; });
    std::future<int> queuedB = pool.add([]() { return 3; });
    pool.clearTaskList();
    expectBrokenPromise(queuedA);
    expectBrokenPromise(queuedB);
    EXPECT_EQ(busy.open(), 1);
    EXPECT_EQ(pool.add([]() { return 4; }).get(), 4);
}

TEST(ThreadPool, DestroyingWithQueuedTasksRunsNoneOfThem)
{
    auto pool = std::make_unique<ThreadPool>(1);
    std::atomic<int> queuedRuns{0};
    BusyWorker busy(*pool);
    std::vector<std::future<void>> queued;
    for (int i = 0; i < 5; ++i)
        queued.push_back(pool->add([&queuedRuns]() { ++queuedRuns; }));

    // Stop while the worker is busy: once the pool has let go of its thread, the stop request
    // is visible, so the worker returns after its task instead of taking the queued ones.
    std::thread stopper([&pool]() { pool->stop(); });
    while (pool->getNumOfThreads() != 0)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(busy.open(), 1);
    stopper.join();
    for (auto& future : queued)
        EXPECT_FALSE(isReady(future));

    pool.reset();
    EXPECT_EQ(queuedRuns.load(), 0);
    for (auto& future : queued)
        expectBrokenPromise(future);
}

TEST(ThreadPool, CallerRunsQueuedTasksInOrderWhileTheWorkerIsBusy)
{
    ThreadPool pool(1);
    BusyWorker worker(pool);
    std::vector<int> order;
    std::future<int> first = pool.add(
        [&order]()
        {
            order.push_back(1);
            return 1;
        });
    std::future<void> failing = pool.add([]() { throw std::runtime_error("model failed"); });
    EXPECT_TRUE(pool.runPendingTask());
    EXPECT_TRUE(pool.runPendingTask());
    EXPECT_FALSE(pool.runPendingTask());
    EXPECT_EQ(order, std::vector<int>{1});
    EXPECT_EQ(first.get(), 1);
    // The caller's run stores the exception in the future, as a worker's would.
    EXPECT_THROW(failing.get(), std::runtime_error);
    EXPECT_EQ(worker.open(), 1);
}
