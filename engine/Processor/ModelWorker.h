#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "DspCore/Signals.h"
#include "Neural/NeuralModel.h"

namespace murel
{

/** A persistent thread that runs one model per frame for the processor's caller, which runs
    another model meanwhile. The hand-off is two counters: the caller posts a frame, the worker
    reports it done. Each side spins briefly and then sleeps on the counter (a futex), so neither
    ever blocks on a lock the other holds, and a frame costs no allocation. */
class ModelWorker
{
public:
    /** Starts the thread. */
    ModelWorker();
    /** Stops and joins the thread. */
    ~ModelWorker();

    ModelWorker(const ModelWorker&) = delete;
    ModelWorker& operator=(const ModelWorker&) = delete;

    /** Hands the worker one frame: model.processFrame(input). Both must stay untouched until
        wait returns. */
    void start(NeuralModel<float>& model, const ComplexSignalView& input) noexcept;
    /** Waits until the frame is done: the number of mask frames, -1 when the model threw. */
    int wait() noexcept;

private:
    void run() noexcept;

    /** Frames posted by the caller and frames finished by the worker. */
    std::atomic<std::uint32_t> posted{0};
    std::atomic<std::uint32_t> finished{0};
    /** Threads asleep on either counter, so that a post or a finish wakes only when needed. */
    std::atomic<int> sleepers{0};
    std::atomic<bool> stopping{false};
    NeuralModel<float>* model = nullptr;
    ComplexSignalView input;
    int result = 0;
    std::thread thread;
};

} // namespace murel
