#include "CommandOptions.h"
#include "CommandSupport.h"
#include "Failure.h"
#include "ManPage.h"

#include "PendingFile.h"
#include <CLI/CLI.hpp>

#include <unistd.h>

namespace murel::cli
{

namespace
{

OutputRules makeRules(const CommandContext& context)
{
    OutputRules rules;
    rules.overwrite = context.overwrite;
    rules.standardOutput = &context.out;
    return rules;
}

} // namespace

void runMakeModel(const MakeModelOptions& options, const CommandContext& context)
{
    std::vector<std::uint8_t> bytes;
    try
    {
        bytes = modelwriter::writeModel(makeDemoModel(options.settings));
    }
    catch (const std::invalid_argument& error)
    {
        throw UsageFailure(std::string("cannot make this model: ") + error.what());
    }
    OutputFile file(options.output, makeRules(context));
    if (file.isInMemory())
    {
        file.getMemory().bytes.assign(bytes.begin(), bytes.end());
        file.commit();
        return;
    }
    const int descriptor = file.releaseDescriptor();
    std::size_t numOfBytesWritten = 0;
    while (numOfBytesWritten < bytes.size())
    {
        const ssize_t result = ::write(descriptor, bytes.data() + numOfBytesWritten, bytes.size() - numOfBytesWritten);
        if (result <= 0)
        {
            const std::string reason = getSystemReason();
            ::close(descriptor);
            throw Failure("cannot write " + quote(options.output) + ": " + reason);
        }
        numOfBytesWritten += static_cast<std::size_t>(result);
    }
    if (::close(descriptor) != 0)
        throw Failure("cannot write " + quote(options.output) + ": " + getSystemReason());
    file.commit();
}

void runMakeTestSignal(const MakeTestSignalOptions& options, const CommandContext& context)
{
    const TestSignalSettings& settings = options.settings;
    const std::vector<float> frames = makeTestSignal(settings);
    // Unless asked otherwise: 16-bit integers, or the usual encoding of a lossy container.
    SF_INFO source = {};
    source.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    source.channels = settings.numOfChannels;
    source.samplerate = settings.sampleRate;
    const int format = chooseOutputFormat(source, options.output, options.format);
    AudioWriter writer(options.output, format, settings.numOfChannels, settings.sampleRate, {}, makeRules(context));
    writer.write(frames.data(), static_cast<std::int64_t>(frames.size() / std::size_t(settings.numOfChannels)));
    writer.finish();
}

CLI::App* addMakeModelCommand(CLI::App& app, MakeModelOptions& options, CommonFlags& flags)
{
    CLI::App* makeModel = app.add_subcommand("make-model", "Write a small demonstration model (no trained network).");
    makeModel->group("Development");
    ManPage page;
    page.name = "murel make-model";
    page.summary = "write a small demonstration model";
    page.synopsis = {"murel make-model OUT [--kind gate|identity|constant] [OPTIONS]"};
    page.description =
        "Writes a model file made with the project's own model writer, for trying murel and the library "
        "before a trained model is at hand, and for tests. None of the kinds holds a trained network:\n"
        "\n"
        "\tgate\ta spectral gate, the default: bus Signal keeps every bin louder than the threshold, the "
        "residual bus Noise gets the rest. --gain Noise=0 removes a steady noise floor.\n"
        "\tidentity\toutputs the spectrum it is given: bus Processed holds everything, the residual nothing, "
        "and the output equals the input whatever the gains.\n"
        "\tconstant\ta mask of one value (--mask) for every bin: bus Processed is the input times the value, "
        "the residual the rest.";
    page.sections = {{"EXIT STATUS", exitStatusText},
                     {"EXAMPLES", "  murel make-model demo.model\n"
                                  "  murel make-model stereo-identity.model --kind identity --channels 2\n"
                                  "  murel make-model quarter.model --kind constant --mask 0.25 --bus Voice"}};
    makeModel->formatter(std::make_shared<ManPageFormatter>(page));
    DemoModelSettings& settings = options.settings;
    flags.addTo(makeModel);
    flags.addOverwriteTo(makeModel);
    makeModel->add_option("OUT", options.output, "The model file to write.")->required()->type_name("OUT");
    makeModel->add_option("-k,--kind", settings.kind, "gate (default), identity or constant.")->type_name("KIND");
    makeModel->add_option("-c,--channels", settings.numOfChannels, "Input and output channels (default 1).")
        ->type_name("N");
    makeModel->add_option("-r,--rate", settings.sampleRate, "The model's sample rate in Hz (default 48000).")
        ->type_name("RATE");
    makeModel->add_option("--fft", settings.fftSize, "FFT size, a power of two (default 1024).")->type_name("N");
    makeModel->add_option("--window", settings.windowSize, "Window size in samples (default 1024).")->type_name("N");
    makeModel
        ->add_option("--hop", settings.hopSize,
                     "Hop size in samples (default 256). The engine reconstructs its input exactly when the "
                     "window is 2 or 4 hops long and as long as the FFT.")
        ->type_name("N");
    makeModel
        ->add_option("--threshold", settings.thresholdDecibels,
                     "gate: level in dB below full scale of a sine whose bins pass at half gain (default -40).")
        ->type_name("DB");
    makeModel->add_option("--mask", settings.maskValue, "constant: the mask value, 0 to 1 (default 0.5).")
        ->type_name("VALUE");
    makeModel
        ->add_option("--delay", settings.delay,
                     "Frames the network holds back before its output, 0 to 127 (default 0): a latency for "
                     "the processor to compensate.")
        ->type_name("FRAMES");
    makeModel->add_option("--bus", settings.busName, "Name of the model's bus (default Signal or Processed).")
        ->type_name("NAME");
    makeModel->add_option("--residual", settings.residualName, "Name of the residual bus (default Noise or Residual).")
        ->type_name("NAME");
    return makeModel;
}

CLI::App* addMakeTestSignalCommand(CLI::App& app, MakeTestSignalOptions& options, CommonFlags& flags)
{
    CLI::App* makeTestSignal = app.add_subcommand("make-test-signal", "Write a short noisy test recording.");
    makeTestSignal->group("Development");
    ManPage page;
    page.name = "murel make-test-signal";
    page.summary = "write a short noisy test recording";
    page.synopsis = {"murel make-test-signal OUT [--seconds S] [--rate RATE] [--channels N] [--tone LEVEL] "
                     "[--noise LEVEL] [--seed N] [--type TYPE] [--format FORMAT]"};
    page.description = "Writes chords of three sine tones that change every 0.75 seconds, each tone at the --tone peak "
                       "level, with Gaussian white noise at the --noise RMS level. The same settings give the same "
                       "samples on every machine. The file type comes from the extension of OUT (or --type); samples "
                       "are 16-bit integers unless --format says otherwise (Ogg files: Vorbis).";
    page.sections = {{"EXIT STATUS", exitStatusText},
                     {"EXAMPLES", "  murel make-test-signal noisy.wav\n"
                                  "  murel make-test-signal noise.flac --tone -inf --noise -20dB -c 1"}};
    makeTestSignal->formatter(std::make_shared<ManPageFormatter>(page));
    TestSignalSettings& settings = options.settings;
    flags.addTo(makeTestSignal);
    flags.addOverwriteTo(makeTestSignal);
    makeTestSignal->add_option("OUT", options.output, "The audio file to write.")->required()->type_name("OUT");
    makeTestSignal->add_option("--seconds", settings.seconds, "Length in seconds (default 3).")->type_name("S");
    makeTestSignal->add_option("-r,--rate", settings.sampleRate, "Sample rate in Hz (default 48000).")
        ->type_name("RATE");
    makeTestSignal->add_option("-c,--channels", settings.numOfChannels, "Channel count (default 2).")->type_name("N");
    makeTestSignal
        ->add_option("--tone", options.toneLevel, "Peak level of each tone in dB (default -12dB; -inf: none).")
        ->type_name("LEVEL");
    makeTestSignal
        ->add_option("--noise", options.noiseLevel, "RMS level of the noise in dB (default -30dB; -inf: none).")
        ->type_name("LEVEL");
    makeTestSignal->add_option("--seed", settings.seed, "Seed of the noise (default 1).")->type_name("N");
    makeTestSignal->add_option("-t,--type", options.format.type, "File type, as for murel process.")->type_name("TYPE");
    makeTestSignal->add_option("-f,--format", options.format.sampleFormat, "Sample format, as for murel process.")
        ->type_name("FORMAT");
    return makeTestSignal;
}

} // namespace murel::cli
