#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <stdexcept>
#include <vector>

#include "DspCore/FourierTransform.h"

using namespace murel;

namespace
{

using Complex = std::complex<double>;
constexpr double pi = 3.14159265358979323846;

/** Direct DFT in double precision; sign -1 for forward, +1 for inverse. No scaling. */
std::vector<Complex> directDft(const std::vector<Complex>& x, int sign)
{
    const std::size_t n = x.size();
    std::vector<Complex> roots(n);
    for (std::size_t m = 0; m < n; ++m)
    {
        const double angle = sign * 2.0 * pi * static_cast<double>(m) / static_cast<double>(n);
        roots[m] = {std::cos(angle), std::sin(angle)};
    }
    std::vector<Complex> result(n);
    for (std::size_t k = 0; k < n; ++k)
    {
        Complex sum = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            sum += x[i] * roots[(k * i) % n];
        result[k] = sum;
    }
    return result;
}

/** Real inverse of bins 0 .. N/2: the complex inverse of the Hermitian spectrum they imply,
    plus the documented contributions of imaginary parts at DC (-b even, +b odd) and Nyquist (-b). */
std::vector<double> directRealInverse(const std::vector<Complex>& bins, std::size_t n)
{
    std::vector<Complex> full(n);
    for (std::size_t k = 0; k <= n / 2; ++k)
        full[k] = bins[k];
    full[0] = bins[0].real();
    full[n / 2] = bins[n / 2].real();
    for (std::size_t k = n / 2 + 1; k < n; ++k)
        full[k] = std::conj(bins[n - k]);
    const std::vector<Complex> time = directDft(full, 1);
    std::vector<double> result(n);
    for (std::size_t i = 0; i < n; ++i)
        result[i] = time[i].real() + (i % 2 == 0 ? -1.0 : 1.0) * bins[0].imag() - bins[n / 2].imag();
    return result;
}

std::vector<float> randomReal(std::size_t n, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-1.0f, 1.0f);
    std::vector<float> values(n);
    for (float& v : values)
        v = distribution(generator);
    return values;
}

std::vector<std::complex<float>> randomComplex(std::size_t n, unsigned seed)
{
    const std::vector<float> parts = randomReal(2 * n, seed);
    std::vector<std::complex<float>> values(n);
    for (std::size_t i = 0; i < n; ++i)
        values[i] = {parts[2 * i], parts[2 * i + 1]};
    return values;
}

/** Allowed error of an N-point single-precision transform of values bounded by 1 in magnitude:
    rounding grows with the number of passes and the size of the sums. */
double tolerance(int n)
{
    return 2e-7 * (std::log2(static_cast<double>(n)) + 1.0) * std::sqrt(static_cast<double>(n)) * 4.0;
}

Signal32 makeSignal(const std::vector<std::vector<float>>& rows)
{
    Signal32 signal(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()));
    for (std::size_t c = 0; c < rows.size(); ++c)
        std::copy(rows[c].begin(), rows[c].end(), signal.getWritePointer(static_cast<int>(c)));
    return signal;
}

ComplexSignal32 makeComplexSignal(const std::vector<std::vector<std::complex<float>>>& rows)
{
    ComplexSignal32 signal(static_cast<int>(rows.size()), static_cast<int>(rows[0].size()));
    for (std::size_t c = 0; c < rows.size(); ++c)
        std::copy(rows[c].begin(), rows[c].end(), signal.getWritePointer(static_cast<int>(c)));
    return signal;
}

template <typename Value>
std::vector<Complex> toDouble(const std::vector<Value>& values)
{
    std::vector<Complex> result(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        result[i] = Complex(values[i]);
    return result;
}

double maxError(const std::complex<float>* actual, const std::vector<Complex>& expected)
{
    double error = 0.0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        error = std::max(error, std::abs(Complex(actual[i]) - expected[i]));
    return error;
}

double maxError(const float* actual, const std::vector<double>& expected)
{
    double error = 0.0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        error = std::max(error, std::abs(static_cast<double>(actual[i]) - expected[i]));
    return error;
}

std::vector<int> powersOfTwo(int from, int to)
{
    std::vector<int> sizes;
    for (int n = from; n <= to; n *= 2)
        sizes.push_back(n);
    return sizes;
}

} // namespace

