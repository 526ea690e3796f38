// The processor, parameter and bus functions of the C interface. Nothing thrown inside the
// engine leaves these functions: a failed call does nothing, returns null, false or 0.
#include "Interface/MurelEngine.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DspCore/LastError.h"
#include "DspCore/MathEx.h"
#include "DspCore/Signals.h"
#include "DspCore/VectorOps.h"
#include "Interface/CallGuard.h"
#include "Interface/HostPolicy.h"
#include "Interface/ProcessorState.h"

namespace
{

using murel::ProcessorState;

ProcessorState* toState(void* processor)
{
    return static_cast<ProcessorState*>(processor);
}

/** Fills the buffer with zeros and copies as much of text as fits, without a terminator of its
    own. */
void copyName(std::string_view text, char* buffer, int bufferSize) noexcept
{
    if (buffer == nullptr || bufferSize < 1)
        return;
    const std::size_t size = static_cast<std::size_t>(bufferSize);
    std::memset(buffer, 0, size);
    std::memcpy(buffer, text.data(), std::min(text.size(), size));
}

void* createProcessor(int numOfModelFiles, const char* const* modelFilePaths, int numOfChannels, double sampleRate)
{
    return murel::guardCreate(nullptr, "the processor cannot be created",
                              [&]() -> void*
                              {
                                  auto state = std::make_unique<ProcessorState>();
                                  if (!state->loadModels(numOfModelFiles, modelFilePaths, numOfChannels, sampleRate))
                                      return nullptr;
                                  return state.release();
                              });
}

// Parameter ids.
constexpr int bus1LevelId = MUREL_PARAMETER_BUS1_LEVEL;
constexpr int bus0SensitivityId = MUREL_PARAMETER_BUS0_SENSITIVITY;
constexpr int extrapolationOffId = MUREL_PARAMETER_EXTRAPOLATION_OFF;
constexpr int firstBusGainId = MUREL_PARAMETER_BUS_GAIN(0);
constexpr int firstBusSensitivityId = MUREL_PARAMETER_BUS_SENSITIVITY(0);
constexpr int endOfBusParametersId = 768;
constexpr float lowestLevel = -96.0f;

enum class ParameterKind
{
    none,
    bus1Level,
    bus0Sensitivity,
    extrapolationOff,
    busGain,
    busSensitivity,
};

/** What an id addresses; bus receives the bus index of the per-bus families. */
ParameterKind decodeParameter(int id, int& bus)
{
    bus = 0;
    if (id >= -255 && id <= 255)
    {
        switch (id)
        {
        case bus1LevelId:
            return ParameterKind::bus1Level;
        case bus0SensitivityId:
            return ParameterKind::bus0Sensitivity;
        case extrapolationOffId:
            return ParameterKind::extrapolationOff;
        default:
            return ParameterKind::none;
        }
    }
    bus = id % 256;
    if (id >= firstBusGainId && id < firstBusSensitivityId)
        return ParameterKind::busGain;
    if (id >= firstBusSensitivityId && id < endOfBusParametersId)
        return ParameterKind::busSensitivity;
    return ParameterKind::none;
}

/** True when none of the first numOfRows rows is null. */
template <typename Row>
bool hasRows(Row* const* rows, int numOfRows)
{
    return std::all_of(rows, rows + numOfRows, [](const Row* row) { return row != nullptr; });
}

std::vector<std::string> getBusNames(const ProcessorState& state)
{
    std::vector<std::string> names;
    const int numOfBusses = state.processor.getNumOfOutputBusses(true);
    for (int bus = 0; bus < numOfBusses; ++bus)
        names.push_back(state.processor.getOutputBusName(bus));
    return names;
}

} // namespace

