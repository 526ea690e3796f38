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

/** The library's mix settings (murelApplyHostMix) for the options. residual: the --residual text
    or empty; stems: whether the run writes stems. */
std::vector<std::string> makeMixSettings(const BusRequests& requests, const std::string& residual, bool stems);

/** The settings of the stem of one bus: that bus alone, at the gain the options give it. */
std::vector<std::string> makeStemMixSettings(const BusRequests& requests, int bus);

/** Applies the settings through the library's host policy and returns its note ("" when it has
    none). Throws UsageFailure with the library's reason. */
std::string applyMix(ProcessorHandle& processor, const std::vector<std::string>& settings);

} // namespace murel::cli