TEST(FourierTransform, ComplexTransformsMatchDirectDft)
{
    FourierTransform fft;
    for (int n : powersOfTwo(1, 8192))
    {
        const auto x = randomComplex(static_cast<std::size_t>(n), static_cast<unsigned>(n));
        const ComplexSignal32 in = makeComplexSignal({x});

        const ComplexSignal32 spectrum = fft.forwardComplex(in);
        ASSERT_EQ(spectrum.getNumOfSamples(), n);
        EXPECT_LE(maxError(spectrum.getReadPointer(0), directDft(toDouble(x), -1)), tolerance(n)) << "N = " << n;

        const ComplexSignal32 time = fft.inverseComplex(in);
        EXPECT_LE(maxError(time.getReadPointer(0), directDft(toDouble(x), 1)), tolerance(n)) << "N = " << n;
    }
}

TEST(FourierTransform, RealForwardMatchesDirectDft)
{
    FourierTransform fft;
    for (int n : powersOfTwo(2, 8192))
    {
        const auto x = randomReal(static_cast<std::size_t>(n), static_cast<unsigned>(n) + 7u);
        const ComplexSignal32 spectrum = fft.forwardReal(makeSignal({x}));
        ASSERT_EQ(spectrum.getNumOfChannels(), 1);
        ASSERT_EQ(spectrum.getNumOfSamples(), n / 2 + 1);

        std::vector<Complex> expected = directDft(toDouble(x), -1);
        expected.resize(static_cast<std::size_t>(n / 2 + 1));
        EXPECT_LE(maxError(spectrum.getReadPointer(0), expected), tolerance(n)) << "N = " << n;
        EXPECT_EQ(spectrum.getReadPointer(0)[0].imag(), 0.0f);
        EXPECT_EQ(spectrum.getReadPointer(0)[n / 2].imag(), 0.0f);
    }
}

TEST(FourierTransform, RealInverseMatchesDirectDft)
{
    FourierTransform fft;
    for (int n : powersOfTwo(2, 8192))
    {
        const auto bins = randomComplex(static_cast<std::size_t>(n / 2 + 1), static_cast<unsigned>(n) + 11u);
        const Signal32 time = fft.inverseReal(makeComplexSignal({bins}));
        ASSERT_EQ(time.getNumOfSamples(), n);

        const auto expected = directRealInverse(toDouble(bins), static_cast<std::size_t>(n));
        EXPECT_LE(maxError(time.getReadPointer(0), expected), tolerance(n)) << "N = " << n;
    }
}

TEST(FourierTransform, InverseAfterForwardScalesByLength)
{
    FourierTransform fft;
    for (int n : powersOfTwo(2, 8192))
    {
        const auto x = randomReal(static_cast<std::size_t>(n), static_cast<unsigned>(n) + 3u);
        const Signal32 back = fft.inverseReal(fft.forwardReal(makeSignal({x})));
        ASSERT_EQ(back.getNumOfSamples(), n);
        std::vector<double> expected(x.begin(), x.end());
        for (double& v : expected)
            v *= n;
        EXPECT_LE(maxError(back.getReadPointer(0), expected), tolerance(n) * std::sqrt(static_cast<double>(n)))
            << "N = " << n;

        const auto z = randomComplex(static_cast<std::size_t>(n), static_cast<unsigned>(n) + 5u);
        const ComplexSignal32 backComplex = fft.inverseComplex(fft.forwardComplex(makeComplexSignal({z})));
        std::vector<Complex> expectedComplex = toDouble(z);
        for (Complex& v : expectedComplex)
            v *= n;
        EXPECT_LE(maxError(backComplex.getReadPointer(0), expectedComplex),
                  tolerance(n) * std::sqrt(static_cast<double>(n)))
            << "N = " << n;
    }
}

