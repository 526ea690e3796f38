// The murel tool with pipes, batches, existing and special files, hostile headers and the default
// model.
#include "CommandSupport.h"
#include "ToolTestSupport.h"

#include <fcntl.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace murel::test
{
namespace
{

/** Runs murel with standard input as a string. */
CommandResult runWithPipes(const std::vector<std::string>& arguments, const std::string& input)
{
    std::istringstream in(input);
    return runMurel(arguments, nullptr, &in);
}

// ---- Pipes and batches ----

TEST_F(ToolFiles, StandardInputAndOutputGiveTheSamplesOfTheFileForm)
{
    runMurelOrFail({"process", input, output, "-m", model, "-g", "Noise=0"});
    const AudioData expected = readAudio(output);

    const CommandResult result = runWithPipes({"process", "-", "-", "-m", model, "-g", "Noise=0"}, readFile(input));
    ASSERT_EQ(result.status, 0) << result.err;
    std::ofstream(folder.file("piped.wav"), std::ios::binary) << result.out;
    EXPECT_EQ(readAudio(folder.file("piped.wav")).samples, expected.samples);

    // Headerless PCM in, with its rate, channels and format given.
    std::string raw;
    for (const float sample : readAudio(input).samples)
        raw.append(reinterpret_cast<const char*>(&sample), sizeof sample);
    const CommandResult fromRaw = runWithPipes({"process", "-", "-", "-m", model, "-g", "Noise=0", "--raw-rate",
                                                "48000", "--raw-channels", "2", "--raw-format", "float", "-t", "wav"},
                                               raw);
    ASSERT_EQ(fromRaw.status, 0) << fromRaw.err;
    std::ofstream(folder.file("raw.wav"), std::ios::binary) << fromRaw.out;
    EXPECT_LE(getMaxDeviation(readAudio(folder.file("raw.wav")).samples, expected.samples), 1e-6);
}

TEST_F(ToolFiles, AWavFileShorterThanItsHeaderSaysIsProcessedWithAWarning)
{
    const std::string whole = readFile(input);
    const std::size_t numOfFrames = readAudio(input).getNumOfFrames();
    const std::size_t frameSize = 2 * sizeof(float);
    // Cut in the middle of the last frame kept: the partial frame is not counted.
    const std::string cut = whole.substr(0, whole.size() - (numOfFrames / 2) * frameSize - 3);
    const std::string cutPath = folder.file("cut.wav");
    std::ofstream(cutPath, std::ios::binary) << cut;
    const std::string warning = " of the " + std::to_string(numOfFrames) + " frames its header declares";
    const std::string kept = std::to_string(numOfFrames - numOfFrames / 2 - 1);

    const CommandResult fromFile = runMurel({"process", cutPath, output, "-m", model});
    ASSERT_EQ(fromFile.status, 0) << fromFile.err;
    EXPECT_NE(fromFile.err.find("'" + cutPath + "' holds only " + kept + warning), std::string::npos) << fromFile.err;
    EXPECT_EQ(std::to_string(readAudio(output).getNumOfFrames()), kept);

    const CommandResult fromPipe = runWithPipes({"process", "-", "-", "-m", model}, cut);
    ASSERT_EQ(fromPipe.status, 0) << fromPipe.err;
    EXPECT_NE(fromPipe.err.find("standard input holds only " + kept + warning), std::string::npos) << fromPipe.err;
}

TEST_F(ToolFiles, SeveralInputsGoIntoAFolderJobsAtATime)
{
    const std::string second = folder.file("second.wav");
    runMurelOrFail({"make-test-signal", second, "--seconds", "0.2", "--seed", "7"});
    runMurelOrFail({"process", input, output, "-m", model, "-g", "Noise=0"});
    const CommandResult batch =
        runMurel({"process", input, second, "-o", folder.file("clean"), "-j", "2", "-m", model, "-g", "Noise=0"});
    ASSERT_EQ(batch.status, 0) << batch.err;
    EXPECT_EQ(listFolder(folder.file("clean")), (std::vector<std::string>{"in.wav", "second.wav"}));
    EXPECT_EQ(readAudio(folder.file("clean/in.wav")).samples, readAudio(output).samples);
    EXPECT_EQ(readAudio(folder.file("clean/second.wav")).getNumOfFrames(), readAudio(second).getNumOfFrames());

    // A failing file does not stop the others; the run fails and names it.
    const CommandResult mixed =
        runMurel({"process", folder.file("missing.wav"), second, "-o", folder.file("mixed"), "-m", model});
    EXPECT_EQ(mixed.status, cli::exitFailure);
    EXPECT_NE(mixed.err.find("missing.wav"), std::string::npos) << mixed.err;
    EXPECT_EQ(listFolder(folder.file("mixed")), std::vector<std::string>{"second.wav"});

    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"process", input, folder.file("sub/in.wav"), "-o", folder.file("x"), "-m", model},
          std::vector<std::string>{"process", "-", "-o", folder.file("x"), "-m", model},
          std::vector<std::string>{"process", input, "-o", folder.file("x"), "-j", "0", "-m", model}})
        EXPECT_EQ(runMurel(arguments).status, cli::exitUsage) << arguments[2];
}

