#pragma once

#include "AudioFile.h"
#include "BusSettings.h"
#include "DemoContent.h"

#include <atomic>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace murel::cli
{

/** What every command gets besides its options. */
struct CommandContext
{
    std::ostream& out;
    std::ostream& err;
    /** "murel process": the prefix of messages. */
    std::string commandName;
    bool quiet = false;
    /** A progress bar is drawn only when this is set (standard error is a terminal). */
    bool isTerminal = false;
    int terminalWidth = 80;
    const std::atomic<bool>* interrupted = nullptr;
    /** Where "-" reads from; null: "-" is not allowed as an input. */
    std::istream* in = nullptr;
    /** The program's own path, for finding the installed default model. */
    std::string programPath = {};
    /** -v: say more on standard error. */
    bool verbose = false;
    /** -y: replace existing outputs. */
    bool overwrite = false;

    void warn(const std::string& message) const;
    /** A note on standard error that -q silences. */
    void note(const std::string& message) const;
};

struct ProcessOptions
{
    /** IN OUT, IN [OUT] with --stems, or every input with -o. */
    std::vector<std::string> files;
    std::string outputFolder;
    int numOfJobs = 1;
    std::string stemsFolder;
    std::vector<std::string> models;
    /** --separator: the installed separator's models (instead of --model). */
    bool separator = false;
    BusRequests busses;
    /** --residual: the residual bus's gain, as murelParseGain takes it ("off" included). */
    std::string residual;
    OutputFormatRequest format;
    RawFormat raw;
    int blockSize = 4096;
};

struct SeparateOptions
{
    std::string input;
    std::string folder;
    /** Empty: the installed separator. */
    std::vector<std::string> models;
    OutputFormatRequest format;
    RawFormat raw;
    int blockSize = 4096;
};

struct InfoOptions
{
    std::string model;
    double sampleRate = 0.0;
    int numOfChannels = 0;
};

struct BenchOptions
{
    std::vector<std::string> models;
    double sampleRate = 0.0;
    int numOfChannels = 0;
    int blockSize = 512;
    double seconds = 10.0;
};

struct MakeModelOptions
{
    std::string output;
    DemoModelSettings settings;
};

struct MakeTestSignalOptions
{
    std::string output;
    TestSignalSettings settings;
    OutputFormatRequest format;
    /** --tone and --noise as given; the command line turns them into the settings' levels. */
    std::string toneLevel = "-12dB";
    std::string noiseLevel = "-30dB";
};

/** The commands; each throws Failure or UsageFailure for the command line to report. */
void runProcess(const ProcessOptions& options, const CommandContext& context);
void runSeparate(const SeparateOptions& options, const CommandContext& context);
void runInfo(const InfoOptions& options, const CommandContext& context);
void runBench(const BenchOptions& options, const CommandContext& context);
void runMakeModel(const MakeModelOptions& options, const CommandContext& context);
void runMakeTestSignal(const MakeTestSignalOptions& options, const CommandContext& context);

/** File name for a bus's stem: the bus name with characters that are unsafe in file names
    replaced, made unique among the buses by the bus index when needed. */
std::vector<std::string> makeStemFileNames(const std::vector<std::string>& busNames, const std::string& extension);

/** "48000", "44100", "22050.5" */
std::string formatRate(double sampleRate);

/** Name of the default model file. */
constexpr const char* defaultModelName = "speech-denoiser.model";

/** The default model of every host (the library's murelGetDefaultModelPath) for a rate (0: any);
    empty when none is installed. */
std::string findDefaultModel(double sampleRate);

/** The model files of a named set ("separator") as every host finds them
    (murelGetModelSetPath); empty when it is not installed in full. */
std::vector<std::string> findModelSet(const std::string& name, double sampleRate);

/** The installed separator's models; throws UsageFailure naming the files when they are missing. */
std::vector<std::string> findSeparatorModels();

} // namespace murel::cli
