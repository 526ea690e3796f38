#include "Render.h"

#include "AudioFile.h"
#include "EngineHandles.h"
#include "Failure.h"
#include "ProgressBar.h"

#include <algorithm>

namespace murel::cli
{

namespace
{

class TargetState
{
public:
    TargetState(const RenderTarget& renderTarget, int numOfChannels, int blockSize)
        : target(renderTarget), buffer(std::size_t(numOfChannels) * std::size_t(blockSize)), maxNumOfFrames(blockSize)
    {
    }

    void add(float* frames, std::int64_t numOfFrames)
    {
        murelAddAudioInterleaved(target.processor->get(), frames, static_cast<int>(numOfFrames));
    }

    /** Writes what is pending, up to limit frames in all. */
    void drain(std::int64_t limit)
    {
        std::int64_t numOfFramesToTake =
            std::min<std::int64_t>(murelGetNumOfPendingSamples(target.processor->get()), limit - numOfFramesWritten);
        while (numOfFramesToTake > 0)
        {
            const std::int64_t numOfFrames = std::min<std::int64_t>(numOfFramesToTake, maxNumOfFrames);
            if (!murelGetAudioInterleaved(target.processor->get(), buffer.data(), static_cast<int>(numOfFrames)))
                throw Failure("the processor did not deliver the audio it reported as pending");
            target.writer->write(buffer.data(), numOfFrames);
            numOfFramesWritten += numOfFrames;
            numOfFramesToTake -= numOfFrames;
        }
    }

    std::int64_t getNumOfFramesWritten() const { return numOfFramesWritten; }
    int getLatency() const { return target.processor->getLatency(); }

private:
    RenderTarget target;
    std::vector<float> buffer;
    int maxNumOfFrames;
    std::int64_t numOfFramesWritten = 0;
};

void checkInterrupted(const RenderSettings& settings)
{
    if (settings.interrupted != nullptr && settings.interrupted->load())
        throw Failure("interrupted");
}

} // namespace

std::int64_t renderFile(AudioReader& input, const std::vector<RenderTarget>& targets, const RenderSettings& settings)
{
    const int numOfChannels = input.getNumOfChannels();
    const int blockSize = std::max(settings.blockSize, 1);
    std::vector<TargetState> states;
    states.reserve(targets.size());
    for (const RenderTarget& target : targets)
        states.emplace_back(target, numOfChannels, blockSize);

    std::vector<float> block(std::size_t(numOfChannels) * std::size_t(blockSize));
    std::int64_t numOfFrames = 0;
    for (;;)
    {
        checkInterrupted(settings);
        const std::int64_t numOfFramesRead = input.read(block.data(), blockSize);
        if (numOfFramesRead == 0)
            break;
        numOfFrames += numOfFramesRead;
        for (TargetState& state : states)
        {
            state.add(block.data(), numOfFramesRead);
            state.drain(numOfFrames);
        }
        if (settings.progress != nullptr)
            settings.progress->update(numOfFrames);
    }

    // Flush the tail with silence.
    std::fill(block.begin(), block.end(), 0.0f);
    for (TargetState& state : states)
    {
        const std::int64_t maxNumOfSilentFrames = std::int64_t{std::max(state.getLatency(), 0)} + blockSize;
        std::int64_t numOfSilentFrames = 0;
        while (state.getNumOfFramesWritten() < numOfFrames)
        {
            checkInterrupted(settings);
            if (numOfSilentFrames >= maxNumOfSilentFrames)
                throw Failure("the processor returned " + std::to_string(numOfFrames - state.getNumOfFramesWritten()) +
                              " frames fewer than it was given, more than its reported latency of " +
                              std::to_string(state.getLatency()) + " samples explains");
            const std::int64_t numOfFramesToAdd =
                std::min<std::int64_t>(blockSize, maxNumOfSilentFrames - numOfSilentFrames);
            state.add(block.data(), numOfFramesToAdd);
            numOfSilentFrames += numOfFramesToAdd;
            state.drain(numOfFrames);
        }
    }
    if (settings.progress != nullptr)
        settings.progress->finish();
    return numOfFrames;
}

} // namespace murel::cli
