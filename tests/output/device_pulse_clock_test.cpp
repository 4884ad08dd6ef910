// The PulseAudio layer's reading of its stream's clock.
#include <gtest/gtest.h>

#include "output/pulse/device_pulse_clock.h"

namespace {

constexpr uint64_t kBuffer = 5760;

TEST(PulseClock, ATrueClockIsTakenAsItStands) {
    EXPECT_EQ(pulseHeardFrames(0, 0, kBuffer), 0u);
    EXPECT_EQ(pulseHeardFrames(1000, 17280, kBuffer), 1000u);
    EXPECT_EQ(pulseHeardFrames(17280, 17280, kBuffer), 17280u);
    // Just past what was written (the clock's rounding at the end of a run, a tail being played
    // out): still the clock, so that the last buffers come back.
    EXPECT_EQ(pulseHeardFrames(17280 + kBuffer, 17280, kBuffer), 17280 + kBuffer);
}

TEST(PulseClock, AClockFarPastTheWritesKeepsTheSteadyFillUnheard) {
    // A sink that had rendered a second ahead: the writes are the truth, less the fill a server
    // holds in steady play.
    EXPECT_EQ(pulseHeardFrames(245150, 17376, kBuffer), 17376 - 8640);
    EXPECT_EQ(pulseHeardFrames(245150, 234311, kBuffer), 234311 - 8640);
    // Less written than that fill: nothing is heard yet.
    EXPECT_EQ(pulseHeardFrames(245150, 8000, kBuffer), 0u);
    EXPECT_EQ(pulseHeardFrames(245150, 8640, kBuffer), 0u);
}

}  // namespace
