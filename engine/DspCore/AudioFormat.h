#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DspCore/Export.h"

namespace murel
{

/** Loudspeaker positions; 0 and values above 21 are undefined. */
enum SpeakerId : int32_t
{
    speakerUndefined = 0,
    speakerMono = 1,
    speakerLeft = 2,
    speakerRight = 3,
    speakerCenter = 4,
    speakerLfe = 5,
    speakerLeftSurround = 6,
    speakerRightSurround = 7,
    speakerLeftOfCenter = 8,
    speakerRightOfCenter = 9,
    speakerSurround = 10,
    speakerSideLeft = 11,
    speakerSideRight = 12,
    speakerTopMiddle = 13,
    speakerTopFrontLeft = 14,
    speakerTopFrontCenter = 15,
    speakerTopFrontRight = 16,
    speakerTopRearLeft = 17,
    speakerTopRearCenter = 18,
    speakerTopRearRight = 19,
    speakerTopSideLeft = 20,
    speakerTopSideRight = 21,
};

/** Position and names of one speaker. x: -1 left .. +1 right; y: -1 rear .. +1 front; z: 0 ear
    level, +1 top. frequencyLimit is 120 Hz for LFE, -1 otherwise. */
struct MUREL_EXPORT SpeakerDescription
{
    explicit SpeakerDescription(SpeakerId id);

    SpeakerId speakerId = speakerUndefined;
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float frequencyLimit = -1.0f;
    std::string shortName;
    std::string name;
};

/** Sample rate and channel layout of a stream; the channel count is the number of speakers. */
class MUREL_EXPORT AudioFormat
{
public:
    /** Sets the layout for numOfChannels channels: the default layouts for 1 to 10 channels,
        undefined speakers otherwise. The sample rate is not touched. */
    void createDefaultChannelMapping(int numOfChannels);

    int getNumOfChannels() const { return static_cast<int>(speakerIds.size()); }
    double getSampleRate() const { return sampleRate; }
    void setSampleRate(double rate) { sampleRate = rate; }

    /** Equal rates and equal speaker ids; descriptions are not compared. */
    bool operator==(const AudioFormat& other) const;
    bool operator!=(const AudioFormat& other) const { return !(*this == other); }

    std::vector<SpeakerId> speakerIds;
    std::vector<std::shared_ptr<SpeakerDescription>> speakers;
    double sampleRate = 0.0;
};

} // namespace murel
