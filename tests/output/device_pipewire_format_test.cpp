// The PipeWire layer's pure parts: which wave formats it hands to the server and as what, where
// each channel plays, and when the frames pulled are taken as heard.
#include <gtest/gtest.h>

#include <vector>

#include "output/pipewire/device_pipewire_format.h"
#include "output/pipewire/device_pipewire_stream.h"
#include "tests/support/device_harness.h"

namespace {

std::vector<uint32_t> positionsOf(const PipewireFormat& format) {
    return {format.positions.begin(), format.positions.begin() + format.channels};
}

TEST(PipewireFormat, EachDepthIsItsOwnSampleFormat) {
    struct Case {
        uint16_t bits;
        uint16_t validBits;
        spa_audio_format expected;
    };
    const Case cases[] = {
        {8, 8, SPA_AUDIO_FORMAT_U8},       {16, 16, SPA_AUDIO_FORMAT_S16_LE},
        {24, 24, SPA_AUDIO_FORMAT_S24_LE}, {32, 32, SPA_AUDIO_FORMAT_S32_LE},
        {32, 24, SPA_AUDIO_FORMAT_S32_LE},
    };
    for (const Case& c : cases) {
        WaveFormatExtensible format = makeWaveFormat(2, c.bits, 48000);
        format.Samples.wValidBitsPerSample = c.validBits;
        const auto result = pipewireFormatOf(format);
        SCOPED_TRACE(testing::Message() << c.bits << "/" << c.validBits);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->sampleFormat, c.expected);
        EXPECT_EQ(result->rateHz, 48000u);
        EXPECT_EQ(result->channels, 2u);
    }
}

TEST(PipewireFormat, RefusesRatesAndChannelCountsOutsideTheServersRange) {
    const WaveFormatExtensible good = makeWaveFormat(2, 16, 768000);
    EXPECT_TRUE(pipewireFormatOf(good));

    WaveFormatExtensible format = good;
    format.nSamplesPerSec = 768001;
    EXPECT_FALSE(pipewireFormatOf(format));
    format.nSamplesPerSec = 0;
    EXPECT_FALSE(pipewireFormatOf(format));

    format = good;
    format.nChannels = SPA_AUDIO_MAX_CHANNELS;
    format.nBlockAlign = static_cast<uint16_t>(SPA_AUDIO_MAX_CHANNELS * 2);
    EXPECT_TRUE(pipewireFormatOf(format));
    format.nChannels = SPA_AUDIO_MAX_CHANNELS + 1;
    format.nBlockAlign = static_cast<uint16_t>((SPA_AUDIO_MAX_CHANNELS + 1) * 2);
    EXPECT_FALSE(pipewireFormatOf(format));

    format = good;
    format.nBlockAlign = 3;  // not a whole frame of 2 × 16 bits
    EXPECT_FALSE(pipewireFormatOf(format));
}

TEST(PipewireFormat, ChannelsTakeTheMasksSpeakersInRisingOrderThenAuxiliaryPositions) {
    struct Case {
        uint32_t mask;
        uint32_t channels;
        std::vector<uint32_t> positions;
        std::vector<uint32_t> speakers;
    };
    const Case cases[] = {
        {0x3F,
         6,
         {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR, SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
          SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR},
         {0x1, 0x2, 0x4, 0x8, 0x10, 0x20}},
        {0x6C0,
         4,
         {SPA_AUDIO_CHANNEL_FLC, SPA_AUDIO_CHANNEL_FRC, SPA_AUDIO_CHANNEL_SL, SPA_AUDIO_CHANNEL_SR},
         {0x40, 0x80, 0x200, 0x400}},
        {0x38900,
         6,
         {SPA_AUDIO_CHANNEL_RC, SPA_AUDIO_CHANNEL_TC, SPA_AUDIO_CHANNEL_TRL, SPA_AUDIO_CHANNEL_TRC,
          SPA_AUDIO_CHANNEL_TRR, SPA_AUDIO_CHANNEL_AUX0},
         {0x100, 0x800, 0x8000, 0x10000, 0x20000, 0}},
        {0x7000,
         3,
         {SPA_AUDIO_CHANNEL_TFL, SPA_AUDIO_CHANNEL_TFC, SPA_AUDIO_CHANNEL_TFR},
         {0x1000, 0x2000, 0x4000}},
        {0x4,
         3,
         {SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_AUX0, SPA_AUDIO_CHANNEL_AUX1},
         {0x4, 0, 0}},
        {0x40000 | 0x1, 2, {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_AUX0}, {0x1, 0}},
        {0, 2, {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR}, {0x1, 0x2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.mask);
        PipewireFormat format;
        format.channels = c.channels;
        mapChannelPositions(c.mask, c.channels, format);
        EXPECT_EQ(positionsOf(format), c.positions);
        EXPECT_EQ(format.speakers, c.speakers);
    }
}

TEST(PipewireFormat, APlainPcmRecordPlaysOnTheFirstSpeakers) {
    WaveFormatExtensible format = makeWaveFormat(2, 16, 44100);
    format.wFormatTag = 1;  // WAVE_FORMAT_PCM: no mask, no valid bits
    format.dwChannelMask = 0x600;
    format.Samples.wValidBitsPerSample = 12;
    const auto result = pipewireFormatOf(format);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->sampleFormat, SPA_AUDIO_FORMAT_S16_LE);
    EXPECT_EQ(result->speakers, (std::vector<uint32_t>{0x1, 0x2}));
}

TEST(PlayMarks, FramesCountAsHeardOnlyOnceTheirTickHasComeAndAFullRingNeverHurries) {
    PlayMarks marks;
    EXPECT_EQ(marks.heardBy(1000), 0u);
    marks.add(100, 50);
    marks.add(200, 80);
    EXPECT_EQ(marks.heardBy(49), 0u);
    EXPECT_EQ(marks.heardBy(50), 100u);
    EXPECT_EQ(marks.heardBy(79), 100u);  // stays heard while the next mark is not yet due
    EXPECT_EQ(marks.heardBy(500), 200u);

    marks.clear();
    EXPECT_EQ(marks.heardBy(500), 0u);
    for (uint64_t k = 1; k <= 100; ++k) {  // far more marks than the ring holds
        marks.add(k * 10, 1000 + k);
    }
    EXPECT_LE(marks.heardBy(1050), 500u);  // no mark is due before its own tick
    EXPECT_EQ(marks.heardBy(1100), 1000u);
}

}  // namespace
