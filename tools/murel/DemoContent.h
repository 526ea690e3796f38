#pragma once

#include "Format/ModelWriter.h"

#include <cstdint>
#include <string>
#include <vector>

namespace murel::cli
{

/** Small models made with the model writer, for the quick start and the tests. */
struct DemoModelSettings
{
    /** "gate": a spectral gate, the mask sigmoid(4 (|X| - t) / t), that keeps bins above a
        threshold t (bus "Signal") and leaves the rest to the residual ("Noise");
        "identity": a model whose output spectrum is its input (bus "Processed" is everything,
        the residual nothing); "constant": a mask of one value for every bin. */
    std::string kind = "gate";
    int numOfChannels = 1;
    double sampleRate = 48000.0;
    int fftSize = 1024;
    int windowSize = 1024;
    int hopSize = 256;
    /** Gate threshold as the level of a sine, in dB below full scale, at the model's blocking. */
    double thresholdDecibels = -40.0;
    /** Mask value of the constant kind. */
    double maskValue = 0.5;
    /** Frames the network holds back (a latency the processor must compensate). */
    int delay = 0;
    /** Names of the model's bus and residual; empty for the kind's own. */
    std::string busName;
    std::string residualName;
};

/** Throws UsageFailure for settings the model format or the engine cannot take. */
modelwriter::ModelDescription makeDemoModel(const DemoModelSettings& settings);

/** A short test recording: chords of sine tones plus Gaussian white noise. */
struct TestSignalSettings
{
    double seconds = 3.0;
    int sampleRate = 48000;
    int numOfChannels = 2;
    /** Peak level of each tone and RMS level of the noise, dB relative to full scale; -inf (or
        below -200) leaves the part out. */
    double toneDecibels = -12.0;
    double noiseDecibels = -30.0;
    std::uint32_t seed = 1;
};

/** Interleaved frames; the same settings give the same samples on every platform. Throws
    UsageFailure for impossible settings. */
std::vector<float> makeTestSignal(const TestSignalSettings& settings);

} // namespace murel::cli
