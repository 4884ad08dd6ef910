#include "output/device_alsa_channels.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

struct RouteCase {
    const char* name;
    uint32_t mask;
    unsigned channels;
    std::vector<unsigned> devicePositions;
    std::vector<uint8_t> expectedSlots;
};

class ChannelRouteTest : public testing::TestWithParam<RouteCase> {};

TEST_P(ChannelRouteTest, PlacesEachSystemChannelOnTheDeviceChannelOfItsSpeaker) {
    const RouteCase& c = GetParam();
    const ChannelRoute route = routeChannels(c.mask, c.channels, c.devicePositions);
    ASSERT_EQ(route.channels, c.channels);
    for (unsigned k = 0; k < c.channels; ++k) {
        EXPECT_EQ(route.deviceSlot[k], c.expectedSlots[k]) << "system channel " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ChannelRouteTest,
    testing::Values(
        RouteCase{"StereoWithoutMapIsUnchanged", 0x03, 2, {}, {0, 1}},
        RouteCase{"QuadWithoutMapIsUnchanged", 0x33, 4, {}, {0, 1, 2, 3}},
        RouteCase{"FivePointOneWithoutMapMovesTheBackPairBeforeTheCentre",
                  0x3F,
                  6,
                  {},
                  {0, 1, 4, 5, 2, 3}},
        RouteCase{"SevenPointOneWithoutMapPutsTheCentrePairOnTheSidePair",
                  0xFF,
                  8,
                  {},
                  {0, 1, 4, 5, 2, 3, 6, 7}},
        RouteCase{
            "FivePointOneOnASideSpeakerDeviceUsesTheSidePair",
            0x3F,
            6,
            {SND_CHMAP_FL, SND_CHMAP_FR, SND_CHMAP_FC, SND_CHMAP_LFE, SND_CHMAP_SL, SND_CHMAP_SR},
            {0, 1, 2, 3, 4, 5}},
        RouteCase{"SevenPointOneOnADeviceWithCentrePairKeepsItsOwnSpeakers",
                  0xFF,
                  8,
                  {SND_CHMAP_FL, SND_CHMAP_FR, SND_CHMAP_RL, SND_CHMAP_RR, SND_CHMAP_FLC,
                   SND_CHMAP_FRC, SND_CHMAP_FC, SND_CHMAP_LFE},
                  {0, 1, 6, 7, 2, 3, 4, 5}},
        // Fallback speakers, on side pairs stated in reverse so that filling in order differs.
        RouteCase{
            "FivePointOneBackPairFallsBackOnTheSideSpeakerOfItsSide",
            0x3F,
            6,
            {SND_CHMAP_FL, SND_CHMAP_FR, SND_CHMAP_FC, SND_CHMAP_LFE, SND_CHMAP_SR, SND_CHMAP_SL},
            {0, 1, 2, 3, 5, 4}},
        RouteCase{"SevenPointOneCentrePairFallsBackOnTheSideSpeakerOfItsSide",
                  0xFF,
                  8,
                  {SND_CHMAP_FL, SND_CHMAP_FR, SND_CHMAP_RL, SND_CHMAP_RR, SND_CHMAP_FC,
                   SND_CHMAP_LFE, SND_CHMAP_SR, SND_CHMAP_SL},
                  {0, 1, 4, 5, 2, 3, 7, 6}},
        RouteCase{"StereoOnASwappedDeviceIsSwapped", 0x03, 2, {SND_CHMAP_FR, SND_CHMAP_FL}, {1, 0}},
        RouteCase{"UnknownPositionsKeepTheSystemOrder",
                  0x3F,
                  6,
                  std::vector<unsigned>(6, SND_CHMAP_UNKNOWN),
                  {0, 1, 2, 3, 4, 5}},
        RouteCase{"AMapOfAnotherWidthCountsAsNoMap",
                  0x3F,
                  6,
                  {SND_CHMAP_FL, SND_CHMAP_FR},
                  {0, 1, 4, 5, 2, 3}}),
    [](const testing::TestParamInfo<RouteCase>& info) { return info.param.name; });

TEST(ChannelCopyTest, MovesWholeSamplesIntoTheDeviceOrder) {
    // Two frames of 24-bit 5.1; every byte names its frame, channel and place in the sample.
    const ChannelRoute route = routeChannels(0x3F, 6, {});
    std::vector<char> src;
    for (int frame = 0; frame < 2; ++frame) {
        for (int channel = 0; channel < 6; ++channel) {
            for (int byte = 0; byte < 3; ++byte) {
                src.push_back(static_cast<char>(frame * 100 + channel * 10 + byte));
            }
        }
    }
    std::vector<char> dst(src.size());
    copyFrames(route, 3, src.data(), dst.data(), 2);

    const int deviceOrder[6] = {0, 1, 4, 5, 2, 3};  // device slot j plays system channel
    for (int frame = 0; frame < 2; ++frame) {
        for (int slot = 0; slot < 6; ++slot) {
            for (int byte = 0; byte < 3; ++byte) {
                EXPECT_EQ(dst[(frame * 6 + slot) * 3 + byte],
                          static_cast<char>(frame * 100 + deviceOrder[slot] * 10 + byte));
            }
        }
    }
}

}  // namespace
