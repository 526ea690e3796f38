#include "Interface/ProcessorState.h"

#include <cmath>
#include <string>
#include <vector>

#include "DspCore/AudioFormat.h"
#include "DspCore/Files.h"

namespace murel
{

bool ProcessorState::loadModels(int numOfModelFiles, const char* const* modelFiles, int numOfChannels,
                                double sampleRate)
{
    if (numOfModelFiles < 1 || modelFiles == nullptr || numOfChannels < 1 || numOfChannels > maxNumOfChannels ||
        !(sampleRate > 0.0) || !std::isfinite(sampleRate))
        return false;
    std::vector<File> files;
    files.reserve(static_cast<std::size_t>(numOfModelFiles));
    for (int i = 0; i < numOfModelFiles; ++i)
    {
        if (modelFiles[i] == nullptr)
            return false;
        files.emplace_back(std::string(modelFiles[i]));
    }
    if (!processor.loadModelFiles(files))
        return false;

    AudioFormat format;
    format.createDefaultChannelMapping(numOfChannels);
    format.setSampleRate(sampleRate);
    if (!processor.setFormat(format, format))
        return false;
    numOfInputChannels = numOfChannels;
    numOfOutputChannels = numOfChannels;
    return true;
}

} // namespace murel
