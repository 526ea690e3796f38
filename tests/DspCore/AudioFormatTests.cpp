#include <gtest/gtest.h>

#include "DspCore/AudioFormat.h"

using namespace murel;

TEST(AudioFormat, DefaultLayouts)
{
    AudioFormat stereo;
    stereo.createDefaultChannelMapping(2);
    ASSERT_EQ(stereo.getNumOfChannels(), 2);
    EXPECT_EQ(stereo.speakerIds[0], speakerLeft);
    EXPECT_EQ(stereo.speakers[1]->shortName, "R");
    EXPECT_EQ(stereo.speakers[0]->x, -1.0f);
    EXPECT_EQ(stereo.sampleRate, 0.0);

    AudioFormat surround;
    surround.createDefaultChannelMapping(6);
    EXPECT_EQ(surround.speakerIds[3], speakerLfe);
    EXPECT_EQ(surround.speakers[3]->frequencyLimit, 120.0f);
    EXPECT_EQ(surround.speakers[3]->name, "Low frequency effects");
    EXPECT_EQ(surround.speakers[4]->frequencyLimit, -1.0f);

    AudioFormat tenChannels;
    tenChannels.createDefaultChannelMapping(10);
    EXPECT_EQ(tenChannels.speakers[9]->shortName, "TSR");
    EXPECT_EQ(tenChannels.speakers[9]->z, 1.0f);

    AudioFormat many;
    many.createDefaultChannelMapping(12);
    ASSERT_EQ(many.getNumOfChannels(), 12);
    for (const auto& speaker : many.speakers)
        EXPECT_EQ(speaker->name, "Undefined");

    AudioFormat none;
    none.createDefaultChannelMapping(0);
    EXPECT_EQ(none.getNumOfChannels(), 0);
}

TEST(AudioFormat, EqualityComparesRateAndSpeakerIdsOnly)
{
    AudioFormat a, b;
    a.createDefaultChannelMapping(2);
    b.createDefaultChannelMapping(2);
    a.sampleRate = b.sampleRate = 48000.0;
    EXPECT_EQ(a, b);
    b.speakers[0]->name = "changed";
    EXPECT_EQ(a, b);
    b.sampleRate = 44100.0;
    EXPECT_NE(a, b);
    b.sampleRate = 48000.0;
    b.createDefaultChannelMapping(3);
    EXPECT_NE(a, b);

    AudioFormat copy = a;
    EXPECT_EQ(copy.speakers[0], a.speakers[0]) << "descriptions are shared, not duplicated";
}

TEST(AudioFormat, UnknownSpeakerIdsGetTheUndefinedDescription)
{
    SpeakerDescription unknown(static_cast<SpeakerId>(99));
    EXPECT_EQ(unknown.shortName, "N/A");
    EXPECT_EQ(unknown.speakerId, 99);
}
