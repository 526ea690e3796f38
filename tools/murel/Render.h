#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace murel::cli
{

class AudioReader;
class AudioWriter;
class ProcessorHandle;
class ProgressBar;

/** One processor and the file that receives its output. */
struct RenderTarget
{
    ProcessorHandle* processor = nullptr;
    AudioWriter* writer = nullptr;
};

struct RenderSettings
{
    /** Frames read and pushed per call. */
    int blockSize = 4096;
    ProgressBar* progress = nullptr;
    /** Checked once per block; set from a signal handler to stop cleanly. */
    const std::atomic<bool>* interrupted = nullptr;
};

/** Runs the whole input through every target's processor and writes exactly as many frames as
    the input has, aligned with it.

    The engine's output stream is aligned with its input: output frame n belongs to input frame n.
    What the reported latency measures is how much input must follow a frame before the frame
    comes out. So nothing is cut from the start, and after the input ends every processor gets
    silence until it has delivered the input's length (at most its latency plus one block). The
    input is read once, however many targets there are.

    Returns the number of frames; throws Failure on read or write errors, when interrupted, or
    when a processor delivers less than its latency promises. */
std::int64_t renderFile(AudioReader& input, const std::vector<RenderTarget>& targets, const RenderSettings& settings);

} // namespace murel::cli
