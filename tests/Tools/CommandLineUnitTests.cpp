#include "AudioFile.h"
#include "BusSettings.h"
#include "CommandSupport.h"
#include "DemoContent.h"
#include "Failure.h"
#include "ManPage.h"
#include "ProgressBar.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>

namespace murel::cli
{
namespace
{

TEST(BusSettings, OptionsBecomeTheLibrarysMixSettings)
{
    BusRequests requests;
    requests.gains = {"Voice=0.5"};
    requests.sensitivities = {"Drums=40"};
    requests.solo = "Drums";
    EXPECT_EQ(
        makeMixSettings(requests, "-12dB", true),
        (std::vector<std::string>{"gain=Voice=0.5", "sensitivity=Drums=40", "solo=Drums", "residual=-12dB", "stems"}));
    EXPECT_EQ(makeMixSettings({}, "", false), std::vector<std::string>{});
    // A stem is its bus alone at the gain --gain gives it, whatever --solo and --residual say.
    EXPECT_EQ(makeStemMixSettings(requests, 2),
              (std::vector<std::string>{"gain=Voice=0.5", "sensitivity=Drums=40", "solo=2", "stems"}));
}

TEST(OutputFormat, KeepsTheInputsUnlessToldOtherwiseAndIsDescribed)
{
    const SF_INFO wav16 = test::makeInfo(SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    const SF_INFO wavFloat = test::makeInfo(SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    const SF_INFO flac24 = test::makeInfo(SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(chooseOutputFormat(wav16, "out.wav", {}), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(chooseOutputFormat(wav16, "out", {}), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(chooseOutputFormat(wav16, "dir.flac/out", {}), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(chooseOutputFormat(flac24, "out.unknown", {}), SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    // The extension names the container; the sample type stays where it fits.
    EXPECT_EQ(chooseOutputFormat(wav16, "out.FLAC", {}), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    EXPECT_EQ(chooseOutputFormat(wavFloat, "out.flac", {}), SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    EXPECT_EQ(chooseOutputFormat(flac24, "out.wav", {}), SF_FORMAT_WAV | SF_FORMAT_PCM_24);
    EXPECT_EQ(chooseOutputFormat(wav16, "out.ogg", {}), SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    EXPECT_EQ(chooseOutputFormat(test::makeInfo(SF_FORMAT_OGG | SF_FORMAT_VORBIS), "out.wav", {}),
              SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    // Options win over the extension.
    EXPECT_EQ(chooseOutputFormat(wav16, "out.flac", {"wav", ""}), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(chooseOutputFormat(wav16, "out.wav", {"", "float"}), SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    EXPECT_EQ(chooseOutputFormat(wav16, "out.wav", {"", "8"}), SF_FORMAT_WAV | SF_FORMAT_PCM_U8);
    EXPECT_EQ(chooseOutputFormat(wav16, "out.aiff", {"", "8"}), SF_FORMAT_AIFF | SF_FORMAT_PCM_S8);
    EXPECT_THROW(chooseOutputFormat(wav16, "out.wav", {"mp4", ""}), UsageFailure);
    EXPECT_THROW(chooseOutputFormat(wav16, "out.wav", {"", "12"}), UsageFailure);
    EXPECT_THROW(chooseOutputFormat(wav16, "out.flac", {"", "float"}), UsageFailure);

    EXPECT_EQ(describeFormat(SF_FORMAT_WAV | SF_FORMAT_PCM_16), "WAV, 16-bit integer");
    EXPECT_EQ(describeFormat(SF_FORMAT_FLAC | SF_FORMAT_PCM_24), "FLAC, 24-bit integer");
    EXPECT_EQ(describeFormat(SF_FORMAT_OGG | SF_FORMAT_VORBIS), "Ogg, Vorbis");
    EXPECT_EQ(getFileExtension(SF_FORMAT_WAV | SF_FORMAT_FLOAT), "wav");
    EXPECT_EQ(getFileExtension(SF_FORMAT_OGG | SF_FORMAT_OPUS), "opus");
    EXPECT_EQ(getFileExtension(SF_FORMAT_AIFF | SF_FORMAT_PCM_16), "aiff");
}

TEST(StemFileNames, SafeAndUnique)
{
    EXPECT_EQ(makeStemFileNames({"Voice", "Drums", "Residual"}, "wav"),
              (std::vector<std::string>{"Voice.wav", "Drums.wav", "Residual.wav"}));
    EXPECT_EQ(makeStemFileNames({"Processed", "Processed", "", "a/b", ".hidden", "Residual"}, "flac"),
              (std::vector<std::string>{"Processed-0.flac", "Processed-1.flac", "bus2.flac", "a_b.flac", "_hidden.flac",
                                        "Residual.flac"}));
}

TEST(ProgressBar, FitsTheLineAndStaysQuietWhenDisabled)
{
    std::ostringstream stream;
    ProgressBar bar(stream, true, 60);
    bar.start("a-rather-long-recording-name-that-does-not-fit.wav", 480000, 48000.0);
    const std::string half = bar.formatLine(240000, 2.0);
    EXPECT_LE(half.size(), 59u);
    EXPECT_NE(half.find(" 50%  0:05 / 0:10  eta 0:02"), std::string::npos) << half;
    EXPECT_NE(half.find("[#"), std::string::npos) << half;
    const std::string unknown = bar.formatLine(96000, 1.0);
    EXPECT_NE(unknown.find("%"), std::string::npos);
    bar.update(1000);
    bar.finish();
    EXPECT_EQ(stream.str().front(), '\r');
    EXPECT_EQ(stream.str().back(), '\r');

    std::ostringstream silent;
    ProgressBar off(silent, false);
    off.start("x", -1, 48000.0);
    off.update(100);
    off.finish();
    EXPECT_EQ(silent.str(), "");
}

TEST(ManPage, FillsParagraphsAndListItems)
{
    const std::string text = wrapText("one two three four five six seven eight nine ten\n"
                                      "\n"
                                      "\tterm\tfirst second third fourth fifth\n"
                                      "  kept   as   it is",
                                      4, 24);
    EXPECT_EQ(text, "    one two three four\n"
                    "    five six seven eight\n"
                    "    nine ten\n"
                    "\n"
                    "    term      first\n"
                    "              second\n"
                    "              third\n"
                    "              fourth\n"
                    "              fifth\n"
                    "      kept   as   it is\n");
}

TEST(DemoContent, TestSignalLevelsAndDeterminism)
{
    TestSignalSettings settings;
    settings.seconds = 2.0;
    settings.numOfChannels = 1;
    settings.toneDecibels = -HUGE_VAL;
    settings.noiseDecibels = -30.0;
    const std::vector<float> noise = makeTestSignal(settings);
    ASSERT_EQ(noise.size(), 96000u);
    EXPECT_NEAR(20.0 * std::log10(test::getRms(noise)), -30.0, 0.1);
    EXPECT_EQ(makeTestSignal(settings), noise);
    settings.seed = 2;
    EXPECT_NE(makeTestSignal(settings), noise);

    // Tones alone: three tones of -12 dB peak never exceed three times that level.
    settings.noiseDecibels = -HUGE_VAL;
    settings.toneDecibels = -12.0;
    float peak = 0.0f;
    for (const float value : makeTestSignal(settings))
        peak = std::max(peak, std::fabs(value));
    EXPECT_GT(peak, 0.4f);
    EXPECT_LE(peak, 3.0f * std::pow(10.0f, -12.0f / 20.0f));
}

TEST(DemoContent, ModelSettingsAreChecked)
{
    DemoModelSettings settings;
    EXPECT_NO_THROW(makeDemoModel(settings));
    for (const auto& change :
         std::vector<std::function<void(DemoModelSettings&)>>{
             [](DemoModelSettings& s) { s.kind = "reverb"; }, [](DemoModelSettings& s) { s.fftSize = 1000; },
             [](DemoModelSettings& s) { s.windowSize = 2048; }, [](DemoModelSettings& s) { s.hopSize = 600; },
             [](DemoModelSettings& s) { s.numOfChannels = 0; }, [](DemoModelSettings& s) { s.delay = 200; },
             [](DemoModelSettings& s) { s.busName = "Noise"; }, [](DemoModelSettings& s) { s.sampleRate = 0.0; },
             [](DemoModelSettings& s)
             {
                 s.kind = "constant";
                 s.maskValue = 1.5;
             }})
    {
        DemoModelSettings bad;
        change(bad);
        EXPECT_THROW(makeDemoModel(bad), UsageFailure);
    }
}

} // namespace
} // namespace murel::cli