// ---- Existing and special files ----

TEST_F(ToolFiles, ExistingFilesAreReplacedOnlyWithOverwriteAndModelsNever)
{
    std::ofstream(output) << "precious";
    EXPECT_EQ(runMurel({"process", input, output, "-m", model}).status, cli::exitFailure);
    EXPECT_EQ(readFile(output), "precious");
    runMurelOrFail({"process", input, output, "-m", model, "-y"});
    EXPECT_GT(readAudio(output).getNumOfFrames(), 0u);

    // The input itself only when asked for; the model not even then.
    const std::string before = readFile(input);
    EXPECT_EQ(runMurel({"process", input, input, "-m", model}).status, cli::exitFailure);
    EXPECT_EQ(readFile(input), before);
    runMurelOrFail({"process", input, input, "-m", model, "--residual", "1", "-y"});
    const std::string modelBytes = readFile(model);
    const CommandResult onModel = runMurel({"process", input, model, "-m", model, "-y", "-t", "wav"});
    EXPECT_EQ(onModel.status, cli::exitFailure);
    EXPECT_NE(onModel.err.find("it is the model"), std::string::npos) << onModel.err;
    EXPECT_EQ(readFile(model), modelBytes);
    EXPECT_EQ(runMurel({"make-model", model}).status, cli::exitFailure);
}

TEST_F(ToolFiles, SpecialFilesAreRefusedOrWrittenInPlace)
{
    // A link: the file it points to is replaced, the link stays.
    std::ofstream(output) << "old";
    const std::string link = folder.file("link.wav");
    ASSERT_EQ(::symlink(output.c_str(), link.c_str()), 0);
    runMurelOrFail({"process", input, link, "-m", model, "-y"});
    struct stat status = {};
    ASSERT_EQ(::lstat(link.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_GT(readAudio(output).getNumOfFrames(), 0u);

    // A FIFO output is written in place for its reader; FIFOs with no writer as input or model
    // are refused at once instead of blocking.
    const std::string fifo = folder.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = readFile(fifo); });
    const CommandResult toFifo = runMurel({"process", input, fifo, "-m", model, "-t", "wav"});
    reader.join();
    EXPECT_EQ(toFifo.status, 0) << toFifo.err;
    EXPECT_EQ(received.substr(0, 4), "RIFF");
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"process", fifo, output, "-m", model},
          std::vector<std::string>{"process", input, output, "-m", fifo}, std::vector<std::string>{"info", fifo},
          std::vector<std::string>{"info", "/dev/zero"},
          std::vector<std::string>{"process", input, "/dev/null", "-m", model}})
    {
        const CommandResult result = runMurel(arguments);
        EXPECT_EQ(result.status, cli::exitFailure) << arguments[1] << arguments[2];
        EXPECT_NE(result.err.find("not a regular file"), std::string::npos) << result.err;
    }

    // The temporary name does not grow with the output's, so the longest name works.
    const std::string longName = folder.file(std::string(251, 'n') + ".wav");
    runMurelOrFail({"process", input, longName, "-m", model});
    EXPECT_GT(readAudio(longName).getNumOfFrames(), 0u);
}

// ---- Resource bounds ----

/** Runs murel in a child process whose address space is limited to 1 GB: a run that tries to
    take more fails there instead of exhausting the machine. The exit status, or -1. */
