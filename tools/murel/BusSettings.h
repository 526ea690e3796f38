#pragma once

#include <string>
#include <vector>

namespace murel::cli
{

class ProcessorHandle;

/** Per-bus settings from the command line: "BUS=VALUE" texts, BUS a bus name or index. */
struct BusRequests
{
    std::vector<std::string> gains;
    std::vector<std::string> sensitivities;
    /** Bus to keep alone; empty for all. */
    std::string solo;
};

/** Resolved settings for every bus (residual last). */
struct BusMix
{
    std::vector<float> gains;
    std::vector<float> sensitivities;
};

/** The bus a name or index names: an exact name, else a unique case-insensitive one, else a
    decimal index. Throws UsageFailure naming the known buses. */
int findBus(const std::vector<std::string>& busNames, const std::string& bus);

/** A gain: a linear factor (0 to 100: "0", "0.5", "1") or a level in decibels with the suffix
    dB ("-12dB", "-6 dB", "-inf dB"; up to 40 dB). Throws UsageFailure. */
float parseGain(const std::string& text);

/** A sensitivity from -100 (permissive) to 100 (strict). Throws UsageFailure. */
float parseSensitivity(const std::string& text);

/** Gains and sensitivities for every bus; solo silences every other bus. Throws UsageFailure
    for unknown buses, bad values, or buses the engine cannot control. */
BusMix resolveBusMix(const std::vector<std::string>& busNames, const BusRequests& requests);

/** The mix with only one bus audible, at the gain the mix gives it. */
BusMix isolateBus(const BusMix& mix, int bus);

void applyBusMix(ProcessorHandle& processor, const BusMix& mix);

} // namespace murel::cli
