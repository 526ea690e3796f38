// Writes a model file whose output is its input: no layers, spectra packed and unpacked as real
// and imaginary parts, processing mode "spectra". A processor built from it gives back its input,
// delayed by its latency; the C example host and the install check run on it.
//
// usage: MurelIdentityModel OUTPUT_FILE [CHANNELS [FFT_SIZE [WINDOW_SIZE [HOP_SIZE [SAMPLE_RATE]]]]]

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "Format/ModelWriter.h"

int main(int argc, char** argv)
{
    namespace mw = murel::modelwriter;
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: %s OUTPUT_FILE [CHANNELS [FFT_SIZE [WINDOW_SIZE [HOP_SIZE [SAMPLE_RATE]]]]]\n",
                     argv[0]);
        return 2;
    }
    const int numOfChannels = argc > 2 ? std::atoi(argv[2]) : 2;
    const int fftSize = argc > 3 ? std::atoi(argv[3]) : 512;
    const int windowSize = argc > 4 ? std::atoi(argv[4]) : fftSize;
    const int hopSize = argc > 5 ? std::atoi(argv[5]) : windowSize / 2;
    const double sampleRate = argc > 6 ? std::atof(argv[6]) : 48000.0;
    if (numOfChannels < 1 || numOfChannels > 127 || fftSize < 2 || fftSize > 16384 || windowSize < 1 || hopSize < 1 ||
        !(sampleRate > 0.0))
    {
        std::fprintf(stderr, "bad model parameters\n");
        return 2;
    }

    mw::ModelDescription model;
    model.header.sampleRate = sampleRate;
    model.header.numInputChannels = numOfChannels;
    model.header.numOutputChannels = numOfChannels;
    model.header.processingMode = mw::ProcessingMode::spectra;
    // Twice the bins the frame has, so that the model stays the identity when a host runs it at
    // a higher rate (the frame then grows by a power of two).
    model.header.inputPacking = mw::Packing::plain(mw::PackingCode::realAndImaginary, fftSize + 1);
    model.header.outputPacking = mw::Packing::plain(mw::PackingCode::realAndImaginary, fftSize + 1);
    model.header.fftSize = fftSize;
    model.header.windowSize = windowSize;
    model.header.hopSize = hopSize;
    model.header.numOutputs = 1;
    model.header.outputNames = {"Processed", "Residual"};
    model.outputSource = "input";
    try
    {
        if (!mw::saveModel(model, argv[1]))
        {
            std::fprintf(stderr, "cannot write %s\n", argv[1]);
            return 1;
        }
    }
    catch (const std::exception& error)
    {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
