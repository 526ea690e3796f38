// The hosts' shared policy: how gains are read, buses found, and what a processor mixes when a
// host is given no options.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "Interface/MurelEngine.h"
#include "Processor/ProcessorTestSupport.h"

using namespace murel::test;

namespace
{

const ModelBlocking blocking{256, 256, 128, 48000.0};

mw::ModelDescription namedModel(const std::string& bus, const std::string& residual)
{
    mw::ModelDescription model = identityModel(2, blocking, 0, 129);
    model.header.outputNames = {bus, residual};
    return model;
}

std::vector<float> getGains(void* processor)
{
    std::vector<float> gains;
    for (int bus = 0; bus < murelGetNumOfOutputBusses(processor); ++bus)
        gains.push_back(murelGetParameterValue(processor, MUREL_PARAMETER_BUS_GAIN(bus)));
    return gains;
}

struct MixResult
{
    bool applied;
    std::string message;
};

MixResult applyMix(void* processor, const std::vector<const char*>& settings)
{
    char message[512];
    std::memset(message, 'x', sizeof message);
    const bool applied = murelApplyHostMix(processor, settings.data(), static_cast<int>(settings.size()), message,
                                           static_cast<int>(sizeof message));
    return {applied, std::string(message, strnlen(message, sizeof message))};
}

TEST(HostPolicy, GainsAreFactorsLevelsOrOff)
{
    const auto level = [](double decibels) { return std::pow(10.0, decibels / 20.0); };
    const struct
    {
        const char* text;
        double gain;
    } good[] = {{"0", 0.0},      {"1", 1.0},          {" 0.25 ", 0.25},
                {"100", 100.0},  {"-6dB", level(-6)}, {"-12 dB", level(-12)},
                {"+20DB", 10.0}, {"40dB", 100.0},     {"-inf dB", 0.0},
                {"-INFdB", 0.0}, {"off", 0.0},        {" OFF ", 0.0}};
    for (const auto& c : good)
    {
        float gain = -1.0f;
        ASSERT_TRUE(murelParseGain(c.text, &gain)) << c.text;
        EXPECT_NEAR(gain, c.gain, 1e-6 * std::max(1.0, c.gain)) << c.text;
    }
    for (const char* bad : {"-12", "101", "41dB", "abc", "", "dB", "nan", "1e400", "inf", "0.5x", "of"})
    {
        float gain = 7.0f;
        EXPECT_FALSE(murelParseGain(bad, &gain)) << bad;
        EXPECT_EQ(gain, 7.0f) << bad;
    }
}

TEST(HostPolicy, BusesByExactNameThenUniqueNameThenIndex)
{
    const TemporaryModelFile voice(namedModel("Voice", "Residual"));
    const TemporaryModelFile lowerVoice(namedModel("voice", "Other"));
    const TemporaryModelFile drums(namedModel("Drums", "Other"));
    const Processor processor = createSeparator({voice.c_str(), lowerVoice.c_str(), drums.c_str()});
    ASSERT_NE(processor, nullptr);
    EXPECT_EQ(murelFindOutputBus(processor.get(), "Voice"), 0);
    EXPECT_EQ(murelFindOutputBus(processor.get(), "voice"), 1);
    EXPECT_EQ(murelFindOutputBus(processor.get(), "DRUMS"), 2);
    EXPECT_EQ(murelFindOutputBus(processor.get(), "3"), 3);
    EXPECT_EQ(murelFindOutputBus(processor.get(), "VOICE"), -1); // two buses match
    EXPECT_EQ(murelFindOutputBus(processor.get(), "4"), -1);
    EXPECT_EQ(murelFindOutputBus(processor.get(), "-1"), -1);
    EXPECT_EQ(murelFindOutputBus(processor.get(), "Bass"), -1);

    const MixResult unknown = applyMix(processor.get(), {"gain=Bass=0"});
    EXPECT_FALSE(unknown.applied);
    EXPECT_EQ(unknown.message, "unknown bus 'Bass'; the buses are 0 'Voice', 1 'voice', 2 'Drums', 3 'Residual'");
}

TEST(HostPolicy, NoSettingsRemoveTheResidualOfTheDefaultModelAndOfASeparator)
{
    char path[4096];
    ASSERT_TRUE(murelGetDefaultModelPath(48000.0, path, static_cast<int>(sizeof path)));
    struct stat status = {};
    EXPECT_EQ(::stat(path, &status), 0) << path;
    char tooShort[4];
    EXPECT_FALSE(murelGetDefaultModelPath(0.0, tooShort, static_cast<int>(sizeof tooShort)));
    EXPECT_EQ(std::string(tooShort, 4), std::string(4, '\0'));

    const TemporaryModelFile voice(namedModel("Voice", "Rest"));
    const TemporaryModelFile drums(namedModel("Drums", "Other"));
    const struct
    {
        Processor processor;
        std::vector<float> gains;
        const char* residual;
    } cases[] = {
        {create(path, 1, 16000.0), {1.0f, 0.0f}, "Noise"},
        {createSeparator({voice.c_str(), drums.c_str()}), {1.0f, 1.0f, 0.0f}, "Rest"},
    };
    for (const auto& c : cases)
    {
        ASSERT_NE(c.processor, nullptr);
        murelSetParameterValue(c.processor.get(), MUREL_PARAMETER_BUS_GAIN(0), 0.5f);
        const MixResult mix = applyMix(c.processor.get(), {});
        EXPECT_TRUE(mix.applied);
        EXPECT_EQ(getGains(c.processor.get()), c.gains);
        EXPECT_EQ(mix.message, std::string("removed the residual bus '") + c.residual +
                                   "'; keep some of it with --residual LEVEL (e.g. -12dB), or all with --residual 1");
    }
}

TEST(HostPolicy, ModelSetsComeWholeAndInLoadingOrder)
{
    char defaultPath[4096];
    ASSERT_TRUE(murelGetDefaultModelPath(0.0, defaultPath, static_cast<int>(sizeof defaultPath)));
    char path[4096];
    EXPECT_EQ(murelGetModelSetPath("denoiser", 0, 48000.0, path, static_cast<int>(sizeof path)), 1);
    EXPECT_STREQ(path, defaultPath);
    for (const auto& [name, index] :
         {std::pair<const char*, int>{"denoiser", 1}, {"denoiser", -1}, {"Denoiser", 0}, {"", 0}, {nullptr, 0}})
    {
        std::memset(path, 'x', sizeof path);
        EXPECT_EQ(murelGetModelSetPath(name, index, 0.0, path, static_cast<int>(sizeof path)), 0);
        EXPECT_EQ(path[0], '\0');
    }

    // The trained separator may not be in this tree; when it is, it loads as the cards say.
    const int numOfModels = murelGetModelSetPath("separator", 0, 0.0, path, static_cast<int>(sizeof path));
    if (numOfModels == 0)
        return;
    ASSERT_EQ(numOfModels, 2);
    char music[4096];
    ASSERT_EQ(murelGetModelSetPath("separator", 1, 0.0, music, static_cast<int>(sizeof music)), 2);
    const Processor separator = createSeparator({path, music});
    ASSERT_NE(separator, nullptr);
    std::vector<std::string> names;
    for (int bus = 0; bus < murelGetNumOfOutputBusses(separator.get()); ++bus)
    {
        char name[64];
        murelGetOutputBusName(separator.get(), bus, name, static_cast<int>(sizeof name));
        names.emplace_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Dialogue", "Music", "Effects"}));
}

TEST(HostPolicy, SettingsCombineAsInEveryHostAndABadOneChangesNothing)
{
    const TemporaryModelFile voice(namedModel("Voice", "Rest"));
    const TemporaryModelFile drums(namedModel("Drums", "Other"));
    const Processor processor = createSeparator({voice.c_str(), drums.c_str()});
    ASSERT_NE(processor, nullptr);
    void* p = processor.get();
    const float minus6 = std::pow(10.0f, -6.0f / 20.0f);
    const struct
    {
        std::vector<const char*> settings;
        std::vector<float> gains;
    } cases[] = {
        {{"gain=Voice=0.5"}, {0.5f, 1.0f, 1.0f}},   // saying anything keeps the residual
        {{"sensitivity=1=40"}, {1.0f, 1.0f, 0.0f}}, // sensitivities alone do not
        {{"residual=-6dB"}, {1.0f, 1.0f, minus6}},
        {{"residual=off", "gain=0=2"}, {2.0f, 1.0f, 0.0f}},
        {{"solo=drums", "gain=Drums=0.25"}, {0.0f, 0.25f, 0.0f}},
        {{"solo=0", "residual=1"}, {1.0f, 0.0f, 1.0f}}, // the residual holds with a solo
        {{"stems"}, {1.0f, 1.0f, 1.0f}},
    };
    for (const auto& c : cases)
    {
        const MixResult mix = applyMix(p, c.settings);
        EXPECT_TRUE(mix.applied) << mix.message;
        // Only the default removal is noted.
        EXPECT_EQ(mix.message.empty(), std::string(c.settings.front()).rfind("sensitivity", 0) != 0);
        EXPECT_EQ(getGains(p), c.gains) << c.settings.front();
    }
    EXPECT_EQ(murelGetParameterValue(p, MUREL_PARAMETER_BUS_SENSITIVITY(1)), 0.0f);
    ASSERT_TRUE(applyMix(p, {"sensitivity=Drums=40", "gain=Rest=-inf dB"}).applied);
    EXPECT_EQ(murelGetParameterValue(p, MUREL_PARAMETER_BUS_SENSITIVITY(1)), 40.0f);

    const struct
    {
        std::vector<const char*> settings;
        const char* reason;
    } bad[] = {
        {{"gain=Voice"}, "--gain expects BUS=VALUE, not 'Voice'"},
        {{"gain=0=0.5", "gain=Voice=loud"}, "bad gain 'loud'"},
        {{"sensitivity=Voice=101"}, "bad sensitivity '101'"},
        {{"solo=Bass"}, "unknown bus 'Bass'"},
        {{"residual=-3"}, "--residual: gain '-3' is negative"},
        {{"volume=3"}, "unknown mix setting 'volume=3'"},
    };
    for (const auto& c : bad)
    {
        const MixResult mix = applyMix(p, c.settings);
        EXPECT_FALSE(mix.applied);
        EXPECT_EQ(mix.message.rfind(c.reason, 0), 0u) << mix.message;
        EXPECT_EQ(getGains(p), (std::vector<float>{1.0f, 1.0f, 0.0f}));
        EXPECT_EQ(murelGetParameterValue(p, MUREL_PARAMETER_BUS_SENSITIVITY(1)), 40.0f);
    }
}

TEST(HostPolicy, EveryParameterIsClampedToItsRange)
{
    const TemporaryModelFile voice(namedModel("Voice", "Rest"));
    const Processor processor = createSeparator({voice.c_str()});
    ASSERT_NE(processor, nullptr);
    for (const int id : {MUREL_PARAMETER_BUS_GAIN(0), MUREL_PARAMETER_BUS_SENSITIVITY(1), 2})
    {
        float minimum = 0.0f;
        float maximum = 0.0f;
        murelGetParameterRange(processor.get(), id, &minimum, &maximum);
        murelSetParameterValue(processor.get(), id, 1000.0f);
        EXPECT_EQ(murelGetParameterValue(processor.get(), id), maximum) << id;
        murelSetParameterValue(processor.get(), id, -1000.0f);
        EXPECT_EQ(murelGetParameterValue(processor.get(), id), minimum) << id;
    }
}

} // namespace
