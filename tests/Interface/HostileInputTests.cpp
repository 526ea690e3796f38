// Input a careless or hostile host may give: absurd rates and frame sizes, non-finite audio.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "Interface/MurelEngine.h"
#include "Processor/MurelProcessor.h"
#include "Processor/ProcessorTestSupport.h"
#include "TestSupport.h"

using namespace murel::test;

namespace
{

// ---- Resource bounds ----

TEST(HostileInput, RateScalingAndTransformSizeHaveUpperLimits)
{
    struct Case
    {
        ModelBlocking model;
        double hostRate;
        bool accepted;
        const char* reason;
    };
    const Case cases[] = {
        {{256, 256, 128, 48000.0}, 48000.0 * 32, true, ""},                               // scaled by 32
        {{256, 256, 128, 48000.0}, 48000.0 * 33, false, "times the model's sample rate"}, // by 64
        {{256, 256, 128, 48000.0}, 2147483647.0, false, "times the model's sample rate"},
        {{256, 256, 128, 1.0}, 48000.0, false, "times the model's sample rate"},
        {{16384, 16384, 4096, 48000.0}, 192000.0, true, ""}, // 65536 points
        {{16384, 16384, 4096, 48000.0}, 384000.0, false, "more than 65536"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.model.fft) + " at " + std::to_string(c.model.sampleRate) + " Hz, host " +
                     std::to_string(c.hostRate));
        const mw::ModelDescription description = identityModel(1, c.model, 0, 8);
        const TemporaryModelFile file(description);
        EXPECT_EQ(create(file.c_str(), 1, c.hostRate) != nullptr, c.accepted);

        murel::MurelProcessor direct;
        ASSERT_TRUE(direct.loadModels({toStream(description)}));
        murel::AudioFormat format;
        format.createDefaultChannelMapping(1);
        format.setSampleRate(c.hostRate);
        EXPECT_EQ(direct.setFormat(format, format), c.accepted);
        EXPECT_NE(direct.getLastError().find(c.reason), std::string::npos) << direct.getLastError();
    }
}

// ---- Non-finite values ----

Channels stream(const mw::ModelDescription& model, Channels input)
{
    const TemporaryModelFile file(model);
    const Processor handle = create(file.c_str(), static_cast<int>(input.size()));
    void* processor = handle.get();
    EXPECT_NE(processor, nullptr);
    const int length = static_cast<int>(input[0].size());
    Channels output(input.size(), std::vector<float>(static_cast<std::size_t>(length), 0.0f));
    for (int position = 0; position < length; position += 100)
    {
        const auto at = static_cast<std::size_t>(position);
        murelAddAudio(processor, pointers(input, at).data(), 100);
        murelGetAudio(processor, pointers(output, at).data(), 100);
    }
    return output;
}

TEST(HostileInput, NonFiniteSamplesCountAsSilenceAndHugeOnesGiveFiniteOutput)
{
    // The identity mask squares the spectrum: the large values overflow on the way.
    const ModelBlocking blocking{256, 256, 128, 48000.0};
    const mw::ModelDescription model = identityModel(2, blocking, 0, 129);
    const Channels clean = noise(2, 4000, 5u);

    Channels hostile = clean;
    Channels silenced = clean;
    const float infinity = std::numeric_limits<float>::infinity();
    const std::pair<int, float> samples[] = {
        {300, std::nanf("")}, {301, infinity}, {1500, -infinity}, {2900, std::nanf("")}};
    for (const auto& [index, value] : samples)
    {
        hostile[1][static_cast<std::size_t>(index)] = value;
        silenced[1][static_cast<std::size_t>(index)] = 0.0f;
    }
    EXPECT_EQ(stream(model, hostile), stream(model, silenced));

    Channels huge = clean;
    for (int i = 1000; i < 1040; ++i)
        huge[0][static_cast<std::size_t>(i)] = (i % 2 == 0 ? 3e38f : -3e38f);
    huge[1][2000] = std::numeric_limits<float>::max();
    for (const std::vector<float>& channel : stream(model, huge))
        for (const float x : channel)
            ASSERT_TRUE(std::isfinite(x));
}

} // namespace
