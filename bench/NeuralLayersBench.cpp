// Throughput of the convolution, dense and self-attention layers in GFLOP/s, each next to
// single-threaded OpenBLAS sgemm on the matrix product of the same size (the same number of
// multiply-adds), run in the same process.
//
// Shapes are those of a spectral denoiser: frames of 64 to 256 frequency rows with 16 to 64
// channels. The layer benchmarks push one frame per iteration into a layer that feeds nothing,
// so they time exactly the layer's per-frame work.

#include <benchmark/benchmark.h>
#include <cblas.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "DspCore/VectorOps.h"
#include "Format/ModelWriter.h"
#include "MultiplyAddPeak.h"
#include "Neural/MemoryInputStream.h"
#include "Neural/NeuralModel.h"

namespace mw = murel::modelwriter;

namespace
{

std::vector<float> randomValues(std::size_t count, std::uint32_t seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-1.0f, 1.0f);
    std::vector<float> values(count);
    for (float& value : values)
        value = distribution(generator);
    return values;
}

mw::TensorRecord tensorRecord(std::vector<int> shape, std::uint32_t seed)
{
    std::size_t count = 1;
    for (const int axis : shape)
        count *= static_cast<std::size_t>(axis);
    return mw::TensorRecord(std::move(shape), randomValues(count, seed));
}

/** A model with input frames [1, rows, channels] and one layer, named "layer", fed by the input
    and feeding nothing. */
struct LayerUnderTest
{
    LayerUnderTest(int rows, int channels, mw::LayerBody body)
    {
        mw::ModelDescription description;
        description.header.numInputChannels = channels;
        description.header.inputPacking = mw::Packing::plain(murel::PackingCode::magnitudes, rows);
        description.header.outputPacking = mw::Packing::history(rows, 0, 1);
        description.layers = {mw::LayerRecord{"layer", std::move(body)}};
        description.outputSource = "input";
        const std::vector<std::uint8_t> bytes = mw::writeModel(description);
        loaded = model.loadModel(std::make_shared<murel::MemoryInputStream>(bytes));
        if (loaded)
            layer = std::get<std::shared_ptr<murel::BaseLayer<float>>>(model.layers.at("layer")).get();
        frame = murel::Tensor<float>({1, rows, channels});
        const std::vector<float> values = randomValues(static_cast<std::size_t>(rows * channels), 99);
        std::copy(values.begin(), values.end(), frame.getWritePointer());
    }

    void run(benchmark::State& state, double flopsPerFrame)
    {
        if (!loaded)
        {
            state.SkipWithError("the model did not load");
            return;
        }
        for (auto _ : state)
            benchmark::DoNotOptimize(layer->push(frame, nullptr));
        state.counters["GFLOP/s"] =
            benchmark::Counter(flopsPerFrame * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    }

    murel::NeuralModel<float> model;
    murel::BaseLayer<float>* layer = nullptr;
    murel::Tensor<float> frame;
    bool loaded = false;
};

/** C [m x n] = A [m x k] B [k x n], row-major, single-threaded. */
void runSgemm(benchmark::State& state, int m, int n, int k)
{
    const std::vector<float> a = randomValues(static_cast<std::size_t>(m) * static_cast<std::size_t>(k), 1);
    const std::vector<float> b = randomValues(static_cast<std::size_t>(k) * static_cast<std::size_t>(n), 2);
    std::vector<float> c(static_cast<std::size_t>(m) * static_cast<std::size_t>(n));
    for (auto _ : state)
    {
        cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a.data(), k, b.data(), n, 0.0f, c.data(),
                    n);
        benchmark::ClobberMemory();
    }
    state.counters["GFLOP/s"] =
        benchmark::Counter(2.0 * m * n * k * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

void multiplyAddPeak(benchmark::State& state)
{
    murel::bench::measureMultiplyAddPeak(state, "GFLOP/s");
}

// Convolution 3 x 3 (time x frequency), stride 1: output rows x output channels, with
// 3 x 3 x input channels multiply-adds each. Arguments: rows, channels (in = out).

void convLayer(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    mw::ConvLayerRecord record;
    record.source = "input";
    record.weights = tensorRecord({3, 3, channels, channels}, 3);
    record.bias = tensorRecord({channels}, 4);
    LayerUnderTest test(rows, channels, record);
    test.run(state, 2.0 * rows * channels * 9.0 * channels);
}

void convSgemm(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    runSgemm(state, rows, channels, 9 * channels);
}

void convArguments(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"rows", "channels"});
    for (const int rows : {64, 128, 256})
        for (const int channels : {16, 32, 64})
            benchmark->Args({rows, channels});
}

// Depthwise 3 x 3 convolution (one weight per channel and tap), for reference; it has no
// sgemm counterpart.
void depthwiseConvLayer(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    mw::ConvLayerRecord record;
    record.source = "input";
    record.weights = tensorRecord({3, 3, 1, channels}, 3);
    record.bias = tensorRecord({channels}, 4);
    LayerUnderTest test(rows, channels, record);
    test.run(state, 2.0 * rows * channels * 9.0);
}

