#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "DspCore/Export.h"
#include "DspCore/Signals.h"

namespace murel
{

/** Unnormalised Fourier transforms of every row of a signal.

    Forward: X[k] = sum over n of x[n] e^(-2 pi i k n / N); inverse: the same sum with +2 pi i.
    Neither is scaled, so an inverse after a forward multiplies by N. A real frame of N samples
    (N even) has N/2 + 1 bins, DC to Nyquist, each bin a complex sample of its own.

    Complex lengths, and half the length of real frames, must be powers of two (1, 2, 4, ...);
    a length of 0 does nothing. Other lengths, and outputs or inputs with too few channels or
    samples for the call, throw std::invalid_argument before anything is written.

    The tables follow the last length used and the scratch storage only grows, so steady-state
    use with one length allocates nothing but the results of the returning forms. An object is
    used by one thread at a time. */
class MUREL_EXPORT FourierTransform
{
public:
    FourierTransform() = default;

    /** Builds the tables for complex transforms of size points; throws std::invalid_argument
        unless size is a power of two. */
    void allocate(int size);
    /** Forgets the length so the next transform rebuilds its tables; storage is kept. */
    void free();

    /** Forward transform of every row of in (length: in's samples) into the same row of out. */
    void forwardComplex(const ComplexSignal32& in, ComplexSignal32& out);
    /** Inverse transform of out's rows (length: out's samples), read from the same rows of in. */
    void inverseComplex(const ComplexSignal32& in, ComplexSignal32& out);
    /** Real forward transform of every row of in (N = in's samples); writes bins 0 .. N/2. */
    void forwardReal(const Signal32& in, ComplexSignal32& out);
    /** Real inverse transform into every row of out (N = out's samples); reads bins 0 .. N/2.
        The imaginary parts of bins 0 and N/2, which a real frame cannot have, are not dropped:
        an imaginary part b at DC adds -b to even and +b to odd samples, and one at Nyquist
        adds -b to every sample. */
    void inverseReal(const ComplexSignal32& in, Signal32& out);

    /** in's channels x in's samples. */
    ComplexSignal32 forwardComplex(const ComplexSignal32& in);
    /** in's channels x in's samples. */
    ComplexSignal32 inverseComplex(const ComplexSignal32& in);
    /** in's channels x (in's samples / 2 + 1) bins; no bins for an empty frame. */
    ComplexSignal32 forwardReal(const Signal32& in);
    /** in's channels x 2 (in's bins - 1) samples (no samples for fewer than 2 bins). */
    Signal32 inverseReal(const ComplexSignal32& in);

    /** out[c][i] = in[c][bitReversal[i]] for i below the table size, for every row of in. */
    void permute(const ComplexSignal32& in, ComplexSignal32& out);
    /** In-place radix-2 butterflies over one row of n points (a power of two, at most the table
        size) already in bit-reversed order; the inverse twiddles when inverse is true. */
    void fftCore(std::complex<float>* data, int n, bool inverse);

    /** Length of the complex transform the tables are built for; 0 when none is built. */
    int getSize() const { return size; }
    int getLog2Size() const { return log2Size; }
    /** Entry k is e^(-2 pi i k / size), k below size / 2. */
    const std::vector<std::complex<float>>& getForwardTwiddles() const { return forwardTwiddles; }
    /** Entry k is e^(+2 pi i k / size), k below size / 2. */
    const std::vector<std::complex<float>>& getInverseTwiddles() const { return inverseTwiddles; }
    /** Entry i is i with its lowest log2Size bits reversed. */
    const std::vector<int32_t>& getBitReversal() const { return bitReversal; }

private:
    void prepare(int length);
    void buildVectorTables();
    void transformRow(const float* in, float* out, bool inverse);
    void forwardRealRow(const float* in, std::complex<float>* out, float* work0, float* work1);
    void inverseRealRow(const std::complex<float>* in, float* out, float* work0, float* work1);
    void transformSmallRow(const std::complex<float>* in, std::complex<float>* out, bool inverse);
    /** The first numOfChannels rows of in, transformed into out; the shapes are checked already. */
    void transformChannels(const ComplexSignal32& in, ComplexSignal32& out, int length, int numOfChannels,
                           bool inverse);
    /** Checks a real transform of length samples per channel against its spectrum and builds the
        tables; work receives the scratch rows of the vector path (null for the small one). False
        when there is nothing to transform. */
    bool prepareReal(int length, int numOfChannels, const ComplexSignal32& spectrum, const char* tooSmall,
                     float* (&work)[2]);
    void forwardRealSmallRow(const float* in, std::complex<float>* out);
    void inverseRealSmallRow(const std::complex<float>* in, float* out);

    int size = 0;
    int log2Size = 0;
    // Scratch reused from call to call. Each row holds one sequence of size points in split
    // form (size real parts, then size imaginary parts), the layout the vector passes work on.
    ComplexSignal32 packedSignal;
    ComplexSignal32 packedSpectrum;
    std::vector<std::complex<float>> forwardTwiddles;
    std::vector<std::complex<float>> inverseTwiddles;
    std::vector<int32_t> bitReversal;
    // Radix-4 pass twiddles, six vectors of four lanes per butterfly group.
    std::vector<float> passTwiddles;
    // Twiddles of the real-transform split and merge for bins 1 .. size / 2, split form.
    std::vector<float> realForwardTwiddles;
    std::vector<float> realInverseTwiddles;
};

} // namespace murel