TEST(FourierTransform, EdgeCases)
{
    FourierTransform fft;

    Signal32 impulse(1, 8);
    impulse.setToZero();
    impulse.getWritePointer(0)[0] = 1.0f;
    const ComplexSignal32 flat = fft.forwardReal(impulse);
    ASSERT_EQ(flat.getNumOfSamples(), 5);
    for (int k = 0; k < 5; ++k)
    {
        EXPECT_NEAR(flat.getReadPointer(0)[k].real(), 1.0f, 1e-6f);
        EXPECT_NEAR(flat.getReadPointer(0)[k].imag(), 0.0f, 1e-6f);
    }

    for (int n : {2, 4, 16, 512})
    {
        Signal32 ones(1, n);
        std::fill_n(ones.getWritePointer(0), n, 1.0f);
        const ComplexSignal32 dc = fft.forwardReal(ones);
        EXPECT_FLOAT_EQ(dc.getReadPointer(0)[0].real(), static_cast<float>(n));
        EXPECT_EQ(dc.getReadPointer(0)[0].imag(), 0.0f);
        for (int k = 1; k <= n / 2; ++k)
            EXPECT_LE(std::abs(dc.getReadPointer(0)[k]), 1e-5f * static_cast<float>(n)) << n << " " << k;
    }

    const Signal32 pair = makeSignal({{3.0f, 5.0f}});
    const ComplexSignal32 two = fft.forwardReal(pair);
    ASSERT_EQ(two.getNumOfSamples(), 2);
    EXPECT_EQ(two.getReadPointer(0)[0], std::complex<float>(8.0f, 0.0f));
    EXPECT_EQ(two.getReadPointer(0)[1], std::complex<float>(-2.0f, 0.0f));
    const Signal32 pairBack = fft.inverseReal(two);
    EXPECT_EQ(pairBack.getReadPointer(0)[0], 6.0f);
    EXPECT_EQ(pairBack.getReadPointer(0)[1], 10.0f);

    const ComplexSignal32 stereo = fft.forwardReal(Signal32(2, 1024));
    EXPECT_EQ(stereo.getNumOfChannels(), 2);
    EXPECT_EQ(stereo.getNumOfSamples(), 513);
}

TEST(FourierTransform, InverseRealKeepsImaginaryPartsOfDcAndNyquist)
{
    FourierTransform fft;
    const int n = 16;
    ComplexSignal32 bins(1, n / 2 + 1);
    bins.setToZero();
    bins.getWritePointer(0)[0] = {2.0f, 0.25f};
    bins.getWritePointer(0)[n / 2] = {1.0f, 0.5f};
    const Signal32 time = fft.inverseReal(bins);
    for (int i = 0; i < n; ++i)
    {
        const float hermitian = 2.0f + (i % 2 == 0 ? 1.0f : -1.0f);
        const float extra = (i % 2 == 0 ? -0.25f : 0.25f) - 0.5f;
        EXPECT_NEAR(time.getReadPointer(0)[i], hermitian + extra, 1e-6f) << i;
    }
}