int runWithLimitedMemory(const std::vector<std::string>& arguments)
{
    const pid_t child = ::fork();
    if (child == 0)
    {
        const rlimit limit{rlim_t(1) << 30, rlim_t(1) << 30};
        ::setrlimit(RLIMIT_AS, &limit);
        ::_exit(runMurel(arguments).status);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ToolFiles, AbsurdRatesAndEndlessModelsAreRefusedEarly)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit";
#endif
    // A WAV header that claims the largest rate there is.
    const std::string fast = folder.file("fast.wav");
    writeAudio(fast, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, 48000, std::vector<float>(4800, 0.1f));
    std::fstream header(fast, std::ios::in | std::ios::out | std::ios::binary);
    const std::int32_t rate = 2147483647;
    header.seekp(24);
    header.write(reinterpret_cast<const char*>(&rate), sizeof rate);
    header.close();
    // A model made for 1 Hz.
    const std::string slowModel = folder.file("slow.model");
    runMurelOrFail({"make-model", slowModel, "--rate", "1"});

    EXPECT_EQ(runWithLimitedMemory({"process", fast, output, "-m", model}), cli::exitFailure);
    EXPECT_EQ(runWithLimitedMemory({"process", input, output, "-m", slowModel}), cli::exitFailure);
    EXPECT_EQ(runWithLimitedMemory({"bench", model, "--rate", "2147483647"}), cli::exitFailure);
    EXPECT_EQ(runWithLimitedMemory({"info", "/dev/zero"}), cli::exitFailure);
    EXPECT_EQ(runWithLimitedMemory({"process", input, output, "-m", "/dev/zero"}), cli::exitFailure);
    EXPECT_EQ(listFolder(folder.getPath()),
              (std::vector<std::string>{"fast.wav", "gate.model", "in.wav", "slow.model"}));
}

// ---- The default model and the command line ----

TEST_F(ToolFiles, DefaultModelRemovesTheResidualAndSaysSo)
{
    // The library finds the default model (in the build tree, the repository's).
    const std::string defaultModel = cli::findDefaultModel(0.0);
    ASSERT_NE(defaultModel, "");
    const CommandResult removed = runMurel({"process", input, output});
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.getNumOfErrorLines(), 1u);
    EXPECT_NE(removed.err.find("removed the residual bus 'Noise'"), std::string::npos) << removed.err;
    runMurelOrFail({"process", input, folder.file("expected.wav"), "-m", defaultModel, "-g", "Noise=0"});
    EXPECT_EQ(readAudio(output).samples, readAudio(folder.file("expected.wav")).samples);

    EXPECT_EQ(runMurel({"process", input, output, "-y", "-q"}).err, "");
    const CommandResult kept = runMurel({"process", input, output, "-y", "--residual", "-12dB"});
    EXPECT_EQ(kept.err, "");
    runMurelOrFail({"process", input, folder.file("expected.wav"), "-m", defaultModel, "-g", "Noise=-12dB", "-y"});
    EXPECT_EQ(readAudio(output).samples, readAudio(folder.file("expected.wav")).samples);
    EXPECT_EQ(runMurel({"process", input, output, "-y", "--residual", "loud"}).status, cli::exitUsage);
}

TEST(CommandLine, NoArgumentsIsAUsageErrorAndEveryCommandTakesTheCommonFlags)
{
    const CommandResult bare = runMurel({});
    EXPECT_EQ(bare.status, cli::exitUsage);
    EXPECT_EQ(bare.out, "");
    EXPECT_NE(bare.err.find("usage: murel COMMAND"), std::string::npos);
    for (const char* command : {"process", "separate", "info", "bench", "make-model", "make-test-signal", "help"})
    {
        const CommandResult version = runMurel({command, "--version"});
        EXPECT_EQ(version.status, 0) << command;
        EXPECT_EQ(version.out.rfind("murel ", 0), 0u) << version.out;
        EXPECT_NE(runMurel({command, "--help"}).out.find("-q, --quiet"), std::string::npos) << command;
        EXPECT_NE(runMurel({command, "--help"}).out.find("-v, --verbose"), std::string::npos) << command;
    }
    // The manual pages are the same text in roff.
    for (const char* command : {"process", "separate", "info", "bench", "make-model", "make-test-signal"})
    {
        const std::string page = runMurelOrFail({"man", command}).out;
        EXPECT_EQ(page.rfind(".TH MUREL-", 0), 0u) << page;
        EXPECT_NE(page.find(".B \\-q, \\-\\-quiet"), std::string::npos) << command;
    }
}

} // namespace
} // namespace murel::test
