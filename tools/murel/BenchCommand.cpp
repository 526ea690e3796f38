#include "CommandOptions.h"
#include "CommandSupport.h"
#include "EngineHandles.h"
#include "Failure.h"
#include "ManPage.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace murel::cli
{

namespace
{

std::string formatFixed(double value, int numOfDecimals, const char* unit = "")
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f%s", numOfDecimals, value, unit);
    return text;
}

} // namespace

void runBench(const BenchOptions& options, const CommandContext& context)
{
    if (options.blockSize < 1 || options.blockSize > (1 << 20))
        throw UsageFailure("the block size must be from 1 to 1048576 samples");
    if (!(options.seconds > 0.0 && options.seconds <= 3600.0))
        throw UsageFailure("the length must be more than 0 and at most 3600 seconds");
    if (options.sampleRate < 0.0 || options.numOfChannels < 0)
        throw UsageFailure("the rate and the channel count must be positive");

    double rate = options.sampleRate;
    int numOfChannels = options.numOfChannels;
    {
        const ModelHandle first(options.models.front());
        if (rate == 0.0)
            rate = first.getInfo().sampleRate;
        if (numOfChannels == 0)
            numOfChannels = first.getInfo().numOfChannels;
    }
    ProcessorHandle processor(options.models, numOfChannels, rate);

    // Noise at -20 dBFS keeps every bin busy, as real audio would.
    TestSignalSettings signal;
    signal.numOfChannels = numOfChannels;
    signal.sampleRate = std::max(1, static_cast<int>(std::lround(rate)));
    signal.seconds = std::max(1.0, std::min(options.seconds, 10.0));
    signal.toneDecibels = -300.0;
    signal.noiseDecibels = -20.0;
    const std::vector<float> noise = makeTestSignal(signal);
    const std::size_t numOfNoiseFrames = noise.size() / std::size_t(numOfChannels);

    const std::size_t blockSize = std::size_t(options.blockSize);
    std::vector<float> block(blockSize * std::size_t(numOfChannels));
    std::vector<float> output(block.size());
    std::size_t position = 0;
    const auto runBlock = [&]
    {
        for (std::size_t frame = 0; frame < blockSize; ++frame, position = (position + 1) % numOfNoiseFrames)
            std::copy_n(noise.begin() + static_cast<std::ptrdiff_t>(position * std::size_t(numOfChannels)),
                        numOfChannels, block.begin() + static_cast<std::ptrdiff_t>(frame * std::size_t(numOfChannels)));
        const auto start = std::chrono::steady_clock::now();
        murelAddAudioInterleaved(processor.get(), block.data(), options.blockSize);
        // A host takes what is ready after every block.
        const int numOfPendingFrames = murelGetNumOfPendingSamples(processor.get());
        for (int taken = 0; taken < numOfPendingFrames;)
        {
            const int numOfFrames = std::min(numOfPendingFrames - taken, options.blockSize);
            murelGetAudioInterleaved(processor.get(), output.data(), numOfFrames);
            taken += numOfFrames;
        }
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };

    const auto numOfBlocks =
        static_cast<std::size_t>(std::ceil(options.seconds * rate / static_cast<double>(blockSize)));
    const auto numOfWarmUpBlocks = static_cast<std::size_t>(std::ceil(0.5 * rate / static_cast<double>(blockSize)));
    for (std::size_t i = 0; i < numOfWarmUpBlocks; ++i)
        runBlock();

    double total = 0.0;
    double worst = 0.0;
    const std::clock_t cpuStart = std::clock();
    for (std::size_t i = 0; i < numOfBlocks; ++i)
    {
        if (context.interrupted != nullptr && context.interrupted->load())
            throw Failure("interrupted");
        const double seconds = runBlock();
        total += seconds;
        worst = std::max(worst, seconds);
    }
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double audioSeconds = static_cast<double>(numOfBlocks * blockSize) / rate;
    const double blockSeconds = static_cast<double>(blockSize) / rate;

    std::ostream& out = context.out;
    std::string models;
    for (const std::string& model : options.models)
        models += (models.empty() ? "" : ", ") + model;
    out << "Models        " << models << "\n";
    out << "Processor     " << numOfChannels << (numOfChannels == 1 ? " channel" : " channels") << " at "
        << formatRate(rate) << " Hz, blocks of " << blockSize << " samples, " << getVectorArithmeticName() << "\n";
    out << "Latency       " << processor.getLatency() << " samples ("
        << formatFixed(1000.0 * processor.getLatency() / rate, 1, " ms") << ")\n";
    out << "Audio         " << formatFixed(audioSeconds, 2, " s") << " processed in " << formatFixed(total, 3, " s")
        << " (CPU " << formatFixed(cpu, 3, " s") << ")\n";
    out << "Speed         " << formatFixed(total > 0.0 ? audioSeconds / total : HUGE_VAL, 1) << " x real time\n";
    out << "Per block     mean " << formatFixed(1000.0 * total / static_cast<double>(numOfBlocks), 3, " ms")
        << ", worst " << formatFixed(1000.0 * worst, 3, " ms") << "; a block lasts "
        << formatFixed(1000.0 * blockSeconds, 3, " ms") << "\n";
}

CLI::App* addBenchCommand(CLI::App& app, BenchOptions& options, CommonFlags& flags)
{
    CLI::App* bench = app.add_subcommand("bench", "Measure how fast a model processes audio.");
    ManPage page;
    page.name = "murel bench";
    page.summary = "measure how fast a model processes audio";
    page.synopsis = {"murel bench MODEL [MODEL ...] [--rate RATE] [--channels N] [--block SAMPLES] "
                     "[--seconds SECONDS]"};
    page.description =
        "Runs white noise through a processor (one model) or a stem separator (several) block by block, "
        "as a real-time host would, taking the processed audio after every block. Reports the speed in "
        "multiples of real time (seconds of audio per second of processing), the mean and the worst time "
        "per block next to the time a block lasts, and the CPU time of all threads. Half a second of "
        "audio warms the processor up first and is not counted.";
    page.sections = {{"EXIT STATUS", exitStatusText},
                     {"EXAMPLES", "  murel bench denoiser.model\n"
                                  "  murel bench denoiser.model --rate 44100 --channels 2 --block 128"}};
    bench->formatter(std::make_shared<ManPageFormatter>(page));
    flags.addTo(bench);
    bench->add_option("MODEL", options.models, "Model files; several make a stem separator.")
        ->required()
        ->type_name("MODEL");
    bench->add_option("-r,--rate", options.sampleRate, "Sample rate in Hz. Default: the first model's.")
        ->check(getPositiveCheck())
        ->type_name("RATE");
    bench->add_option("-c,--channels", options.numOfChannels, "Channel count. Default: the first model's.")
        ->check(getPositiveCheck())
        ->type_name("N");
    bench->add_option("-b,--block", options.blockSize, "Samples per channel in each block (default 512).")
        ->check(getPositiveCheck())
        ->type_name("SAMPLES");
    bench->add_option("--seconds", options.seconds, "Seconds of audio to process (default 10).")
        ->check(getPositiveCheck())
        ->type_name("SECONDS");
    return bench;
}

} // namespace murel::cli
