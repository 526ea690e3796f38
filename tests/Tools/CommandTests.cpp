#include "ToolTestSupport.h"

namespace murel::test
{
namespace
{

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

/** The text with every run of spaces shortened to one: table rows without their padding. */
std::string squeezeSpaces(const std::string& text)
{
    std::string squeezed;
    for (const char c : text)
        if (c != ' ' || squeezed.empty() || squeezed.back() != ' ')
            squeezed += c;
    return squeezed;
}

TEST(InfoCommand, DescribesHeaderBussesLatencyAndGraph)
{
    ScratchFolder folder;
    const std::string model = folder.file("gate.model");
    runMurelOrFail({"make-model", model, "--delay", "2"});
    const CommandResult info = runMurelOrFail({"info", model});
    // Hann frame: three hops of buffering, plus the network's two frames.
    for (const char* part : {"Sample rate   48000 Hz", "FFT 1024, window 1024, hop 256", "0 Signal, 1 Noise (residual)",
                             "2 frames in the network; 1280 samples", "in 1 (magnitudes), 513 bins", "516 in 3 layers"})
        EXPECT_TRUE(contains(info.out, part)) << part << " in " << info.out;
    const std::string table = squeezeSpaces(info.out);
    for (const char* row : {" level Norm input scale 1, offset 1 2 mode=0\n", " mask Sigmoid level - 0\n",
                            " delay SelfAttention mask weights 1x1, bias 513x1, contextKernel none 514 outputDelay=2\n",
                            " output Output delay - 0\n"})
        EXPECT_TRUE(contains(table, row)) << row << " in " << info.out;

    // At twice the model's rate every frame size doubles, and the latency with it.
    const CommandResult faster = runMurelOrFail({"info", model, "--rate", "96000", "--channels", "2"});
    EXPECT_TRUE(contains(faster.out, "2560 samples = 26.7 ms in all at 96000 Hz, 2 channels")) << faster.out;
}

TEST(BenchCommand, ReportsTheSpeed)
{
    ScratchFolder folder;
    const std::string model = folder.file("gate.model");
    runMurelOrFail({"make-model", model});
    const CommandResult bench =
        runMurelOrFail({"bench", model, model, "--seconds", "0.2", "--block", "300", "--channels", "2"});
    EXPECT_TRUE(contains(bench.out, "2 channels at 48000 Hz, blocks of 300 samples")) << bench.out;
    EXPECT_TRUE(contains(bench.out, "x real time")) << bench.out;
    EXPECT_EQ(runMurel({"bench", model, "--seconds", "0"}).status, cli::exitUsage);
}

TEST(HelpPages, EveryCommandHasAManualPage)
{
    for (const char* command : {"process", "separate", "info", "bench", "make-model", "make-test-signal"})
    {
        const CommandResult help = runMurelOrFail({command, "--help"});
        for (const char* section : {"NAME\n", "SYNOPSIS\n", "DESCRIPTION\n", "OPTIONS\n", "EXIT STATUS\n"})
            EXPECT_TRUE(contains(help.out, section)) << command << " lacks " << section;
        EXPECT_TRUE(contains(help.out, std::string("murel ") + command + " - ")) << help.out;
        EXPECT_EQ(runMurelOrFail({"help", command}).out, help.out);
        // Man-page width: nothing beyond 80 columns.
        std::istringstream lines(help.out);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(line.size(), 80u) << line;
    }
    const CommandResult main = runMurelOrFail({"--help"});
    EXPECT_TRUE(contains(main.out, "COMMANDS\n")) << main.out;
    EXPECT_TRUE(contains(runMurelOrFail({"--version"}).out, "murel ")) << main.out;
    EXPECT_EQ(runMurel({"help", "nonsense"}).status, cli::exitUsage);
}

TEST(MakeTestSignal, WritesTheRequestedFile)
{
    ScratchFolder folder;
    const std::string path = folder.file("signal.flac");
    runMurelOrFail({"make-test-signal", path, "--seconds", "1.5", "--rate", "32000", "--channels", "3", "--noise",
                    "-20dB", "--tone", "-inf"});
    const AudioData signal = readAudio(path);
    EXPECT_EQ(signal.info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(signal.info.channels, 3);
    EXPECT_EQ(signal.info.samplerate, 32000);
    EXPECT_EQ(signal.getNumOfFrames(), 48000u);
    EXPECT_NEAR(20.0 * std::log10(getRms(signal.samples)), -20.0, 0.2);
}

} // namespace
} // namespace murel::test
