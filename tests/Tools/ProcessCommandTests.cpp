#include "ToolTestSupport.h"

#include <cmath>
#include <tuple>

namespace murel::test
{
namespace
{

struct RoundTripCase
{
    const char* extension;
    const char* sampleFormat;
    int numOfChannels;
    /** Largest difference allowed: float rounding, or half a step of the integer format. */
    double tolerance;
    int expectedSubtype;
};

class IdentityRoundTripTest : public testing::TestWithParam<RoundTripCase>
{
};

// An identity model gives the input back: same file type, sample type, channels, rate and length,
// aligned sample for sample.
TEST_P(IdentityRoundTripTest, GivesTheInputBackAligned)
{
    const RoundTripCase& testCase = GetParam();
    ScratchFolder folder;
    const std::string input = folder.file(std::string("in.") + testCase.extension);
    const std::string output = folder.file(std::string("out.") + testCase.extension);
    const std::string model = folder.file("identity.model");
    const std::string channels = std::to_string(testCase.numOfChannels);
    runMurelOrFail({"make-model", model, "--kind", "identity", "--channels", channels});
    runMurelOrFail({"make-test-signal", input, "--seconds", "0.7", "--rate", "44100", "--channels", channels,
                    "--format", testCase.sampleFormat});
    runMurelOrFail({"process", input, output, "--model", model});

    const AudioData in = readAudio(input);
    const AudioData out = readAudio(output);
    EXPECT_EQ(out.info.format, in.info.format);
    EXPECT_EQ(out.info.format & SF_FORMAT_SUBMASK, testCase.expectedSubtype);
    EXPECT_EQ(out.info.channels, testCase.numOfChannels);
    EXPECT_EQ(out.info.samplerate, 44100);
    ASSERT_EQ(out.getNumOfFrames(), in.getNumOfFrames());
    EXPECT_GT(getRms(in.samples), 0.05);
    EXPECT_LE(getMaxDeviation(out.samples, in.samples), testCase.tolerance);
}

INSTANTIATE_TEST_SUITE_P(FileTypes, IdentityRoundTripTest,
                         testing::Values(RoundTripCase{"wav", "16", 1, 1.0 / 32768, SF_FORMAT_PCM_16},
                                         RoundTripCase{"wav", "16", 2, 1.0 / 32768, SF_FORMAT_PCM_16},
                                         RoundTripCase{"wav", "float", 1, 1e-5, SF_FORMAT_FLOAT},
                                         RoundTripCase{"wav", "float", 2, 1e-5, SF_FORMAT_FLOAT},
                                         RoundTripCase{"flac", "16", 1, 1.0 / 32768, SF_FORMAT_PCM_16},
                                         RoundTripCase{"flac", "16", 2, 1.0 / 32768, SF_FORMAT_PCM_16},
                                         RoundTripCase{"flac", "24", 2, 1.0 / 8388608 + 1e-6, SF_FORMAT_PCM_24}),
                         [](const testing::TestParamInfo<RoundTripCase>& testCase)
                         {
                             return std::string(testCase.param.extension) + "_" + testCase.param.sampleFormat + "_" +
                                    std::to_string(testCase.param.numOfChannels) + "ch";
                         });

class AlignmentTest : public testing::TestWithParam<std::tuple<int, int>>
{
};

// The network's own delay, the frame scaling at other rates and lengths that are no multiple of the
// hop or the block all leave the output aligned and of the input's length.
TEST_P(AlignmentTest, CompensatesLatencyAtAnyRate)
{
    const auto [sampleRate, delay] = GetParam();
    ScratchFolder folder;
    const std::string model = folder.file("delayed.model");
    runMurelOrFail({"make-model", model, "--kind", "identity", "--delay", std::to_string(delay)});
    const std::string input = folder.file("in.wav");
    const int numOfFrames = 12345;
    std::vector<float> samples(numOfFrames);
    for (int i = 0; i < numOfFrames; ++i)
        samples[std::size_t(i)] = 0.5f * std::sin(0.01f * float(i)) * std::cos(0.0007f * float(i));
    samples.front() = 0.9f;
    samples.back() = -0.9f;
    writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, sampleRate, samples);
    const std::string output = folder.file("out.wav");
    runMurelOrFail({"process", input, output, "-m", model, "--block", "1000"});

