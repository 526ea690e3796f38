#pragma once

#include <lv2/core/lv2.h>

#include <cstdint>
#include <memory>

namespace murel::lv2
{

/** The LV2 entry points a plug-in class P shares with the others: P(channels, rate) followed by
    P::initialise(features), and the calls that go straight to the instance. No exception leaves
    instantiate: a plug-in that cannot start is a null handle to the host. */
template <typename P>
struct PluginCallbacks
{
    static P* self(LV2_Handle instance) { return static_cast<P*>(instance); }

    template <int numOfChannels>
    static LV2_Handle instantiate(const LV2_Descriptor*, double sampleRate, const char*,
                                  const LV2_Feature* const* features)
    {
        if (!(sampleRate > 0.0))
            return nullptr;
        try
        {
            auto plugin = std::make_unique<P>(numOfChannels, sampleRate);
            plugin->initialise(features);
            return plugin.release();
        }
        catch (...)
        {
            return nullptr;
        }
    }

    static void connectPort(LV2_Handle instance, std::uint32_t port, void* data)
    {
        self(instance)->connect(port, data);
    }
    static void activate(LV2_Handle instance) { self(instance)->activate(); }
    static void run(LV2_Handle instance, std::uint32_t numOfFrames) { self(instance)->run(numOfFrames); }
    static void cleanup(LV2_Handle instance) { delete self(instance); }

    template <int numOfChannels>
    static constexpr LV2_Descriptor describe(const char* uri, const void* (*extensionData)(const char*))
    {
        return {uri, instantiate<numOfChannels>, connectPort, activate, run, nullptr, cleanup, extensionData};
    }
};

} // namespace murel::lv2
