#include "Processor/ModelWorker.h"

#include <climits>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace murel
{

namespace
{

// Spinning covers the usual case, a partner that is running already; sleeping covers a
// partner that is descheduled. A frame takes milliseconds, so the spin is a small share.
constexpr int numOfSpins = 4000;

void pause() noexcept
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

int* address(std::atomic<std::uint32_t>& counter)
{
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(int), "a futex word is 32 bits");
    return reinterpret_cast<int*>(&counter);
}

/** Waits until counter differs from value. */
void waitWhileEqual(std::atomic<std::uint32_t>& counter, std::uint32_t value, std::atomic<int>& sleepers) noexcept
{
    for (int i = 0; i < numOfSpins; ++i)
    {
        if (counter.load(std::memory_order_acquire) != value)
            return;
        pause();
    }
    sleepers.fetch_add(1, std::memory_order_seq_cst);
    while (counter.load(std::memory_order_seq_cst) == value)
        syscall(SYS_futex, address(counter), FUTEX_WAIT_PRIVATE, static_cast<int>(value), nullptr, nullptr, 0);
    sleepers.fetch_sub(1, std::memory_order_seq_cst);
}

/** Advances counter and wakes whoever sleeps on it. */
void advance(std::atomic<std::uint32_t>& counter, std::atomic<int>& sleepers) noexcept
{
    counter.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers.load(std::memory_order_seq_cst) > 0)
        syscall(SYS_futex, address(counter), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

} // namespace

ModelWorker::ModelWorker() : thread([this]() { run(); }) {}

ModelWorker::~ModelWorker()
{
    stopping.store(true, std::memory_order_seq_cst);
    advance(posted, sleepers);
    thread.join();
}

void ModelWorker::start(NeuralModel<float>& frameModel, const ComplexSignalView& frameInput) noexcept
{
    model = &frameModel;
    input = frameInput;
    advance(posted, sleepers);
}

int ModelWorker::wait() noexcept
{
    waitWhileEqual(finished, posted.load(std::memory_order_relaxed) - 1, sleepers);
    return result;
}

void ModelWorker::run() noexcept
{
    std::uint32_t done = 0;
    for (;;)
    {
        waitWhileEqual(posted, done, sleepers);
        if (stopping.load(std::memory_order_seq_cst))
            return;
        try
        {
            result = model->processFrame(input);
        }
        catch (...)
        {
            result = -1;
        }
        ++done;
        advance(finished, sleepers);
    }
}

} // namespace murel