    const AudioData out = readAudio(output);
    ASSERT_EQ(out.getNumOfFrames(), std::size_t(numOfFrames));
    EXPECT_LE(getMaxDeviation(out.samples, samples), 1e-5);
}

INSTANTIATE_TEST_SUITE_P(RatesAndDelays, AlignmentTest,
                         testing::Combine(testing::Values(22050, 48000, 96000), testing::Values(0, 3)));

TEST(ProcessCommand, OutputDoesNotDependOnTheBlockSize)
{
    ScratchFolder folder;
    const std::string model = folder.file("gate.model");
    const std::string input = folder.file("in.wav");
    runMurelOrFail({"make-model", model, "--delay", "2"});
    runMurelOrFail({"make-test-signal", input, "--seconds", "0.3", "--format", "float"});
    std::vector<AudioData> outputs;
    for (const char* blockSize : {"1", "777", "65536"})
    {
        const std::string output = folder.file(std::string("out") + blockSize + ".wav");
        runMurelOrFail({"process", input, output, "-m", model, "-g", "Noise=0", "--block", blockSize});
        outputs.push_back(readAudio(output));
    }
    EXPECT_EQ(outputs[0].samples, outputs[1].samples);
    EXPECT_EQ(outputs[0].samples, outputs[2].samples);
}

TEST(ProcessCommand, MonoMaskingModelKeepsEveryChannelOfAStereoFile)
{
    ScratchFolder folder;
    const std::string model = folder.file("gate.model");
    const std::string input = folder.file("in.wav");
    const std::string output = folder.file("out.wav");
    runMurelOrFail({"make-model", model});
    runMurelOrFail({"make-test-signal", input, "--seconds", "0.5", "--channels", "2", "--format", "float"});
    // At unit gains the buses add up to the input, whatever the masks.
    runMurelOrFail({"process", input, output, "-m", model});
    const AudioData in = readAudio(input);
    EXPECT_LE(getMaxDeviation(readAudio(output).samples, in.samples), 1e-5);
}

TEST(ProcessCommand, DemoGateRemovesMostOfTheNoise)
{
    ScratchFolder folder;
    const std::string model = folder.file("gate.model");
    runMurelOrFail({"make-model", model});
    const std::string clean = folder.file("tones.wav");
    const std::string noisy = folder.file("noisy.wav");
    const std::string output = folder.file("out.wav");
    runMurelOrFail({"make-test-signal", clean, "--seconds", "2", "--noise", "-inf", "--format", "float"});
    runMurelOrFail({"make-test-signal", noisy, "--seconds", "2", "--format", "float"});
    runMurelOrFail({"process", noisy, output, "-m", model, "--gain", "Noise=0"});

    const std::vector<float> tones = readAudio(clean).samples;
    const std::vector<float> before = readAudio(noisy).samples;
    const std::vector<float> after = readAudio(output).samples;
    ASSERT_EQ(after.size(), tones.size());
    std::vector<float> errorBefore(tones.size());
    std::vector<float> errorAfter(tones.size());
    for (std::size_t i = 0; i < tones.size(); ++i)
    {
        errorBefore[i] = before[i] - tones[i];
        errorAfter[i] = after[i] - tones[i];
    }
    const double improvement = 20.0 * std::log10(getRms(errorBefore) / getRms(errorAfter));
    EXPECT_GT(improvement, 12.0) << "the gate improves the signal-to-noise ratio by " << improvement << " dB only";
}

/** A separator of two constant masks, 0.25 ("Voice") and 0.5 ("Drums"); the residual is 0.25. */
class SeparatorTest : public testing::Test
{
protected:
    void SetUp() override
    {
        runMurelOrFail({"make-model", voiceModel, "--kind", "constant", "--mask", "0.25", "--bus", "Voice"});
        runMurelOrFail({"make-model", drumsModel, "--kind", "constant", "--mask", "0.5", "--bus", "Drums"});
        runMurelOrFail({"make-test-signal", input, "--seconds", "0.4", "--format", "float"});
        in = readAudio(input);
    }

    /** Processes with the two models and the options; the output's deviation from factor x in. */
    double getDeviation(std::vector<std::string> options, double factor)
    {
        std::vector<std::string> arguments = {"process", input, output, "-m", voiceModel, "-m", drumsModel};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const CommandResult result = runMurel(arguments);
        EXPECT_EQ(result.status, 0) << result.err;
        return getMaxDeviation(readAudio(output).samples, in.samples, factor);
    }

