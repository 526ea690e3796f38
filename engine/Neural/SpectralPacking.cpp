// Packing spectra into the model's input tensor and unpacking its output tensor into mask
// frames, for every packing code the model format knows.
#include <algorithm>
#include <cmath>
#include <complex>
#include <list>
#include <stdexcept>

#include "DspCore/VectorMath.h"
#include "Neural/NeuralModel.h"

namespace murel
{

namespace
{

const char* const unknownPackingFormat = "Unknown packing format";

bool isMagnitudePacking(PackingCode code)
{
    return code == PackingCode::magnitudes || code == PackingCode::splitMagnitudes;
}

} // namespace

template <typename T>
Tensor<T> NeuralModel<T>::signalsToTensor(const std::vector<ComplexSignal32>& frames) const
{
    if (frames.empty())
        return Tensor<T>();
    Tensor<T> tensor;
    packFrames(frames, tensor);
    return tensor;
}

template <typename T>
template <typename Frames>
void NeuralModel<T>::packFrames(const Frames& frames, Tensor<T>& tensor) const
{
    const PackingCode code = header.inputPacking.code;
    const int lowBinCount = header.inputPacking.lowBins;
    const int decimationFactor = header.inputPacking.decimation;
    const bool complexPacking = isComplexPacking(code);
    const int numOfColumns = getNumOfInputTensorChannels();
    const int rows = std::max(tensorRows, 0);
    tensor.ensureShape(1, rows, numOfColumns);
    T* out = tensor.getWritePointer();
    auto cell = [&](int row, int column) -> T&
    {
        return out[static_cast<std::size_t>(row) * static_cast<std::size_t>(numOfColumns) +
                   static_cast<std::size_t>(column)];
    };

    for (const ComplexSignal32& frame : frames)
    {
        for (int column = 0; column < numOfColumns; ++column)
        {
            const int channel = complexPacking ? column / 2 : column;
            const bool imaginary = complexPacking && column % 2 == 1;
            // Missing channels and bins pack as zeros.
            const bool hasChannel = frame.hasStorage() && channel < frame.getNumOfChannels();
            const int available = hasChannel ? frame.getNumOfSamples() : 0;
            const std::complex<float>* bins = hasChannel ? frame.getReadPointer(channel) : nullptr;
            auto part = [&](int bin)
            {
                if (bin >= available)
                    return 0.0f;
                return imaginary ? bins[bin].imag() : bins[bin].real();
            };

            int b = 0;
            for (int r = 0; r < rows; ++r)
            {
                if (b >= available)
                {
                    for (; r < rows; ++r)
                        cell(r, column) = 0.0f;
                    break;
                }
                const std::complex<float> x = bins[b];
                if (code == PackingCode::realAndImaginary || (code == PackingCode::decimated && b < lowBinCount))
                {
                    cell(r, column) = part(b);
                    b += 1;
                }
                else if (code == PackingCode::decimated)
                {
                    const int d = decimationFactor;
                    float sum = 0.0f;
                    if (d > 0)
                    {
                        const float divisor = static_cast<float>(d);
                        for (int j = 0; j < d; ++j)
                            sum += part(b + j) / divisor;
                        b += d;
                    }
                    cell(r, column) = sum;
                }
                else if (isMagnitudePacking(code) && b >= lowBinCount)
                {
                    cell(r, column) = std::hypot(x.real(), x.imag());
                    b += 1;
                }
                else if (isMagnitudePacking(code))
                {
                    // A low bin takes four rows: its positive and negative real and imaginary parts.
                    const float quadrants[4] = {x.real(), x.imag(), -x.real(), -x.imag()};
                    cell(r, column) = std::max(quadrants[r % 4], 0.0f);
                    b += r % 4 == 3 ? 1 : 0;
                }
                else
                {
                    throw std::runtime_error(unknownPackingFormat);
                }
            }
        }
    }
}

template <typename T>
std::vector<ComplexSignal32> NeuralModel<T>::tensorToSignals(const Tensor<T>& tensor, int numOfSamples) const
{
    std::vector<ComplexSignal32> masks;
    if (tensor.shape.size() < 3 || tensor.isEmpty())
        return masks;
    const int numOfFrames = tensor.shape[0];
    masks.resize(static_cast<std::size_t>(numOfFrames));
    for (int o = 0; o < numOfFrames; ++o)
        unpackFrame(tensor, o, numOfSamples, masks[static_cast<std::size_t>(o)]);
    return masks;
}

template <typename T>
void NeuralModel<T>::unpackFrame(const Tensor<T>& tensor, int o, int numOfSamples, ComplexSignal32& mask) const
{
    const PackingCode code = header.outputPacking.code;
    // The bins, low bins and decimation are the input packing's.
    const int binCount = header.inputPacking.numBins;
    const int lowBinCount = header.inputPacking.lowBins;
    const int decimationFactor = header.inputPacking.decimation;
    const int columnsPerChannel = isComplexPacking(code) ? 2 : 1;
    const int numOfColumns = tensor.shape[2];
    const int numOfChannels = numOfColumns / columnsPerChannel;
    const int numOfBins = std::max(numOfSamples, 0);
    const int numOfPackedBins = std::clamp(binCount, 0, numOfBins);
    const std::int64_t count = tensor.getNumOfElements();
    const T* data = tensor.getReadPointer();
    constexpr float keep = 0.98f;
    constexpr float follow = 0.02f;

    const std::int64_t block = static_cast<std::int64_t>(o) * tensorRows * numOfColumns;
    // Rows past the end of the tensor read as zero.
    auto at = [&](std::int64_t row, int column)
    {
        const std::int64_t index = block + row * numOfColumns + column;
        return index >= 0 && index < count ? data[index] : 0.0f;
    };
    mask.resizeView(numOfChannels, numOfBins);
    for (int c = 0; c < numOfChannels; ++c)
    {
        std::complex<float>* out = mask.getWritePointer(c);
        const int column = c * columnsPerChannel;
        std::int64_t r = 0;
        for (int j = 0; j < numOfPackedBins; ++j)
        {
            std::complex<float> value;
            if (code == PackingCode::realAndImaginary || (code == PackingCode::decimated && j < lowBinCount))
            {
                value = {at(r, column), at(r, column + 1)};
                r += 1;
            }
            else if (isMagnitudePacking(code) && j < lowBinCount)
            {
                value = {at(r, column) - at(r + 2, column), at(r + 1, column) - at(r + 3, column)};
                r += 4;
            }
            else if (isMagnitudePacking(code))
            {
                value = {at(r, column), 0.0f};
                r += 1;
            }
            else if (code == PackingCode::decimated && decimationFactor >= 1)
            {
                const int d = decimationFactor;
                const int q = (j - lowBinCount) % d;
                const float w = static_cast<float>(q) / static_cast<float>(d);
                const bool hasNext = j + d < binCount;
                const float nextRe = hasNext ? at(r + 1, column) : 0.0f;
                const float nextIm = hasNext ? at(r + 1, column + 1) : 0.0f;
                value = {(1.0f - w) * at(r, column) + w * nextRe, (1.0f - w) * at(r, column + 1) + w * nextIm};
                if (q == d - 1)
                    r += 1;
            }
            else if (code == PackingCode::decimated)
            {
                value = {0.0f, 0.0f};
            }
            else
            {
                throw std::runtime_error(unknownPackingFormat);
            }
            out[j] = value;
        }
        if (numOfPackedBins == numOfBins)
            continue;

        // Bins above the model's continue at the smoothed magnitude of the bins below (0 without
        // extrapolation). The magnitudes are taken four at a time, as cabsf gives them.
        float level = 0.0f;
        if (maskExtrapolationEnabled)
        {
            const float* values = reinterpret_cast<const float*>(out);
            alignas(16) float magnitudes[vec::numOfLanes];
            int j = 0;
            for (; j + vec::numOfLanes <= numOfPackedBins; j += vec::numOfLanes)
            {
                const float32x4x2_t parts = vec::loadDeinterleaved(values + 2 * j);
                vec::store(magnitudes, vec::polarMagnitude(parts.val[0], parts.val[1]));
                for (const float m : magnitudes)
                    level = keep * level + follow * m;
            }
            for (; j < numOfPackedBins; ++j)
                level = keep * level + follow * std::abs(out[j]);
        }
        for (int j = numOfPackedBins; j < numOfBins; ++j)
        {
            out[j] = {level, 0.0f};
            // |level| is level, which never turns negative.
            level = keep * level + follow * level;
        }
    }
}

template Tensor<float> NeuralModel<float>::signalsToTensor(const std::vector<ComplexSignal32>&) const;
template void NeuralModel<float>::packFrames(const std::list<ComplexSignal32>&, Tensor<float>&) const;
template std::vector<ComplexSignal32> NeuralModel<float>::tensorToSignals(const Tensor<float>&, int) const;
template void NeuralModel<float>::unpackFrame(const Tensor<float>&, int, int, ComplexSignal32&) const;

} // namespace murel
