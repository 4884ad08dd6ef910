// Which wave formats the output layers hand on as plain integer samples.
#include <gtest/gtest.h>

#include "output/pcm_format.h"
#include "tests/support/device_harness.h"

namespace {

TEST(PcmFormat, EachDepthWithAllItsBitsValidOr24InA32BitContainer) {
    struct Case {
        uint16_t bits;
        uint16_t validBits;  // 0: not stated
        bool plays;
    };
    const Case cases[] = {
        {8, 8, true},    {16, 16, true},  {24, 24, true}, {32, 32, true},  {32, 0, true},
        {32, 24, true},  {32, 20, false}, {16, 8, false}, {24, 16, false}, {32, 40, false},
        {12, 12, false}, {40, 40, false}, {0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << "/" << c.validBits);
        WaveFormatExtensible format = makeWaveFormat(2, c.bits, 48000);
        format.Samples.wValidBitsPerSample = c.validBits;
        EXPECT_EQ(pcmContainerBits(format),
                  c.plays ? std::optional<uint16_t>(c.bits) : std::nullopt);
    }
}

TEST(PcmFormat, OnlyIntegerPcmInAWholeRecordWithWholeFrames) {
    const WaveFormatExtensible good = makeWaveFormat(2, 16, 48000);
    ASSERT_EQ(pcmContainerBits(good), 16);

    WaveFormatExtensible plain = good;
    plain.wFormatTag = kWaveFormatPcm;
    plain.cbSize = 0;
    plain.Samples.wValidBitsPerSample = 12;  // not part of the plain record
    EXPECT_EQ(pcmContainerBits(plain), 16);

    WaveFormatExtensible format = good;
    format.wFormatTag = 3;  // WAVE_FORMAT_IEEE_FLOAT
    EXPECT_FALSE(pcmContainerBits(format));
    format = good;
    format.SubFormat.Data1 = 3;  // the float subtype
    EXPECT_FALSE(pcmContainerBits(format));
    format = good;
    format.cbSize = kExtensibleExtraBytes - 1;  // the extension cut short
    EXPECT_FALSE(pcmContainerBits(format));
    format = good;
    format.nBlockAlign = 6;  // not one container a channel
    EXPECT_FALSE(pcmContainerBits(format));
    format = good;
    format.nChannels = 0;
    format.nBlockAlign = 0;
    EXPECT_FALSE(pcmContainerBits(format));
    format = good;
    format.nSamplesPerSec = 0;
    EXPECT_FALSE(pcmContainerBits(format));
}

}  // namespace
