#include "BusSettings.h"

#include "EngineHandles.h"
#include "Failure.h"

#include <cstring>

namespace murel::cli
{

std::vector<std::string> makeMixSettings(const BusRequests& requests, const std::string& residual, bool stems)
{
    std::vector<std::string> settings;
    for (const std::string& gain : requests.gains)
        settings.push_back("gain=" + gain);
    for (const std::string& sensitivity : requests.sensitivities)
        settings.push_back("sensitivity=" + sensitivity);
    if (!requests.solo.empty())
        settings.push_back("solo=" + requests.solo);
    if (!residual.empty())
        settings.push_back("residual=" + residual);
    if (stems)
        settings.push_back("stems");
    return settings;
}

std::vector<std::string> makeStemMixSettings(const BusRequests& requests, int bus)
{
    // --solo picks what goes into OUT and --residual sets OUT's residual; every stem still gets
    // its own bus at the gain --gain gives it.
    BusRequests stem = requests;
    stem.solo = std::to_string(bus);
    return makeMixSettings(stem, "", true);
}

std::string applyMix(ProcessorHandle& processor, const std::vector<std::string>& settings)
{
    std::vector<const char*> texts;
    for (const std::string& setting : settings)
        texts.push_back(setting.c_str());
    char message[4096];
    if (!murelApplyHostMix(processor.get(), texts.data(), static_cast<int>(texts.size()), message,
                           static_cast<int>(sizeof message)))
        throw UsageFailure(std::string(message, strnlen(message, sizeof message)));
    return std::string(message, strnlen(message, sizeof message));
}

} // namespace murel::cli