TEST(FourierTransform, TransformsEveryRowAndLeavesOtherRowsAlone)
{
    FourierTransform fft;
    const int n = 256;
    const std::vector<std::vector<float>> rows = {randomReal(n, 1), randomReal(n, 2), randomReal(n, 3)};
    const Signal32 in = makeSignal(rows);

    ComplexSignal32 out(4, n / 2 + 9);
    std::fill_n(out.getWritePointer(3), n / 2 + 9, std::complex<float>(42.0f, -1.0f));
    std::fill_n(out.getWritePointer(0) + n / 2 + 1, 8, std::complex<float>(7.0f, 7.0f));
    fft.forwardReal(in, out);
    for (int c = 0; c < 3; ++c)
    {
        std::vector<Complex> expected = directDft(toDouble(rows[static_cast<std::size_t>(c)]), -1);
        expected.resize(n / 2 + 1);
        EXPECT_LE(maxError(out.getReadPointer(c), expected), tolerance(n)) << c;
    }
    for (int i = 0; i < n / 2 + 9; ++i)
        EXPECT_EQ(out.getReadPointer(3)[i], std::complex<float>(42.0f, -1.0f));
    for (int i = n / 2 + 1; i < n / 2 + 9; ++i)
        EXPECT_EQ(out.getReadPointer(0)[i], std::complex<float>(7.0f, 7.0f));

    // The real inverse transforms only the output's rows, reading the first bins of wider input.
    Signal32 back(2, n);
    fft.inverseReal(out, back);
    for (int c = 0; c < 2; ++c)
    {
        std::vector<double> expected(rows[static_cast<std::size_t>(c)].begin(),
                                     rows[static_cast<std::size_t>(c)].end());
        for (double& v : expected)
            v *= n;
        EXPECT_LE(maxError(back.getReadPointer(c), expected), tolerance(n) * n) << c;
    }

    std::vector<std::vector<std::complex<float>>> complexRows = {randomComplex(64, 4), randomComplex(64, 5)};
    const ComplexSignal32 complexIn = makeComplexSignal(complexRows);
    const ComplexSignal32 complexOut = fft.forwardComplex(complexIn);
    for (int c = 0; c < 2; ++c)
        EXPECT_LE(
            maxError(complexOut.getReadPointer(c), directDft(toDouble(complexRows[static_cast<std::size_t>(c)]), -1)),
            tolerance(64));
}

TEST(FourierTransform, SwitchingLengthsOnOneObject)
{
    FourierTransform fft;
    const auto small = randomReal(512, 21);
    const auto large = randomReal(1024, 22);
    std::vector<Complex> expectedSmall = directDft(toDouble(small), -1);
    std::vector<Complex> expectedLarge = directDft(toDouble(large), -1);
    expectedSmall.resize(257);
    expectedLarge.resize(513);
    for (int round = 0; round < 3; ++round)
    {
        EXPECT_LE(maxError(fft.forwardReal(makeSignal({small})).getReadPointer(0), expectedSmall), tolerance(512));
        EXPECT_EQ(fft.getSize(), 256);
        EXPECT_LE(maxError(fft.forwardReal(makeSignal({large})).getReadPointer(0), expectedLarge), tolerance(1024));
        EXPECT_EQ(fft.getSize(), 512);
        // A complex transform of another length in between.
        const auto z = randomComplex(32, 23);
        EXPECT_LE(maxError(fft.forwardComplex(makeComplexSignal({z})).getReadPointer(0), directDft(toDouble(z), -1)),
                  tolerance(32));
    }
    fft.free();
    EXPECT_EQ(fft.getSize(), 0);
    EXPECT_LE(maxError(fft.forwardReal(makeSignal({small})).getReadPointer(0), expectedSmall), tolerance(512));
}

TEST(FourierTransform, TablesAndRadixTwoCore)
{
    FourierTransform fft;
    fft.allocate(8);
    EXPECT_EQ(fft.getSize(), 8);
    EXPECT_EQ(fft.getLog2Size(), 3);
    EXPECT_EQ(fft.getBitReversal(), (std::vector<int32_t>{0, 4, 2, 6, 1, 5, 3, 7}));
    ASSERT_EQ(fft.getForwardTwiddles().size(), 4u);
    for (std::size_t k = 0; k < 4; ++k)
    {
        const double angle = -2.0 * pi * static_cast<double>(k) / 8.0;
        EXPECT_NEAR(fft.getForwardTwiddles()[k].real(), std::cos(angle), 1e-7);
        EXPECT_NEAR(fft.getForwardTwiddles()[k].imag(), std::sin(angle), 1e-7);
        EXPECT_EQ(fft.getInverseTwiddles()[k], std::conj(fft.getForwardTwiddles()[k]));
    }

    // permute followed by fftCore is a complete transform on its own.
    fft.allocate(64);
    const auto x = randomComplex(64, 31);
    const ComplexSignal32 in = makeComplexSignal({x});
    ComplexSignal32 work(1, 64);
    fft.permute(in, work);
    fft.fftCore(work.getWritePointer(0), 64, false);
    EXPECT_LE(maxError(work.getReadPointer(0), directDft(toDouble(x), -1)), tolerance(64));
    fft.permute(in, work);
    fft.fftCore(work.getWritePointer(0), 64, true);
    EXPECT_LE(maxError(work.getReadPointer(0), directDft(toDouble(x), 1)), tolerance(64));

    // A shorter core length uses every (size / n)-th twiddle.
    FourierTransform shortCore;
    shortCore.allocate(16);
    std::vector<std::complex<float>> row(x.begin(), x.begin() + 4);
    std::swap(row[1], row[2]);
    shortCore.fftCore(row.data(), 4, false);
    EXPECT_LE(maxError(row.data(), directDft(toDouble(std::vector<std::complex<float>>(x.begin(), x.begin() + 4)), -1)),
              tolerance(4));
}