    ScratchFolder folder;
    const std::string voiceModel = folder.file("voice.model");
    const std::string drumsModel = folder.file("drums.model");
    const std::string input = folder.file("in.wav");
    const std::string output = folder.file("out.wav");
    AudioData in;
};

TEST_F(SeparatorTest, SoloKeepsOneBusByNameOrIndex)
{
    EXPECT_LE(getDeviation({"--solo", "Voice"}, 0.25), 1e-5);
    EXPECT_LE(getDeviation({"--solo", "drums"}, 0.5), 1e-5);
    EXPECT_LE(getDeviation({"--solo", "2"}, 0.25), 1e-5);
}

TEST_F(SeparatorTest, GainsInDecibelsAndLinearFactors)
{
    EXPECT_LE(getDeviation({"--gain", "Residual=0"}, 0.75), 1e-5);
    EXPECT_LE(getDeviation({"-g", "Voice=-6dB", "--solo", "Voice"}, 0.25 * std::pow(10.0, -6.0 / 20.0)), 1e-5);
    EXPECT_LE(getDeviation({"-g", "0=2", "-g", "1=0", "-g", "Residual=-inf dB"}, 0.5), 1e-5);
}

TEST_F(SeparatorTest, SensitivityShapesTheMaskOfItsBus)
{
    // The engine's sensitivity curve for a mask magnitude m at sensitivity 100:
    // m * (0.5 - 0.5 cos(pi m))^(e - 1), e = exp(100 * 0.0075).
    const double exponent = std::exp(100.0 * 0.0075);
    const double m = 0.25;
    const double shaped = m * std::pow(0.5 - 0.5 * std::cos(3.14159265358979 * m), exponent - 1.0);
    EXPECT_LE(getDeviation({"--solo", "Voice", "--sensitivity", "Voice=100"}, shaped), 1e-5);
    // Another bus's sensitivity leaves the soloed bus alone.
    EXPECT_LE(getDeviation({"--solo", "Voice", "-s", "1=100"}, 0.25), 1e-5);
}

TEST_F(SeparatorTest, StemsHoldEveryBusAloneAndAddUpToTheInput)
{
    const std::string stems = folder.file("stems");
    const CommandResult result =
        runMurel({"process", input, "--stems", stems, "-m", voiceModel, "-m", drumsModel, "--type", "flac"});
    ASSERT_EQ(result.status, 0) << result.err;
    ASSERT_EQ(listFolder(stems), (std::vector<std::string>{"Drums.flac", "Residual.flac", "Voice.flac"}));
    const AudioData voice = readAudio(stems + "/Voice.flac");
    const AudioData drums = readAudio(stems + "/Drums.flac");
    const AudioData residual = readAudio(stems + "/Residual.flac");
    // Float input into FLAC: 24-bit integers.
    EXPECT_EQ(voice.info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    const double step = 1.0 / 8388608;
    EXPECT_LE(getMaxDeviation(voice.samples, in.samples, 0.25), 1e-5 + step);
    EXPECT_LE(getMaxDeviation(drums.samples, in.samples, 0.5), 1e-5 + step);
    EXPECT_LE(getMaxDeviation(residual.samples, in.samples, 0.25), 1e-5 + step);
    std::vector<float> sum(in.samples.size());
    for (std::size_t i = 0; i < sum.size(); ++i)
        sum[i] = voice.samples[i] + drums.samples[i] + residual.samples[i];
    EXPECT_LE(getMaxDeviation(sum, in.samples), 1e-5 + 3 * step);
}

TEST_F(SeparatorTest, MixAndStemsInOnePass)
{
    const std::string stems = folder.file("stems");
    const CommandResult result = runMurel({"process", input, output, "--stems", stems, "-m", voiceModel, "-m",
                                           drumsModel, "--gain", "Drums=0", "-g", "Voice=0.5"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_LE(getMaxDeviation(readAudio(output).samples, in.samples, 0.125 + 0.25), 1e-5);
    // Each stem is its bus at the gain the mix gives it.
    EXPECT_LE(getMaxDeviation(readAudio(stems + "/Voice.wav").samples, in.samples, 0.125), 1e-5);
    EXPECT_LE(getMaxDeviation(readAudio(stems + "/Drums.wav").samples, in.samples, 0.0), 1e-5);
    EXPECT_LE(getMaxDeviation(readAudio(stems + "/Residual.wav").samples, in.samples, 0.25), 1e-5);
}

TEST_F(SeparatorTest, SoloChoosesTheOutputAndLeavesTheStemsWhole)
{
    const std::string stems = folder.file("stems");
    const CommandResult result =
        runMurel({"process", input, output, "--stems", stems, "-m", voiceModel, "-m", drumsModel, "--solo", "Drums"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_LE(getMaxDeviation(readAudio(output).samples, in.samples, 0.5), 1e-5);
    EXPECT_LE(getMaxDeviation(readAudio(stems + "/Voice.wav").samples, in.samples, 0.25), 1e-5);
    EXPECT_LE(getMaxDeviation(readAudio(stems + "/Residual.wav").samples, in.samples, 0.25), 1e-5);
}

TEST(ProcessCommand, WarnsWhenASpectraModelHasFewerChannelsThanTheFile)
{
    ScratchFolder folder;
    const std::string model = folder.file("identity.model");
    const std::string input = folder.file("in.wav");
    runMurelOrFail({"make-model", model, "--kind", "identity"});
    runMurelOrFail({"make-test-signal", input, "--seconds", "0.1", "--channels", "2"});
    const CommandResult result = runMurel({"process", input, folder.file("out.wav"), "-m", model});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("outputs spectra for 1 channel: its buses are the same in all 2 channels"),
              std::string::npos)
        << result.err;
}

TEST(ProcessCommand, KeepsOrConvertsTheFileFormat)
{
    ScratchFolder folder;
    const std::string model = folder.file("gate.model");
    runMurelOrFail({"make-model", model});
    const std::string input = folder.file("in.wav");
    std::vector<float> samples(4800);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.25f * std::sin(0.05f * float(i));
    writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 32000, samples, "Morning take");

    const auto processTo = [&](const std::string& name, std::vector<std::string> options = {})
    {
        std::vector<std::string> arguments = {"process", input, folder.file(name), "-m", model};
        arguments.insert(arguments.end(), options.begin(), options.end());
        runMurelOrFail(arguments);
        return readAudio(folder.file(name));
    };
    const AudioData kept = processTo("kept.wav");
    EXPECT_EQ(kept.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_EQ(kept.info.samplerate, 32000);
    EXPECT_EQ(kept.info.channels, 2);
    EXPECT_EQ(kept.title, "Morning take");
    EXPECT_EQ(processTo("by-extension.flac").info.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(processTo("by-type.audio", {"--type", "aiff"}).info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_AIFF);
    EXPECT_EQ(processTo("sixteen.wav", {"--format", "16"}).info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(processTo("float.caf", {"-f", "float"}).info.format, SF_FORMAT_CAF | SF_FORMAT_FLOAT);
}

TEST(ProcessCommand, WarnsAboutClippedSamplesUnlessQuiet)
{
    ScratchFolder folder;
    const std::string model = folder.file("half.model");
    const std::string input = folder.file("in.wav");
    const std::string output = folder.file("out.wav");
    runMurelOrFail({"make-model", model, "--kind", "constant", "--mask", "0.5"});
    runMurelOrFail({"make-test-signal", input, "--seconds", "0.2", "--tone", "-3dB"});
    const CommandResult loud = runMurel({"process", input, output, "-m", model, "-g", "Processed=12dB"});
    EXPECT_EQ(loud.status, 0);
    EXPECT_NE(loud.err.find("samples clipped"), std::string::npos) << loud.err;
    EXPECT_EQ(loud.getNumOfErrorLines(), 1u);
    const CommandResult quiet = runMurel({"process", input, output, "-m", model, "-g", "Processed=12dB", "-q"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
}

TEST(ProcessCommand, EmptyAndOneFrameFiles)
{
    ScratchFolder folder;
    const std::string model = folder.file("identity.model");
    runMurelOrFail({"make-model", model, "--kind", "identity"});
    for (const std::size_t numOfFrames : {std::size_t{0}, std::size_t{1}})
    {
        const std::string input = folder.file("in" + std::to_string(numOfFrames) + ".wav");
        const std::string output = folder.file("out" + std::to_string(numOfFrames) + ".wav");
        writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1, 48000, std::vector<float>(numOfFrames, 0.5f));
        runMurelOrFail({"process", input, output, "-m", model});
        const AudioData out = readAudio(output);
        ASSERT_EQ(out.getNumOfFrames(), numOfFrames);
        if (numOfFrames == 1)
        {
            EXPECT_NEAR(out.samples[0], 0.5f, 1e-5f);
        }
    }
}

} // namespace
} // namespace murel::test
