#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace murel
{

/** What every host (the tool, the batch command, the plug-in, the Python binding) does with a
    processor when the user says nothing, and how it reads the user's bus settings. Kept in one
    place so that the hosts cannot drift apart. The C interface offers it as murelParseGain,
    murelFindOutputBus, murelApplyHostMix, murelGetDefaultModelPath and murelGetModelSetPath. */
namespace hostPolicy
{

/** A setting a host cannot apply; what() names the option, the value and the buses. */
class SettingError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/** Largest linear gain and level a host accepts. */
constexpr float maxGain = 100.0f;
constexpr double maxGainDecibels = 40.0;

/** A factor (0 to 100), a level in dB (up to +40 dB, "-inf dB") or "off". */
float parseGain(const std::string& text);
/** A number from -100 to 100. */
float parseSensitivity(const std::string& text);
/** An exact name, else a unique case-insensitive one, else a decimal index. */
int findBus(const std::vector<std::string>& busNames, const std::string& bus);

/** Gains and sensitivities for every bus (residual last), and the note a host prints. */
struct Mix
{
    std::vector<float> gains;
    std::vector<float> sensitivities;
    std::string note;
};

/** The mix that the settings ("gain=BUS=VALUE", "sensitivity=BUS=VALUE", "solo=BUS",
    "residual=GAIN", "stems") ask for. */
Mix resolveMix(const std::vector<std::string>& busNames, const std::vector<std::string>& settings);

/** The installed default model for a host at sampleRate (0: any); empty when there is none. */
std::string findDefaultModel(double sampleRate);

/** The model files of a named set, in loading order: "denoiser" (the default model) or
    "separator" (dialogue, music and the residual effects). All from one folder, searched as for
    the default model; empty when the name is unknown or any file of the set is missing. */
std::vector<std::string> findModelSet(const std::string& name, double sampleRate);

} // namespace hostPolicy
} // namespace murel
