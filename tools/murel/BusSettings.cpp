#include "BusSettings.h"

#include "EngineHandles.h"
#include "Failure.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace murel::cli
{

namespace
{

std::string toLower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trim(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool parseNumber(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && !std::isnan(value);
}

std::string listBusses(const std::vector<std::string>& busNames)
{
    std::string list;
    for (std::size_t bus = 0; bus < busNames.size(); ++bus)
        list += (bus == 0 ? "" : ", ") + std::to_string(bus) + " " + quote(busNames[bus]);
    return list;
}

struct BusValue
{
    int bus;
    std::string value;
};

BusValue splitRequest(const std::vector<std::string>& busNames, const std::string& request, const char* option)
{
    const std::size_t equals = request.find_last_of('=');
    if (equals == std::string::npos || equals == 0)
        throw UsageFailure(std::string(option) + " expects BUS=VALUE, not " + quote(request));
    return {findBus(busNames, trim(request.substr(0, equals))), trim(request.substr(equals + 1))};
}

void checkControlled(const std::vector<std::string>& busNames, int bus, const char* what)
{
    if (bus >= maxNumOfControlledBusses)
        throw UsageFailure(std::string(what) + " bus " + std::to_string(bus) + " " + quote(busNames[std::size_t(bus)]) +
                           ": the engine controls buses 0 to " + std::to_string(maxNumOfControlledBusses - 1) +
                           " only");
}

} // namespace

int findBus(const std::vector<std::string>& busNames, const std::string& bus)
{
    for (std::size_t index = 0; index < busNames.size(); ++index)
        if (busNames[index] == bus)
            return static_cast<int>(index);
    int match = -1;
    for (std::size_t index = 0; index < busNames.size(); ++index)
    {
        if (toLower(busNames[index]) != toLower(bus))
            continue;
        if (match >= 0)
            throw UsageFailure("bus name " + quote(bus) +
                               " is ambiguous; use its index (buses: " + listBusses(busNames) + ")");
        match = static_cast<int>(index);
    }
    if (match >= 0)
        return match;
    if (!bus.empty() && std::all_of(bus.begin(), bus.end(), [](unsigned char c) { return std::isdigit(c) != 0; }))
    {
        const long index = bus.size() < 6 ? std::strtol(bus.c_str(), nullptr, 10) : -1;
        if (index >= 0 && static_cast<std::size_t>(index) < busNames.size())
            return static_cast<int>(index);
    }
    throw UsageFailure("unknown bus " + quote(bus) + "; the buses are " + listBusses(busNames));
}

float parseGain(const std::string& text)
{
    const std::string lower = toLower(trim(text));
    double value = 0.0;
    if (lower.size() > 2 && lower.compare(lower.size() - 2, 2, "db") == 0)
    {
        const std::string level = trim(lower.substr(0, lower.size() - 2));
        if (level == "-inf" || level == "-infinity")
            return 0.0f;
        if (!parseNumber(level, value) || std::isinf(value))
            throw UsageFailure("bad gain " + quote(text) + ": expected a level such as -12dB");
        if (value > 40.0)
            throw UsageFailure("gain " + quote(text) + " is above the largest, 40 dB");
        return static_cast<float>(std::pow(10.0, value / 20.0));
    }
    if (!parseNumber(lower, value) || std::isinf(value))
        throw UsageFailure("bad gain " + quote(text) + ": expected a factor such as 0.5 or a level such as -6dB");
    if (value < 0.0)
        throw UsageFailure("gain " + quote(text) + " is negative; write levels in decibels with dB, e.g. " + text +
                           "dB");
    if (value > 100.0)
        throw UsageFailure("gain " + quote(text) + " is above the largest factor, 100");
    return static_cast<float>(value);
}

float parseSensitivity(const std::string& text)
{
    double value = 0.0;
    if (!parseNumber(trim(text), value) || value < -100.0 || value > 100.0)
        throw UsageFailure("bad sensitivity " + quote(text) + ": expected a number from -100 to 100");
    return static_cast<float>(value);
}

BusMix resolveBusMix(const std::vector<std::string>& busNames, const BusRequests& requests)
{
    BusMix mix;
    mix.gains.assign(busNames.size(), 1.0f);
    mix.sensitivities.assign(busNames.size(), 0.0f);
    for (const std::string& request : requests.gains)
    {
        const BusValue setting = splitRequest(busNames, request, "--gain");
        const float gain = parseGain(setting.value);
        checkControlled(busNames, setting.bus, "cannot set the gain of");
        mix.gains[std::size_t(setting.bus)] = gain;
    }
    for (const std::string& request : requests.sensitivities)
    {
        const BusValue setting = splitRequest(busNames, request, "--sensitivity");
        const float sensitivity = parseSensitivity(setting.value);
        checkControlled(busNames, setting.bus, "cannot set the sensitivity of");
        mix.sensitivities[std::size_t(setting.bus)] = sensitivity;
    }
    if (!requests.solo.empty())
        mix = isolateBus(mix, findBus(busNames, trim(requests.solo)));
    return mix;
}

BusMix isolateBus(const BusMix& mix, int bus)
{
    if (mix.gains.size() > std::size_t(maxNumOfControlledBusses))
        throw UsageFailure("cannot isolate a bus of " + std::to_string(mix.gains.size()) +
                           " buses: the engine silences buses 0 to " + std::to_string(maxNumOfControlledBusses - 1) +
                           " only");
    BusMix isolated = mix;
    for (std::size_t index = 0; index < isolated.gains.size(); ++index)
        if (index != std::size_t(bus))
            isolated.gains[index] = 0.0f;
    return isolated;
}

void applyBusMix(ProcessorHandle& processor, const BusMix& mix)
{
    const std::size_t numOfBusses = std::min(mix.gains.size(), std::size_t(maxNumOfControlledBusses));
    for (std::size_t bus = 0; bus < numOfBusses; ++bus)
    {
        processor.setGain(static_cast<int>(bus), mix.gains[bus]);
        processor.setSensitivity(static_cast<int>(bus), mix.sensitivities[bus]);
    }
}

} // namespace murel::cli
