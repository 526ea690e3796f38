#include "ToolTestSupport.h"

#include <cmath>

namespace murel::test
{
namespace
{

// An identity model gives the input back: same file type, sample type, channels, rate and length,
// aligned sample for sample whatever the network's own delay and the frame scaling at the file's rate.
TEST(ProcessCommand, IdentityModelGivesTheInputBackAligned)
{
    const struct
    {
        const char* extension;
        const char* sampleFormat;
        int numOfChannels;
        int sampleRate;
        int delay;
        /** Largest difference allowed: float rounding, or half a step of the integer format. */
        double tolerance;
        int expectedSubtype;
    } cases[] = {{"wav", "16", 1, 22050, 0, 1.0 / 32768, SF_FORMAT_PCM_16},
                 {"wav", "16", 2, 44100, 3, 1.0 / 32768, SF_FORMAT_PCM_16},
                 {"wav", "float", 1, 96000, 3, 1e-5, SF_FORMAT_FLOAT},
                 {"wav", "float", 2, 48000, 0, 1e-5, SF_FORMAT_FLOAT},
                 {"flac", "16", 1, 22050, 3, 1.0 / 32768, SF_FORMAT_PCM_16},
                 {"flac", "16", 2, 96000, 0, 1.0 / 32768, SF_FORMAT_PCM_16},
                 {"flac", "24", 2, 48000, 3, 1.0 / 8388608 + 1e-6, SF_FORMAT_PCM_24}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.extension) + " " + c.sampleFormat + ", " + std::to_string(c.numOfChannels) +
                     " channels at " + std::to_string(c.sampleRate) + " Hz, delay " + std::to_string(c.delay));
        ScratchFolder folder;
        const std::string model = folder.file("identity.model");
        const std::string input = folder.file(std::string("in.") + c.extension);
        const std::string output = folder.file(std::string("out.") + c.extension);
        const std::string channels = std::to_string(c.numOfChannels);
        runMurelOrFail(
            {"make-model", model, "--kind", "identity", "--channels", channels, "--delay", std::to_string(c.delay)});
        runMurelOrFail({"make-test-signal", input, "--seconds", "0.7", "--rate", std::to_string(c.sampleRate),
                        "--channels", channels, "--format", c.sampleFormat});
        runMurelOrFail({"process", input, output, "--model", model, "--block", "1000", "--residual", "1"});

        const AudioData in = readAudio(input);
        const AudioData out = readAudio(output);
        EXPECT_EQ(out.info.format, in.info.format);
        EXPECT_EQ(out.info.format & SF_FORMAT_SUBMASK, c.expectedSubtype);
        EXPECT_EQ(out.info.channels, c.numOfChannels);
        EXPECT_EQ(out.info.samplerate, c.sampleRate);
        ASSERT_EQ(out.getNumOfFrames(), in.getNumOfFrames());
        EXPECT_GT(getRms(in.samples), 0.05);
        EXPECT_LE(getMaxDeviation(out.samples, in.samples), c.tolerance);
    }
}

TEST(ProcessCommand, OutputDoesNotDependOnTheBlockSize)
{
    ScratchFolder folder;
    const std::string model = folder.file("gate.model");
    const std::string input = folder.file("in.wav");
    runMurelOrFail({"make-model", model, "--delay", "2"});
    runMurelOrFail({"make-test-signal", input, "--seconds", "0.3", "--format", "float"});
    std::vector<std::vector<float>> outputs;
    for (const char* blockSize : {"1", "777", "65536"})
    {
        const std::string output = folder.file(std::string("out") + blockSize + ".wav");
        runMurelOrFail({"process", input, output, "-m", model, "-g", "Noise=0", "--block", blockSize});
        outputs.push_back(readAudio(output).samples);
    }
    EXPECT_EQ(outputs[0], outputs[1]);
    EXPECT_EQ(outputs[0], outputs[2]);
}

