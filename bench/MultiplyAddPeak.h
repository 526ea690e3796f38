#pragma once

#include <benchmark/benchmark.h>

#include "DspCore/VectorOps.h"

namespace murel::bench
{

/** The four-lane multiply-add peak of one core through the vector wrapper the layers use:
    twelve independent accumulators, so that neither latency nor loads limit it. Reports
    GFLOP/s under counterName, for the layers' share of it. */
inline void measureMultiplyAddPeak(benchmark::State& state, const char* counterName)
{
    constexpr int numOfAccumulators = 12;
    constexpr int numOfSteps = 4096;
    vec::Float4 acc[numOfAccumulators];
    for (int i = 0; i < numOfAccumulators; ++i)
        acc[i] = vec::broadcast(0.001f * static_cast<float>(i));
    const vec::Float4 a = vec::broadcast(0.999f);
    const vec::Float4 b = vec::broadcast(0.0001f);
    for (auto _ : state)
    {
        for (int step = 0; step < numOfSteps; ++step)
            for (int i = 0; i < numOfAccumulators; ++i)
                acc[i] = vec::fma(b, acc[i], a);
        for (int i = 0; i < numOfAccumulators; ++i)
            benchmark::DoNotOptimize(acc[i]);
    }
    state.counters[counterName] =
        benchmark::Counter(8.0 * numOfSteps * numOfAccumulators * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

} // namespace murel::bench