TEST(FourierTransform, OutputMaySharePassedInStorage)
{
    FourierTransform fft;
    const auto x = randomComplex(128, 41);
    ComplexSignal32 signal = makeComplexSignal({x});
    const ComplexSignal32 keep = signal;
    fft.forwardComplex(signal, signal);
    EXPECT_LE(maxError(signal.getReadPointer(0), directDft(toDouble(x), -1)), tolerance(128));
    for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_EQ(keep.getReadPointer(0)[i], x[i]);

    // Alone in its storage, the same signal is transformed in place.
    ComplexSignal32 alone = makeComplexSignal({x});
    fft.inverseComplex(alone, alone);
    EXPECT_LE(maxError(alone.getReadPointer(0), directDft(toDouble(x), 1)), tolerance(128));
}

TEST(FourierTransform, ViewsSmallerThanTheirStorage)
{
    FourierTransform fft;
    const auto x = randomReal(64, 51);
    Signal32 in(3, 200);
    in.resizeView(1, 64);
    std::copy(x.begin(), x.end(), in.getWritePointer(0));
    ComplexSignal32 out(2, 100);
    out.resizeView(1, 33);
    fft.forwardReal(in, out);
    std::vector<Complex> expected = directDft(toDouble(x), -1);
    expected.resize(33);
    EXPECT_LE(maxError(out.getReadPointer(0), expected), tolerance(64));
}

TEST(FourierTransform, RejectsBadLengthsAndShapesWithoutWriting)
{
    FourierTransform fft;
    ComplexSignal32 out(1, 16);
    std::fill_n(out.getWritePointer(0), 16, std::complex<float>(9.0f, 9.0f));
    const auto unchanged = [&out]
    {
        for (int i = 0; i < 16; ++i)
            if (out.getReadPointer(0)[i] != std::complex<float>(9.0f, 9.0f))
                return false;
        return true;
    };

    EXPECT_THROW(fft.forwardComplex(ComplexSignal32(1, 12), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardReal(Signal32(1, 12), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardReal(Signal32(1, 7), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardReal(Signal32(1, 32), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardReal(Signal32(2, 8), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardComplex(ComplexSignal32(1, 32), out), std::invalid_argument);
    EXPECT_THROW(fft.inverseComplex(ComplexSignal32(1, 8), out), std::invalid_argument);
    EXPECT_TRUE(unchanged());

    Signal32 time(1, 24);
    EXPECT_THROW(fft.inverseReal(out, time), std::invalid_argument);
    Signal32 longTime(1, 64);
    EXPECT_THROW(fft.inverseReal(out, longTime), std::invalid_argument);
    EXPECT_THROW(fft.allocate(6), std::invalid_argument);
    EXPECT_THROW(fft.allocate(0), std::invalid_argument);

    // Nothing to transform is not an error.
    ComplexSignal32 none;
    EXPECT_NO_THROW(fft.forwardComplex(ComplexSignal32(), none));
    EXPECT_EQ(fft.forwardReal(Signal32(2, 0)).getNumOfSamples(), 0);
    EXPECT_EQ(fft.inverseReal(ComplexSignal32(2, 1)).getNumOfSamples(), 0);
    EXPECT_EQ(fft.inverseReal(ComplexSignal32()).getNumOfChannels(), 0);
}