TEST(ProcessCommand, MonoModelsOnAStereoFile)
{
    ScratchFolder folder;
    const std::string input = folder.file("in.wav");
    runMurelOrFail({"make-model", folder.file("gate.model")});
    runMurelOrFail({"make-model", folder.file("identity.model"), "--kind", "identity"});
    runMurelOrFail({"make-test-signal", input, "--seconds", "0.5", "--channels", "2", "--format", "float"});
    // A masking model keeps every channel: at unit gains the buses add up to the input.
    runMurelOrFail(
        {"process", input, folder.file("out.wav"), "-m", folder.file("gate.model"), "--residual", "1", "-y"});
    EXPECT_LE(getMaxDeviation(readAudio(folder.file("out.wav")).samples, readAudio(input).samples), 1e-5);
    // A spectra model's buses are the same in every channel, which deserves a warning.
    const CommandResult result =
        runMurel({"process", input, folder.file("out.wav"), "-m", folder.file("identity.model"), "-y"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("outputs spectra for 1 channel: its buses are the same in all 2 channels"),
              std::string::npos)
        << result.err;
}

TEST(ProcessCommand, DemoGateRemovesMostOfTheNoise)
{
    ScratchFolder folder;
    const std::string clean = folder.file("tones.wav");
    const std::string noisy = folder.file("noisy.wav");
    runMurelOrFail({"make-model", folder.file("gate.model")});
    runMurelOrFail({"make-test-signal", clean, "--seconds", "2", "--noise", "-inf", "--format", "float"});
    runMurelOrFail({"make-test-signal", noisy, "--seconds", "2", "--format", "float"});
    runMurelOrFail({"process", noisy, folder.file("out.wav"), "-m", folder.file("gate.model"), "--gain", "Noise=0"});

    const std::vector<float> tones = readAudio(clean).samples;
    const auto noiseLevel = [&tones](const std::vector<float>& samples)
    {
        std::vector<float> noise(samples.size());
        for (std::size_t i = 0; i < samples.size() && i < tones.size(); ++i)
            noise[i] = samples[i] - tones[i];
        return getRms(noise);
    };
    const std::vector<float> after = readAudio(folder.file("out.wav")).samples;
    ASSERT_EQ(after.size(), tones.size());
    const double improvement = 20.0 * std::log10(noiseLevel(readAudio(noisy).samples) / noiseLevel(after));
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

    /** Processes into the files given before the two models and the options after them. */
    void process(std::vector<std::string> outputs, const std::vector<std::string>& options)
    {
        outputs.insert(outputs.begin(), {"process", input});
        outputs.insert(outputs.end(), {"-m", voiceModel, "-m", drumsModel, "-y"});
        outputs.insert(outputs.end(), options.begin(), options.end());
        runMurelOrFail(outputs);
    }

    /** Largest deviation of the file from factor x the input. */
    double getDeviation(const std::string& path, double factor) const
    {
        return getMaxDeviation(readAudio(path).samples, in.samples, factor);
    }

    ScratchFolder folder;
    const std::string voiceModel = folder.file("voice.model");
    const std::string drumsModel = folder.file("drums.model");
    const std::string input = folder.file("in.wav");
    const std::string output = folder.file("out.wav");
    const std::string stems = folder.file("stems");
    AudioData in;
};

TEST_F(SeparatorTest, SoloGainsAndSensitivitiesByBusNameOrIndex)
{
    // The engine's sensitivity curve for a mask magnitude m at sensitivity 100:
    // m * (0.5 - 0.5 cos(pi m))^(e - 1), e = exp(100 * 0.0075).
    const double shaped = 0.25 * std::pow(0.5 - 0.5 * std::cos(3.14159265358979 * 0.25), std::exp(0.75) - 1.0);
    const struct
    {
        std::vector<std::string> options;
        double factor;
    } cases[] = {
        {{"--solo", "Voice"}, 0.25},
        {{"--solo", "drums"}, 0.5},
        {{"--solo", "2"}, 0.25},
        {{"--gain", "Residual=0"}, 0.75},
        {{"-g", "Voice=-6dB", "--solo", "Voice"}, 0.25 * std::pow(10.0, -6.0 / 20.0)},
        {{"-g", "0=2", "-g", "1=0", "-g", "Residual=-inf dB"}, 0.5},
        {{"--solo", "Voice", "--sensitivity", "Voice=100"}, shaped},
        // Another bus's sensitivity leaves the soloed bus alone.
        {{"--solo", "Voice", "-s", "1=100"}, 0.25},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.options[0] + " " + c.options[1]);
        process({output}, c.options);
        EXPECT_LE(getDeviation(output, c.factor), 1e-5);
    }
}

TEST_F(SeparatorTest, StemsHoldEveryBusAloneAndAddUpToTheInput)
{
    process({"--stems", stems}, {"--type", "flac"});
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
    // Each stem is its bus at the gain the mix gives it; a solo chooses the mix and leaves the stems whole.
    const struct
    {
        std::vector<std::string> options;
        double mix, voice, drums, residual;
    } cases[] = {{{"--gain", "Drums=0", "-g", "Voice=0.5"}, 0.125 + 0.25, 0.125, 0.0, 0.25},
                 {{"--solo", "Drums"}, 0.5, 0.25, 0.5, 0.25}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.options[0]);
        process({output, "--stems", stems}, c.options);
        EXPECT_LE(getDeviation(output, c.mix), 1e-5);
        EXPECT_LE(getDeviation(stems + "/Voice.wav", c.voice), 1e-5);
        EXPECT_LE(getDeviation(stems + "/Drums.wav", c.drums), 1e-5);
        EXPECT_LE(getDeviation(stems + "/Residual.wav", c.residual), 1e-5);
    }
}

TEST(ProcessCommand, KeepsOrConvertsTheFileFormat)
{
    ScratchFolder folder;
    const std::string model = folder.file("gate.model");
    const std::string input = folder.file("in.wav");
    runMurelOrFail({"make-model", model});
    std::vector<float> samples(4800);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.25f * std::sin(0.05f * float(i));
    writeAudio(input, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, 32000, samples, "Morning take");

    runMurelOrFail({"process", input, folder.file("kept.wav"), "-m", model});
    const AudioData kept = readAudio(folder.file("kept.wav"));
    EXPECT_EQ(kept.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_EQ(kept.info.samplerate, 32000);
    EXPECT_EQ(kept.info.channels, 2);
    EXPECT_EQ(kept.title, "Morning take");
    // The choice itself is checked in OutputFormat; here the options only need to reach it.
    runMurelOrFail({"process", input, folder.file("float.audio"), "-m", model, "--type", "caf", "-f", "float"});
    EXPECT_EQ(readAudio(folder.file("float.audio")).info.format, SF_FORMAT_CAF | SF_FORMAT_FLOAT);
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
    const CommandResult quiet = runMurel({"process", input, output, "-m", model, "-g", "Processed=12dB", "-q", "-y"});
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
        runMurelOrFail({"process", input, output, "-m", model, "--residual", "1"});
        EXPECT_LE(getMaxDeviation(readAudio(output).samples, std::vector<float>(numOfFrames, 0.5f)), 1e-5);
    }
}

} // namespace
} // namespace murel::test
