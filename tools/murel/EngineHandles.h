#pragma once

#include "Format/ModelFile.h"
#include "Interface/MurelEngine.h"

#include <cstdint>

#include <string>
#include <vector>

namespace murel::cli
{

/** A model loaded through the engine's model functions, for its header values. */
class ModelHandle
{
public:
    /** Throws Failure with the reason when the file is missing, unreadable, not a regular file or
        a model the engine does not load (the engine's reason), or declares an absurd rate. */
    explicit ModelHandle(const std::string& path);
    ~ModelHandle();

    ModelHandle(const ModelHandle&) = delete;
    ModelHandle& operator=(const ModelHandle&) = delete;

    const std::string& getPath() const { return path; }
    /** sampleRate, numOfChannels, latency (= FFT size), windowSize, hopSize, modelLatency. */
    const MurelModelInfo& getInfo() const { return info; }

private:
    std::string path;
    void* handle = nullptr;
    MurelModelInfo info = {};
};

/** A processor (one model) or stem separator (several) from the engine's C functions. */
class ProcessorHandle
{
public:
    /** Checks every model first (see ModelHandle) and that several models agree, then creates
        the processor for the channel count and rate. Throws Failure with the reason. */
    ProcessorHandle(const std::vector<std::string>& modelPaths, int numOfChannels, double sampleRate);
    ~ProcessorHandle();

    ProcessorHandle(const ProcessorHandle&) = delete;
    ProcessorHandle& operator=(const ProcessorHandle&) = delete;

    void* get() const { return handle; }
    int getNumOfChannels() const { return numOfChannels; }
    double getSampleRate() const { return sampleRate; }
    /** Latency in samples at the processor's rate, as the engine reports it. */
    int getLatency() const;
    const std::vector<std::string>& getBusNames() const { return busNames; }

private:
    void* handle = nullptr;
    int numOfChannels = 0;
    double sampleRate = 0.0;
    std::vector<std::string> busNames;
};

/** The records of a model file as the engine's reader reads them, and the file's size. Throws
    Failure with the reader's reason. */
struct ModelFileDescription
{
    ModelFileRecord records;
    std::int64_t fileSize = 0;
    /** Bytes after the output source that the reader does not use. */
    std::int64_t numOfTrailingBytes = 0;
};
ModelFileDescription readModelDescription(const std::string& path);

/** The engine's vector arithmetic back end ("ARM NEON"). */
std::string getVectorArithmeticName();

} // namespace murel::cli
