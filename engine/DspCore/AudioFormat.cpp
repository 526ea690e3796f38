#include "DspCore/AudioFormat.h"

namespace murel
{

namespace
{

struct SpeakerRow
{
    const char* shortName;
    const char* name;
    float x, y, z;
};

constexpr SpeakerRow speakerTable[] = {
    {"N/A", "Undefined", 0.0f, 0.0f, 0.0f},
    {"M", "Mono", 0.0f, 1.0f, 0.0f},
    {"L", "Left", -1.0f, 1.0f, 0.0f},
    {"R", "Right", 1.0f, 1.0f, 0.0f},
    {"C", "Center", 0.0f, 1.0f, 0.0f},
    {"LFE", "Low frequency effects", 0.0f, -1.0f, 0.0f},
    {"LS", "Left surround", -1.0f, -1.0f, 0.0f},
    {"RS", "Right surround", 1.0f, -1.0f, 0.0f},
    {"LC", "Left of center", -0.5f, 1.0f, 0.0f},
    {"RC", "Right of center", 0.5f, 1.0f, 0.0f},
    {"S", "Surround", 0.0f, -1.0f, 0.0f},
    {"SL", "Side left", -1.0f, 0.0f, 0.0f},
    {"SR", "Side right", 1.0f, 0.0f, 0.0f},
    {"TM", "Top middle", 0.0f, 0.0f, 1.0f},
    {"TFL", "Top front left", -1.0f, 1.0f, 1.0f},
    {"TFC", "Top front center", 0.0f, 1.0f, 1.0f},
    {"TFR", "Top front right", 1.0f, 1.0f, 1.0f},
    {"TRL", "Top rear left", -1.0f, -1.0f, 1.0f},
    {"TRC", "Top rear center", 0.0f, -1.0f, 1.0f},
    {"TRR", "Top rear right", 1.0f, -1.0f, 1.0f},
    {"TSL", "Top side left", -1.0f, 0.0f, 1.0f},
    {"TSR", "Top side right", 1.0f, 0.0f, 1.0f},
};

const std::vector<SpeakerId> defaultLayouts[] = {
    {speakerMono},
    {speakerLeft, speakerRight},
    {speakerLeft, speakerRight, speakerCenter},
    {speakerLeft, speakerRight, speakerLeftSurround, speakerRightSurround},
    {speakerLeft, speakerRight, speakerCenter, speakerLeftSurround, speakerRightSurround},
    {speakerLeft, speakerRight, speakerCenter, speakerLfe, speakerLeftSurround, speakerRightSurround},
    {speakerLeft, speakerRight, speakerCenter, speakerLeftSurround, speakerRightSurround, speakerSideLeft,
     speakerSideRight},
    {speakerLeft, speakerRight, speakerCenter, speakerLfe, speakerLeftSurround, speakerRightSurround, speakerSideLeft,
     speakerSideRight},
    {speakerLeft, speakerRight, speakerCenter, speakerLeftSurround, speakerRightSurround, speakerSideLeft,
     speakerSideRight, speakerTopSideLeft, speakerTopSideRight},
    {speakerLeft, speakerRight, speakerCenter, speakerLfe, speakerLeftSurround, speakerRightSurround, speakerSideLeft,
     speakerSideRight, speakerTopSideLeft, speakerTopSideRight},
};

} // namespace

SpeakerDescription::SpeakerDescription(SpeakerId id) : speakerId(id)
{
    const int index = (id >= speakerMono && id <= speakerTopSideRight) ? static_cast<int>(id) : 0;
    const SpeakerRow& row = speakerTable[index];
    x = row.x;
    y = row.y;
    z = row.z;
    frequencyLimit = id == speakerLfe ? 120.0f : -1.0f;
    shortName = row.shortName;
    name = row.name;
}

void AudioFormat::createDefaultChannelMapping(int numOfChannels)
{
    if (numOfChannels < 0)
        numOfChannels = 0;
    const auto count = static_cast<std::size_t>(numOfChannels);
    speakerIds.resize(count, speakerUndefined);
    if (numOfChannels >= 1 && numOfChannels <= 10)
        speakerIds = defaultLayouts[numOfChannels - 1];
    speakers.resize(count);
    for (std::size_t c = 0; c < count; ++c)
        speakers[c] = std::make_shared<SpeakerDescription>(speakerIds[c]);
}

bool AudioFormat::operator==(const AudioFormat& other) const
{
    return sampleRate == other.sampleRate && speakerIds == other.speakerIds;
}

} // namespace murel