// Transposed convolution 3 x 3, time stride 1: the same multiply-adds as the convolution.
void transposedConvLayer(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    mw::TransposedConvLayerRecord record;
    record.source = "input";
    record.weights = tensorRecord({3, 3, channels, channels}, 3);
    record.bias = tensorRecord({channels}, 4);
    record.outputChannels = channels;
    LayerUnderTest test(rows, channels, record);
    murel::Tensor<float> frame = test.frame;
    // Drain the one frame each push queues, as the output would.
    if (!test.loaded)
    {
        state.SkipWithError("the model did not load");
        return;
    }
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(test.layer->push(frame, nullptr));
    }
    state.counters["GFLOP/s"] = benchmark::Counter(2.0 * rows * channels * 9.0 * channels * 1e-9,
                                                   benchmark::Counter::kIsIterationInvariantRate);
}

// Dense: every output row mixes all rows of its channel, rows x rows multiply-adds per channel.
// The sgemm counterpart with as many multiply-adds is [rows x rows] x [rows x channels].

void denseLayer(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    mw::DenseLayerRecord record;
    record.source = "input";
    record.weights = tensorRecord({rows, rows, channels}, 5);
    record.bias = tensorRecord({rows, channels}, 6);
    LayerUnderTest test(rows, channels, record);
    test.run(state, 2.0 * rows * rows * channels);
}

void denseSgemm(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    runSgemm(state, rows, channels, rows);
}

void denseArguments(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"rows", "channels"});
    for (const int channels : {8, 16, 32})
        benchmark->Args({64, channels});
}

// Self-attention: the channel mix [rows x channels] x [channels x channels], with a context
// kernel of three taps (counted too; sgemm does only the product).

void selfAttentionLayer(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    mw::SelfAttentionLayerRecord record;
    record.source = "input";
    record.weights = tensorRecord({channels, channels}, 7);
    record.bias = tensorRecord({rows, channels}, 8);
    record.contextKernel = tensorRecord({3, channels}, 9);
    LayerUnderTest test(rows, channels, record);
    test.run(state, 2.0 * rows * channels * channels + 2.0 * 3 * rows * channels);
}

void selfAttentionSgemm(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const int channels = static_cast<int>(state.range(1));
    runSgemm(state, rows, channels, channels);
}

void attentionArguments(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"rows", "channels"});
    for (const int rows : {64, 128})
        for (const int channels : {32, 64})
            benchmark->Args({rows, channels});
}

// Recurrent layers: per frame a product of the gate weights with the frame ([gates x hidden] x
// [rows x channels]) and with the hidden state ([gates x hidden] x [hidden]), then the gates.
// Only the products are counted; the sgemm counterpart does the same products as one
// [1 x (inputs + hidden)] x [(inputs + hidden) x gates x hidden] product. Arguments: inputs
// (rows of one channel), hidden channels.

void recurrentLayer(benchmark::State& state, murel::LayerType type)
{
    const int inputs = static_cast<int>(state.range(0));
    const int hidden = static_cast<int>(state.range(1));
    const int gates = type == murel::LayerType::lstm ? 4 : 3;
    mw::RecurrentLayerRecord record;
    record.type = type;
    record.source = "input";
    record.inputWeights = tensorRecord({gates * hidden, inputs}, 10);
    record.recurrentWeights = tensorRecord({gates * hidden, hidden}, 11);
    record.inputBias = tensorRecord({gates * hidden}, 12);
    record.recurrentBias = tensorRecord({gates * hidden}, 13);
    LayerUnderTest test(inputs, 1, record);
    test.run(state, 2.0 * gates * hidden * (inputs + hidden));
}

void gruLayer(benchmark::State& state)
{
    recurrentLayer(state, murel::LayerType::gru);
}

void lstmLayer(benchmark::State& state)
{
    recurrentLayer(state, murel::LayerType::lstm);
}

void gruSgemm(benchmark::State& state)
{
    const int inputs = static_cast<int>(state.range(0));
    const int hidden = static_cast<int>(state.range(1));
    runSgemm(state, 1, 3 * hidden, inputs + hidden);
}

void recurrentArguments(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ArgNames({"inputs", "hidden"});
    for (const int hidden : {64, 130, 256})
        benchmark->Args({257, hidden});
}

} // namespace

BENCHMARK(multiplyAddPeak);
BENCHMARK(convLayer)->Apply(convArguments);
BENCHMARK(convSgemm)->Apply(convArguments);
BENCHMARK(depthwiseConvLayer)->Apply(convArguments);
BENCHMARK(transposedConvLayer)->Apply(convArguments);
BENCHMARK(denseLayer)->Apply(denseArguments);
BENCHMARK(denseSgemm)->Apply(denseArguments);
BENCHMARK(selfAttentionLayer)->Apply(attentionArguments);
BENCHMARK(selfAttentionSgemm)->Apply(attentionArguments);
BENCHMARK(gruLayer)->Apply(recurrentArguments);
BENCHMARK(lstmLayer)->Apply(recurrentArguments);
BENCHMARK(gruSgemm)->Apply(recurrentArguments);

int main(int argc, char** argv)
{
    // The comparison is against one core.
    openblas_set_num_threads(1);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
