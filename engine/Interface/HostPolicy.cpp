#include "Interface/HostPolicy.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <dlfcn.h>
#include <optional>
#include <sys/stat.h>

#include "Interface/MurelEngine.h"

namespace murel::hostPolicy
{

namespace
{

struct ModelSet
{
    const char* name;
    std::vector<const char*> files;
};

// The separator's residual is the first model's extra name, so the dialogue model comes first.
const ModelSet modelSets[] = {
    {"denoiser", {"speech-denoiser.model"}},
    {"separator", {"separator-dialogue.model", "separator-music.model"}},
};

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

std::string quote(const std::string& text)
{
    return "'" + text + "'";
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

constexpr int numOfControlledBusses = MUREL_MAX_NUM_OF_CONTROLLED_BUSSES;

struct BusValue
{
    int bus;
    std::string value;
};

BusValue splitRequest(const std::vector<std::string>& busNames, const std::string& request, const char* option)
{
    const std::size_t equals = request.find_last_of('=');
    if (equals == std::string::npos || equals == 0)
        throw SettingError(std::string(option) + " expects BUS=VALUE, not " + quote(request));
    return {findBus(busNames, trim(request.substr(0, equals))), trim(request.substr(equals + 1))};
}

void checkControlled(const std::vector<std::string>& busNames, int bus, const char* what)
{
    if (bus >= numOfControlledBusses)
        throw SettingError(std::string(what) + " bus " + std::to_string(bus) + " " +
                           quote(busNames[static_cast<std::size_t>(bus)]) + ": the engine controls buses 0 to " +
                           std::to_string(numOfControlledBusses - 1) + " only");
}

/** Every bus silent but one, which keeps the gain the mix gives it. */
void isolate(Mix& mix, int bus)
{
    if (mix.gains.size() > static_cast<std::size_t>(numOfControlledBusses))
        throw SettingError("cannot isolate a bus of " + std::to_string(mix.gains.size()) +
                           " buses: the engine silences buses 0 to " + std::to_string(numOfControlledBusses - 1) +
                           " only");
    for (std::size_t index = 0; index < mix.gains.size(); ++index)
        if (index != static_cast<std::size_t>(bus))
            mix.gains[index] = 0.0f;
}

bool isRegularFile(const std::string& path)
{
    struct stat status = {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

/** The folder of the file this code was loaded from (the shared library, or the program that
    links it statically); empty when the system does not say. */
std::string getLibraryFolder()
{
    Dl_info info = {};
    if (::dladdr(reinterpret_cast<void*>(&murelGetDefaultModelPath), &info) == 0 || info.dli_fname == nullptr)
        return {};
    // Absolute, so that a library loaded through a relative path still knows its build tree.
    char* resolved = ::realpath(info.dli_fname, nullptr);
    const std::string path = resolved != nullptr ? resolved : info.dli_fname;
    std::free(resolved);
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

} // namespace

float parseGain(const std::string& text)
{
    const std::string lower = toLower(trim(text));
    if (lower == "off")
        return 0.0f;
    double value = 0.0;
    if (lower.size() > 2 && lower.compare(lower.size() - 2, 2, "db") == 0)
    {
        const std::string level = trim(lower.substr(0, lower.size() - 2));
        if (level == "-inf" || level == "-infinity")
            return 0.0f;
        if (!parseNumber(level, value) || std::isinf(value))
            throw SettingError("bad gain " + quote(text) + ": expected a level such as -12dB");
        if (value > maxGainDecibels)
            throw SettingError("gain " + quote(text) + " is above the largest, 40 dB");
        return static_cast<float>(std::pow(10.0, value / 20.0));
    }
    if (!parseNumber(lower, value) || std::isinf(value))
        throw SettingError("bad gain " + quote(text) + ": expected a factor such as 0.5 or a level such as -6dB");
    if (value < 0.0)
        throw SettingError("gain " + quote(text) + " is negative; write levels in decibels with dB, e.g. " + text +
                           "dB");
    if (value > static_cast<double>(maxGain))
        throw SettingError("gain " + quote(text) + " is above the largest factor, 100");
    return static_cast<float>(value);
}

float parseSensitivity(const std::string& text)
{
    double value = 0.0;
    if (!parseNumber(trim(text), value) || value < -100.0 || value > 100.0)
        throw SettingError("bad sensitivity " + quote(text) + ": expected a number from -100 to 100");
    return static_cast<float>(value);
}

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
            throw SettingError("bus name " + quote(bus) +
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
    throw SettingError("unknown bus " + quote(bus) + "; the buses are " + listBusses(busNames));
}

Mix resolveMix(const std::vector<std::string>& busNames, const std::vector<std::string>& settings)
{
    Mix mix;
    mix.gains.assign(busNames.size(), 1.0f);
    mix.sensitivities.assign(busNames.size(), 0.0f);
    if (busNames.empty())
        return mix;
    std::vector<std::string> gains;
    std::vector<std::string> sensitivities;
    std::optional<std::string> solo;
    std::optional<std::string> residual;
    bool hasStems = false;
    for (const std::string& setting : settings)
    {
        const std::size_t equals = setting.find('=');
        const std::string option = trim(setting.substr(0, equals));
        const std::string value = equals == std::string::npos ? std::string() : setting.substr(equals + 1);
        if (option == "gain" && equals != std::string::npos)
            gains.push_back(value);
        else if (option == "sensitivity" && equals != std::string::npos)
            sensitivities.push_back(value);
        else if (option == "solo" && equals != std::string::npos)
            solo = trim(value);
        else if (option == "residual" && equals != std::string::npos)
            residual = value;
        else if (option == "stems" && equals == std::string::npos)
            hasStems = true;
        else
            throw SettingError("unknown mix setting " + quote(setting) +
                               "; the settings are gain=BUS=VALUE, sensitivity=BUS=VALUE, solo=BUS, residual=GAIN "
                               "and stems");
    }

    for (const std::string& request : gains)
    {
        const BusValue setting = splitRequest(busNames, request, "--gain");
        const float gain = parseGain(setting.value);
        checkControlled(busNames, setting.bus, "cannot set the gain of");
        mix.gains[static_cast<std::size_t>(setting.bus)] = gain;
    }
    for (const std::string& request : sensitivities)
    {
        const BusValue setting = splitRequest(busNames, request, "--sensitivity");
        const float sensitivity = parseSensitivity(setting.value);
        checkControlled(busNames, setting.bus, "cannot set the sensitivity of");
        mix.sensitivities[static_cast<std::size_t>(setting.bus)] = sensitivity;
    }
    if (solo)
        isolate(mix, findBus(busNames, *solo));

    // With nothing said about the buses, the sensible default is the model's work done: the
    // residual (the noise, for a denoiser) removed. The residual setting holds with a solo too.
    const bool saysNothingAboutBusses = gains.empty() && !solo && !residual && !hasStems;
    if (residual || saysNothingAboutBusses)
    {
        const int residualBus = static_cast<int>(busNames.size()) - 1;
        if (residualBus >= numOfControlledBusses)
            throw SettingError("the residual bus " + quote(busNames.back()) + " has no gain the engine can set");
        if (residual)
        {
            try
            {
                mix.gains.back() = parseGain(*residual);
            }
            catch (const SettingError& error)
            {
                throw SettingError(std::string("--residual: ") + error.what());
            }
        }
        else
        {
            mix.gains.back() = 0.0f;
            mix.note = "removed the residual bus " + quote(busNames.back()) +
                       "; keep some of it with --residual LEVEL (e.g. -12dB), or all with --residual 1";
        }
    }
    return mix;
}

std::string findDefaultModel(double sampleRate)
{
    const std::vector<std::string> set = findModelSet("denoiser", sampleRate);
    return set.empty() ? std::string() : set.front();
}

std::vector<std::string> findModelSet(const std::string& name, double /*sampleRate*/)
{
    const ModelSet* set = nullptr;
    for (const ModelSet& candidate : modelSets)
        if (name == candidate.name)
            set = &candidate;
    if (set == nullptr)
        return {};
    // One model serves every rate today (the processor scales its frames to the host's rate);
    // a family of models by rate would be chosen here.
    std::vector<std::string> folders;
    const std::string libraryFolder = getLibraryFolder();
#if defined(MUREL_LIBRARY_TO_MODELS)
    if (!libraryFolder.empty())
        folders.push_back(libraryFolder + "/" + MUREL_LIBRARY_TO_MODELS);
#endif
#if defined(MUREL_BUILD_TREE_FOLDER) && defined(MUREL_SOURCE_MODEL_FOLDER)
    // A library in the build tree uses the repository's models; an installed one never does.
    const std::string buildTree = MUREL_BUILD_TREE_FOLDER;
    if (libraryFolder.compare(0, buildTree.size(), buildTree) == 0)
        folders.push_back(MUREL_SOURCE_MODEL_FOLDER);
#endif
#if defined(MUREL_INSTALLED_MODEL_FOLDER)
    // A library copied away from its prefix still finds the prefix it was built for.
    folders.push_back(MUREL_INSTALLED_MODEL_FOLDER);
#endif
    // A set comes whole from one folder: models of different installs need not fit together.
    for (const std::string& folder : folders)
    {
        std::vector<std::string> paths;
        for (const char* file : set->files)
        {
            const std::string candidate = folder + "/" + file;
            if (!isRegularFile(candidate))
                break;
            // Without the library folder's "../.." (a plug-in loads the library through its run path).
            char* resolved = ::realpath(candidate.c_str(), nullptr);
            paths.push_back(resolved != nullptr ? resolved : candidate);
            std::free(resolved);
        }
        if (paths.size() == set->files.size())
            return paths;
    }
    return {};
}

} // namespace murel::hostPolicy
