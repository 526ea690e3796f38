#include "CommandSupport.h"
#include "Failure.h"
#include "PendingFile.h"

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

} // namespace murel::cli
