#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "DspCore/FourierTransform.h"
#include "TestSupport.h"

using namespace murel;
using namespace murel::test;

namespace
{

using Complex = std::complex<double>;

/** Real inverse of bins 0 .. N/2: the complex inverse of the Hermitian spectrum they imply
    (DC and Nyquist once, every other bin twice through its real part), plus the documented
    contributions of imaginary parts at DC (-b on even, +b on odd samples) and Nyquist (-b). */
std::vector<double> directRealInverse(const std::vector<Complex>& bins, std::size_t n)
{
    const std::vector<Complex> full = hermitianInverse(bins, n);
    std::vector<double> result(n);
    for (std::size_t i = 0; i < n; ++i)
        result[i] = full[i].real() - (i % 2 == 0 ? 1.0 : -1.0) * bins[0].imag() - bins[n / 2].imag();
    return result;
}

std::vector<float> randomReal(std::size_t n, unsigned seed)
{
    const Signal32 noise = makeNoise(1, static_cast<int>(n), seed);
    return std::vector<float>(noise.getReadPointer(0), noise.getReadPointer(0) + n);
}

std::vector<std::complex<float>> randomComplex(std::size_t n, unsigned seed)
{
    const std::vector<float> parts = randomReal(2 * n, seed);
    std::vector<std::complex<float>> values(n);
    for (std::size_t i = 0; i < n; ++i)
        values[i] = {parts[2 * i], parts[2 * i + 1]};
    return values;
}

/** Allowed error of an N-point single-precision transform of values bounded by 1: outputs grow
    like sqrt(N) and pick up about one rounding per pass, so two float epsilons per pass (about
    five times what the transform shows) scaled by sqrt(N). An indexing or twiddle fault gives
    errors of the order of the outputs themselves. Round trips grow by another sqrt(N). */
double tolerance(int n)
{
    constexpr double floatEpsilon = 1.1920929e-7;
    return 2.0 * floatEpsilon * (std::log2(static_cast<double>(n)) + 1.0) * std::sqrt(static_cast<double>(n));
}

/** One row of real samples gives a Signal32, of complex ones a ComplexSignal32. */
template <typename Value>
auto makeSignal(const std::vector<std::vector<Value>>& rows)
{
    std::conditional_t<std::is_same<Value, float>::value, Signal32, ComplexSignal32> signal(
        static_cast<int>(rows.size()), static_cast<int>(rows[0].size()));
    for (std::size_t c = 0; c < rows.size(); ++c)
        std::copy(rows[c].begin(), rows[c].end(), signal.getWritePointer(static_cast<int>(c)));
    return signal;
}

template <typename Value>
auto makeSignal(const std::vector<Value>& row)
{
    return makeSignal(std::vector<std::vector<Value>>{row});
}

template <typename Value>
std::vector<Complex> toDouble(const std::vector<Value>& values, double scale = 1.0)
{
    std::vector<Complex> result(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        result[i] = Complex(values[i]) * scale;
    return result;
}

template <typename Actual, typename Expected>
double maxError(const Actual* actual, const std::vector<Expected>& expected)
{
    double error = 0.0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        error = std::max(error, std::abs(Complex(actual[i]) - Complex(expected[i])));
    return error;
}

} // namespace

TEST(FourierTransform, ComplexTransformsMatchDirectDft)
{
    FourierTransform fft; // one object switching through every size
    for (int n = 1; n <= 8192; n *= 2)
    {
        SCOPED_TRACE(testing::Message() << "N = " << n);
        const auto x = randomComplex(static_cast<std::size_t>(n), static_cast<unsigned>(n));
        const ComplexSignal32 in = makeSignal(x);
        const std::vector<Complex> expected = directDft(toDouble(x), -1);

        const ComplexSignal32 spectrum = fft.forwardComplex(in);
        ASSERT_EQ(spectrum.getNumOfSamples(), n);
        EXPECT_LE(maxError(spectrum.getReadPointer(0), expected), tolerance(n));

        // The inverse sum at k is the forward sum at N - k.
        std::vector<Complex> expectedInverse(expected.size());
        for (std::size_t k = 0; k < expected.size(); ++k)
            expectedInverse[k] = expected[(expected.size() - k) % expected.size()];
        EXPECT_LE(maxError(fft.inverseComplex(in).getReadPointer(0), expectedInverse), tolerance(n));

        const ComplexSignal32 back = fft.inverseComplex(spectrum);
        EXPECT_LE(maxError(back.getReadPointer(0), toDouble(x, n)), tolerance(n) * std::sqrt(n));
    }
}

TEST(FourierTransform, RealTransformsMatchDirectDft)
{
    FourierTransform fft;
    for (int n = 2; n <= 8192; n *= 2)
    {
        SCOPED_TRACE(testing::Message() << "N = " << n);
        const auto x = randomReal(static_cast<std::size_t>(n), static_cast<unsigned>(n) + 7u);
        const ComplexSignal32 spectrum = fft.forwardReal(makeSignal(x));
        ASSERT_EQ(spectrum.getNumOfChannels(), 1);
        ASSERT_EQ(spectrum.getNumOfSamples(), n / 2 + 1);
        EXPECT_LE(maxError(spectrum.getReadPointer(0), directDft(toDouble(x), -1, n / 2 + 1)), tolerance(n));
        EXPECT_EQ(spectrum.getReadPointer(0)[0].imag(), 0.0f);
        EXPECT_EQ(spectrum.getReadPointer(0)[n / 2].imag(), 0.0f);

        const Signal32 back = fft.inverseReal(spectrum);
        ASSERT_EQ(back.getNumOfSamples(), n);
        EXPECT_LE(maxError(back.getReadPointer(0), toDouble(x, n)), tolerance(n) * std::sqrt(n));

        // Random bins, with imaginary parts at DC and Nyquist that the inverse must not drop.
        const auto bins = randomComplex(static_cast<std::size_t>(n / 2 + 1), static_cast<unsigned>(n) + 11u);
        const Signal32 time = fft.inverseReal(makeSignal(bins));
        ASSERT_EQ(time.getNumOfSamples(), n);
        EXPECT_LE(maxError(time.getReadPointer(0), directRealInverse(toDouble(bins), static_cast<std::size_t>(n))),
                  tolerance(n));
    }
}

TEST(FourierTransform, TransformsEveryRowOfViewsAndLeavesOtherRowsAlone)
{
    FourierTransform fft;
    const int n = 256;
    const std::vector<std::vector<float>> rows = {randomReal(n, 1), randomReal(n, 2), randomReal(n, 3)};
    // Views smaller than their storage: the stride is not the length.
    Signal32 in(3, 300);
    in.resizeView(3, n);
    for (std::size_t c = 0; c < 3; ++c)
        std::copy(rows[c].begin(), rows[c].end(), in.getWritePointer(static_cast<int>(c)));

    const std::complex<float> fill(42.0f, -1.0f);
    ComplexSignal32 out(4, n / 2 + 9);
    for (int c = 0; c < 4; ++c)
        std::fill_n(out.getWritePointer(c), n / 2 + 9, fill);
    fft.forwardReal(in, out);
    for (std::size_t c = 0; c < 3; ++c)
    {
        const std::complex<float>* bins = out.getReadPointer(static_cast<int>(c));
        EXPECT_LE(maxError(bins, directDft(toDouble(rows[c]), -1, n / 2 + 1)), tolerance(n)) << c;
        EXPECT_EQ(bins[n / 2 + 1], fill) << "bins past N/2 are left alone";
    }
    for (int i = 0; i < n / 2 + 9; ++i)
        EXPECT_EQ(out.getReadPointer(3)[i], fill);

    // The real inverse transforms only the output's rows, reading the first bins of wider input.
    Signal32 back(2, n);
    fft.inverseReal(out, back);
    for (std::size_t c = 0; c < 2; ++c)
        EXPECT_LE(maxError(back.getReadPointer(static_cast<int>(c)), toDouble(rows[c], n)),
                  tolerance(n) * std::sqrt(n));

    const std::vector<std::vector<std::complex<float>>> complexRows = {randomComplex(64, 4), randomComplex(64, 5)};
    const ComplexSignal32 complexOut = fft.forwardComplex(makeSignal(complexRows));
    for (std::size_t c = 0; c < 2; ++c)
        EXPECT_LE(maxError(complexOut.getReadPointer(static_cast<int>(c)), directDft(toDouble(complexRows[c]), -1)),
                  tolerance(64));
}

TEST(FourierTransform, SwitchingLengthsOnOneObject)
{
    FourierTransform fft;
    const auto small = randomReal(512, 21);
    const auto large = randomReal(1024, 22);
    const auto z = randomComplex(32, 23);
    const std::vector<Complex> expectedSmall = directDft(toDouble(small), -1, 257);
    const std::vector<Complex> expectedLarge = directDft(toDouble(large), -1, 513);
    const std::vector<Complex> expectedComplex = directDft(toDouble(z), -1);
    const auto transformSmall = [&] { return fft.forwardReal(makeSignal(small)); };
    for (int round = 0; round < 3; ++round)
    {
        EXPECT_LE(maxError(transformSmall().getReadPointer(0), expectedSmall), tolerance(512));
        const ComplexSignal32 big = fft.forwardReal(makeSignal(large));
        EXPECT_LE(maxError(big.getReadPointer(0), expectedLarge), tolerance(1024));
        const ComplexSignal32 other = fft.forwardComplex(makeSignal(z));
        EXPECT_LE(maxError(other.getReadPointer(0), expectedComplex), tolerance(32));
    }
    fft.free();
    EXPECT_EQ(fft.getSize(), 0);
    EXPECT_LE(maxError(transformSmall().getReadPointer(0), expectedSmall), tolerance(512));
}

TEST(FourierTransform, TablesAndRadixTwoCore)
{
    FourierTransform fft;
    fft.allocate(8);
    EXPECT_EQ(fft.getLog2Size(), 3);
    EXPECT_EQ(fft.getBitReversal(), (std::vector<int32_t>{0, 4, 2, 6, 1, 5, 3, 7}));
    ASSERT_EQ(fft.getForwardTwiddles().size(), 4u);
    for (std::size_t k = 0; k < 4; ++k)
    {
        EXPECT_LT(
            std::abs(Complex(fft.getForwardTwiddles()[k]) - std::polar(1.0, -2.0 * pi * static_cast<double>(k) / 8.0)),
            1e-7);
        EXPECT_EQ(fft.getInverseTwiddles()[k], std::conj(fft.getForwardTwiddles()[k]));
    }

    // permute followed by fftCore is a complete transform on its own.
    fft.allocate(64);
    const auto x = randomComplex(64, 31);
    const ComplexSignal32 in = makeSignal(x);
    ComplexSignal32 work(1, 64);
    for (int sign : {-1, 1})
    {
        fft.permute(in, work);
        fft.fftCore(work.getWritePointer(0), 64, sign > 0);
        EXPECT_LE(maxError(work.getReadPointer(0), directDft(toDouble(x), sign)), tolerance(64)) << sign;
    }

    // A shorter core length uses every (size / n)-th twiddle.
    FourierTransform shortCore;
    shortCore.allocate(16);
    const std::vector<std::complex<float>> four(x.begin(), x.begin() + 4);
    std::vector<std::complex<float>> row = {four[0], four[2], four[1], four[3]};
    shortCore.fftCore(row.data(), 4, false);
    EXPECT_LE(maxError(row.data(), directDft(toDouble(four), -1)), tolerance(4));
}

TEST(FourierTransform, OutputMaySharePassedInStorage)
{
    FourierTransform fft;
    const auto x = randomComplex(128, 41);
    ComplexSignal32 signal = makeSignal(x);
    const ComplexSignal32 keep = signal;
    fft.forwardComplex(signal, signal);
    EXPECT_LE(maxError(signal.getReadPointer(0), directDft(toDouble(x), -1)), tolerance(128));
    for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_EQ(keep.getReadPointer(0)[i], x[i]);

    // Alone in its storage, the same signal is transformed in place.
    ComplexSignal32 alone = makeSignal(x);
    fft.inverseComplex(alone, alone);
    EXPECT_LE(maxError(alone.getReadPointer(0), directDft(toDouble(x), 1)), tolerance(128));
}

TEST(FourierTransform, RejectsBadLengthsAndShapesWithoutWriting)
{
    FourierTransform fft;
    const std::complex<float> fill(9.0f, 9.0f);
    ComplexSignal32 out(1, 16);
    std::fill_n(out.getWritePointer(0), 16, fill);

    EXPECT_THROW(fft.forwardComplex(ComplexSignal32(1, 12), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardReal(Signal32(1, 12), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardReal(Signal32(1, 7), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardReal(Signal32(1, 32), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardReal(Signal32(2, 8), out), std::invalid_argument);
    EXPECT_THROW(fft.forwardComplex(ComplexSignal32(1, 32), out), std::invalid_argument);
    EXPECT_THROW(fft.inverseComplex(ComplexSignal32(1, 8), out), std::invalid_argument);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(out.getReadPointer(0)[i], fill);

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