extern "C"
{

    MUREL_API const char* murelGetLastErrorMessage(void)
    {
        return murel::getLastErrorMessage().c_str();
    }

    MUREL_API const char* murelGetVersionString(void)
    {
        return MUREL_VERSION_STRING;
    }

    MUREL_API void* murelCreateProcessor(const char* modelFilePath, int numOfChannels, double sampleRate)
    {
        const char* const paths[1] = {modelFilePath};
        return createProcessor(1, modelFilePath != nullptr ? paths : nullptr, numOfChannels, sampleRate);
    }

    MUREL_API void* murelCreateStemSeparator(int numOfModelFiles, const char** modelFilePaths, int numOfChannels,
                                             double sampleRate)
    {
        return createProcessor(numOfModelFiles, modelFilePaths, numOfChannels, sampleRate);
    }

    MUREL_API void murelDeleteProcessor(void* processor)
    {
        murel::guardCall([&] { delete toState(processor); });
    }

    MUREL_API void murelAddAudio(void* processor, float** channels, int numOfSamples)
    {
        murel::guardCall(
            [&]
            {
                ProcessorState* state = toState(processor);
                if (state != nullptr && channels != nullptr && numOfSamples >= 1 &&
                    hasRows(channels, state->numOfInputChannels))
                    state->processor.addAudio(channels, numOfSamples);
            });
    }

    MUREL_API void murelAddAudioInterleaved(void* processor, float* samples, int numOfFrames)
    {
        murel::guardCall(
            [&]
            {
                ProcessorState* state = toState(processor);
                if (state != nullptr && samples != nullptr && numOfFrames >= 1)
                    state->processor.addAudioInterleaved(samples, numOfFrames);
            });
    }

    MUREL_API bool murelProcessAudio(void* processor, const float* const* input, float** output, int numOfSamples)
    {
        ProcessorState* state = toState(processor);
        if (state == nullptr || input == nullptr || output == nullptr || numOfSamples < 1 ||
            !hasRows(input, state->numOfInputChannels) || !hasRows(output, state->numOfInputChannels))
            return false;
        // The input is queued before any output is written: the buffers may be the same. Out of
        // memory loses the block but keeps the timing.
        murel::guardCall([&] { state->processor.addAudio(input, numOfSamples); });
        state->fixedLatencyOutput.take(state->processor, output, numOfSamples);
        return true;
    }

    MUREL_API bool murelProcessAudioInterleaved(void* processor, const float* input, float* output, int numOfFrames)
    {
        ProcessorState* state = toState(processor);
        if (state == nullptr || input == nullptr || output == nullptr || numOfFrames < 1)
            return false;
        murel::guardCall([&] { state->processor.addAudioInterleaved(input, numOfFrames); });
        state->fixedLatencyOutput.takeInterleaved(state->processor, output, numOfFrames);
        return true;
    }

    MUREL_API bool murelGetAudio(void* processor, float** channels, int numOfSamples)
    {
        ProcessorState* state = toState(processor);
        if (state == nullptr || channels == nullptr || numOfSamples < 0 ||
            !hasRows(channels, state->numOfOutputChannels))
            return false;
        return state->processor.getAudio(channels, numOfSamples);
    }

    MUREL_API bool murelGetAudioInterleaved(void* processor, float* samples, int numOfFrames)
    {
        ProcessorState* state = toState(processor);
        if (state == nullptr || samples == nullptr || numOfFrames < 0)
            return false;
        return state->processor.getAudioInterleaved(samples, numOfFrames);
    }

    MUREL_API int murelGetNumOfPendingSamples(void* processor)
    {
        const ProcessorState* state = toState(processor);
        if (state == nullptr)
            return 0;
        return static_cast<int>(std::min<int64_t>(state->processor.getNumOfPendingSamples(), INT_MAX));
    }

    MUREL_API void murelResetProcessorState(void* processor)
    {
        murel::guardCall(
            [&]
            {
                if (ProcessorState* state = toState(processor))
                {
                    state->processor.reset();
                    state->fixedLatencyOutput.reset(state->processor.getLatency(1));
                }
            });
    }

    MUREL_API bool murelPrepareProcessor(void* processor, int maximumBlockSize)
    {
        return murel::guardCall(false,
                                [&]
                                {
                                    ProcessorState* state = toState(processor);
                                    if (state == nullptr || maximumBlockSize < 1)
                                        return false;
                                    state->processor.prepare(maximumBlockSize);
                                    state->processor.reset();
                                    state->fixedLatencyOutput.reset(state->processor.getLatency(1));
                                    return true;
                                });
    }

    MUREL_API void murelGetProcessorInfo(void* processor, MurelModelInfo* info)
    {
        ProcessorState* state = toState(processor);
        if (state == nullptr || info == nullptr)
            return;
        info->sampleRate = 0.0;
        info->numOfChannels = 0;
        info->latency = 0;
        info->windowSize = 0;
        info->hopSize = 0;
        const auto& models = state->processor.getNeuralModels();
        if (models.empty())
            return;
        const auto& first = models.front();
        info->sampleRate = first.getHeader().sampleRate;
        info->numOfChannels = first.getHeader().numInputChannels;
        info->latency = state->processor.getLatency(1);
        info->windowSize = first.getHeader().windowSize;
        info->hopSize = first.getHeader().hopSize;
    }

    MUREL_API float murelGetParameterValue(void* processor, int parameterId)
    {
        const ProcessorState* state = toState(processor);
        if (state == nullptr)
            return 0.0f;
        const murel::MurelProcessor& p = state->processor;
        int bus = 0;
        switch (decodeParameter(parameterId, bus))
        {
        case ParameterKind::bus1Level:
        {
            const float lowest = murel::MathEx::fromDecibel(lowestLevel);
            return murel::MathEx::toDecibel(std::clamp(p.getGain(1), lowest, 1.0f));
        }
        case ParameterKind::bus0Sensitivity:
            return p.getSensitivity(0);
        case ParameterKind::extrapolationOff:
            return p.getMaskExtrapolationEnabled() ? 0.0f : 1.0f;
        case ParameterKind::busGain:
            return p.getGain(bus);
        case ParameterKind::busSensitivity:
            return p.getSensitivity(bus);
        case ParameterKind::none:
            break;
        }
        return 0.0f;
    }

    MUREL_API void murelSetParameterValue(void* processor, int parameterId, float value)
    {
        ProcessorState* state = toState(processor);
        // Infinite values would make every output sample non-finite; NaN would poison the mix.
        if (state == nullptr || !std::isfinite(value))
            return;
        murel::MurelProcessor& p = state->processor;
        int bus = 0;
        switch (decodeParameter(parameterId, bus))
        {
        case ParameterKind::bus1Level:
        {
            p.setGain(0, 1.0f);
            p.setGain(1, std::clamp(murel::MathEx::fromDecibel(value), 0.0f, 1.0f));
            break;
        }
        case ParameterKind::bus0Sensitivity:
            p.setSensitivity(0, value);
            break;
        case ParameterKind::busGain:
            p.setGain(bus, std::clamp(value, 0.0f, murel::hostPolicy::maxGain));
            break;
        case ParameterKind::busSensitivity:
            p.setSensitivity(bus, value);
            break;
        case ParameterKind::extrapolationOff:
        case ParameterKind::none:
            break;
        }
    }

    MUREL_API void murelGetParameterRange(void* /*processor*/, int parameterId, float* minimum, float* maximum)
    {
        if (minimum == nullptr || maximum == nullptr)
            return;
        int bus = 0;
        switch (decodeParameter(parameterId, bus))
        {
        case ParameterKind::bus1Level:
            *minimum = lowestLevel;
            *maximum = 0.0f;
            break;
        case ParameterKind::bus0Sensitivity:
        case ParameterKind::busSensitivity:
            *minimum = -100.0f;
            *maximum = 100.0f;
            break;
        case ParameterKind::busGain:
            *minimum = 0.0f;
            *maximum = murel::hostPolicy::maxGain;
            break;
        case ParameterKind::extrapolationOff:
        case ParameterKind::none:
            break;
        }
    }

    MUREL_API int murelGetNumOfOutputBusses(void* processor)
    {
        const ProcessorState* state = toState(processor);
        if (state == nullptr)
            return 0;
        return state->processor.getNumOfOutputBusses(true);
    }

    MUREL_API void murelGetOutputBusName(void* processor, int busIndex, char* name, int bufferSize)
    {
        const ProcessorState* state = toState(processor);
        murel::guardCall(
            [&] {
                copyName(state != nullptr ? state->processor.getOutputBusName(busIndex) : std::string(), name,
                         bufferSize);
            });
    }

    MUREL_API void murelGetVectorArithmeticWrapperName(char* name, int bufferSize)
    {
        copyName(murel::vec::backEndName, name, bufferSize);
    }

    MUREL_API bool murelGetDefaultModelPath(double sampleRate, char* path, int bufferSize)
    {
        if (path == nullptr || bufferSize < 1)
            return false;
        copyName(std::string(), path, bufferSize);
        return murel::guardCall(false,
                                [&]
                                {
                                    const std::string found = murel::hostPolicy::findDefaultModel(sampleRate);
                                    // A cut path would name another file: nothing rather than that.
                                    if (found.empty() || found.size() >= static_cast<std::size_t>(bufferSize))
                                        return false;
                                    copyName(found, path, bufferSize);
                                    return true;
                                });
    }

    MUREL_API int murelGetModelSetPath(const char* setName, int modelIndex, double sampleRate, char* path,
                                       int bufferSize)
    {
        if (path == nullptr || bufferSize < 1)
            return 0;
        copyName(std::string(), path, bufferSize);
        return murel::guardCall(
            0,
            [&]
            {
                const std::vector<std::string> set = setName != nullptr
                                                         ? murel::hostPolicy::findModelSet(setName, sampleRate)
                                                         : std::vector<std::string>();
                if (modelIndex < 0 || static_cast<std::size_t>(modelIndex) >= set.size() ||
                    set[static_cast<std::size_t>(modelIndex)].size() >= static_cast<std::size_t>(bufferSize))
                    return 0;
                copyName(set[static_cast<std::size_t>(modelIndex)], path, bufferSize);
                return static_cast<int>(set.size());
            });
    }

    MUREL_API bool murelParseGain(const char* text, float* gain)
    {
        if (text == nullptr || gain == nullptr)
            return false;
        return murel::guardCall(false,
                                [&]
                                {
                                    *gain = murel::hostPolicy::parseGain(text);
                                    return true;
                                });
    }

    MUREL_API int murelFindOutputBus(void* processor, const char* bus)
    {
        const ProcessorState* state = toState(processor);
        if (state == nullptr || bus == nullptr)
            return -1;
        return murel::guardCall(-1, [&] { return murel::hostPolicy::findBus(getBusNames(*state), bus); });
    }

    MUREL_API bool murelApplyHostMix(void* processor, const char* const* settings, int numOfSettings, char* message,
                                     int messageSize)
    {
        ProcessorState* state = toState(processor);
        return murel::guardCall(
            false,
            [&]
            {
                if (state == nullptr || numOfSettings < 0 || (numOfSettings > 0 && settings == nullptr))
                {
                    copyName("no processor or no settings given", message, messageSize);
                    return false;
                }
                std::vector<std::string> texts;
                for (int i = 0; i < numOfSettings; ++i)
                {
                    if (settings[i] == nullptr)
                    {
                        copyName("mix setting " + std::to_string(i + 1) + " is null", message, messageSize);
                        return false;
                    }
                    texts.emplace_back(settings[i]);
                }
                const murel::hostPolicy::Mix mix = murel::hostPolicy::resolveMix(getBusNames(*state), texts);
                const int numOfBusses =
                    std::min(static_cast<int>(mix.gains.size()), static_cast<int>(MUREL_MAX_NUM_OF_CONTROLLED_BUSSES));
                for (int bus = 0; bus < numOfBusses; ++bus)
                {
                    state->processor.setGain(bus, mix.gains[static_cast<std::size_t>(bus)]);
                    state->processor.setSensitivity(bus, mix.sensitivities[static_cast<std::size_t>(bus)]);
                }
                copyName(mix.note, message, messageSize);
                return true;
            },
            [&](const std::exception* error) noexcept
            {
                const bool rejected = dynamic_cast<const murel::hostPolicy::SettingError*>(error) != nullptr;
                copyName(rejected ? error->what() : "out of memory", message, messageSize);
            });
    }

} // extern "C"
