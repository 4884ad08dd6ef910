// The PulseAudio layer's format: the sample format each wave format is handed to the server as, and
// the channel map that puts each channel on the speaker its mask bit names.
#include <gtest/gtest.h>

#include <vector>

#include "output/pulse/device_pulse_format.h"
#include "tests/support/device_harness.h"

namespace {

TEST(PulseFormat, EachDepthIsItsOwnSampleFormatAndTheRecordIsCheckedFirst) {
    struct Case {
        uint16_t bits;
        uint16_t validBits;
        pa_sample_format_t expected;
    };
    const Case cases[] = {
        {8, 8, PA_SAMPLE_U8},      {16, 16, PA_SAMPLE_S16LE}, {24, 24, PA_SAMPLE_S24LE},
        {32, 32, PA_SAMPLE_S32LE}, {32, 24, PA_SAMPLE_S32LE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << "/" << c.validBits);
        WaveFormatExtensible format = makeWaveFormat(2, c.bits, 44100);
        format.Samples.wValidBitsPerSample = c.validBits;
        const auto sampleFormat = pulseSampleFormat(format);
        ASSERT_TRUE(sampleFormat);
        EXPECT_EQ(sampleFormat->format, c.expected);
        EXPECT_EQ(sampleFormat->rate, 44100u);
        EXPECT_EQ(sampleFormat->channels, 2u);
    }
    WaveFormatExtensible torn = makeWaveFormat(2, 16, 48000);
    torn.nBlockAlign = 6;
    EXPECT_FALSE(pulseSampleFormat(torn));
    WaveFormatExtensible many = makeWaveFormat(2, 16, 48000);
    many.nChannels = PA_CHANNELS_MAX + 1;
    many.nBlockAlign = static_cast<uint16_t>(many.nChannels * 2);
    EXPECT_FALSE(pulseSampleFormat(many));
}

TEST(PulseFormat, EachChannelGoesToTheSpeakerOfItsMaskBitAndExtraChannelsAreAuxiliary) {
    const auto positions = [](uint32_t mask, uint8_t channels) {
        const pa_channel_map map = pulseChannelMap(mask, channels);
        return std::vector<pa_channel_position_t>(map.map, map.map + map.channels);
    };
    EXPECT_EQ(positions(0x3F, 6),
              (std::vector{PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
                           PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE,
                           PA_CHANNEL_POSITION_REAR_LEFT, PA_CHANNEL_POSITION_REAR_RIGHT}));
    EXPECT_EQ(positions(0x60F, 6),
              (std::vector{PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
                           PA_CHANNEL_POSITION_FRONT_CENTER, PA_CHANNEL_POSITION_LFE,
                           PA_CHANNEL_POSITION_SIDE_LEFT, PA_CHANNEL_POSITION_SIDE_RIGHT}));
    EXPECT_EQ(positions(0x3, 3),
              (std::vector{PA_CHANNEL_POSITION_FRONT_LEFT, PA_CHANNEL_POSITION_FRONT_RIGHT,
                           PA_CHANNEL_POSITION_AUX0}));
}

}  // namespace
