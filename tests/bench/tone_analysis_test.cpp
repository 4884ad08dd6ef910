// The measures behind the playback probe: the moment a recorded tone changes pitch, and the
// dropouts in a recorded tone, on synthetic recordings whose answers are known.
#include "bench/tone_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <vector>

namespace {

constexpr double kRateHz = 48000.0;

// A sine of amplitude 0.7 at `fromHz` that turns, keeping its phase, into `toHz` at sample
// `changeAt` (a fractional position), with 16-bit quantisation as a recording has it.
std::vector<double> toneChanging(double fromHz, double toHz, double changeAt, size_t length,
                                 double startPhase = 0.3) {
    std::vector<double> out(length);
    for (size_t i = 0; i < length; ++i) {
        const double t = static_cast<double>(i);
        const double turns = t <= changeAt ? fromHz * t / kRateHz
                                           : (fromHz * changeAt + toHz * (t - changeAt)) / kRateHz;
        const double x = 0.7 * std::sin(2.0 * std::numbers::pi * turns + startPhase);
        out[i] = std::round(x * 32767.0) / 32768.0;
    }
    return out;
}

struct ChangeCase {
    double fromHz;
    double toHz;
    double changeAt;
};

TEST(ToneAnalysis, PitchChangeIsPlacedWithinASampleWhereverItFallsInTheCycle) {
    // 440 Hz has a period of 109.09 samples: changes right after a rising crossing (the tone
    // starts 0.3 rad past one), in mid-cycle and just before the next crossing, both ways.
    const std::vector<ChangeCase> cases = {
        {440.0, 1000.0, 1000.0}, {440.0, 1000.0, 1050.5},  {440.0, 1000.0, 1090.0},
        {440.0, 1000.0, 1107.0}, {1000.0, 440.0, 1000.0},  {1000.0, 440.0, 1021.7},
        {1000.0, 440.0, 1040.0}, {440.0, 1000.0, 4321.25},
    };
    for (const ChangeCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fromHz << " to " << c.toHz << " Hz at " << c.changeAt);
        const std::vector<double> signal = toneChanging(c.fromHz, c.toHz, c.changeAt, 6000);
        const std::optional<double> found =
            bench::pitchChangeAt(signal, kRateHz / c.fromHz, kRateHz / c.toHz);
        ASSERT_TRUE(found.has_value());
        EXPECT_NEAR(*found, c.changeAt, 1.0);
    }
}

TEST(ToneAnalysis, NoChangeIsReportedWithoutAnOldCycleBeforeItOrANewOneAfterIt) {
    const double oldPeriod = kRateHz / 440.0;
    const double newPeriod = kRateHz / 1000.0;
    EXPECT_FALSE(bench::pitchChangeAt(toneChanging(440.0, 440.0, 0.0, 4800), oldPeriod, newPeriod));
    // Only the new tone: nothing shows where it began.
    EXPECT_FALSE(
        bench::pitchChangeAt(toneChanging(1000.0, 1000.0, 0.0, 4800), oldPeriod, newPeriod));
    // The change in the last cycle: too few new cycles after it to be sure.
    EXPECT_FALSE(
        bench::pitchChangeAt(toneChanging(440.0, 1000.0, 4700.0, 4800), oldPeriod, newPeriod));
}

TEST(ToneAnalysis, AGapInTheOldToneIsNotTakenForTheChange) {
    std::vector<double> signal = toneChanging(440.0, 1000.0, 3000.0, 6000);
    std::fill(signal.begin() + 1000, signal.begin() + 1500, 0.0);
    const std::optional<double> found =
        bench::pitchChangeAt(signal, kRateHz / 440.0, kRateHz / 1000.0);
    ASSERT_TRUE(found.has_value());
    EXPECT_NEAR(*found, 3000.0, 1.0);
}

TEST(ToneAnalysis, EachGapIsOneDropoutAndTheLongestIsMeasuredInWholeWindows) {
    std::vector<double> signal = toneChanging(440.0, 440.0, 0.0, 48000);
    EXPECT_EQ(bench::findDropouts(signal, 240, 0.25).count, 0u);

    std::fill(signal.begin() + 4800, signal.begin() + 4800 + 960, 0.0);     // 4 windows
    std::fill(signal.begin() + 24000, signal.begin() + 24000 + 2400, 0.0);  // 10 windows
    const bench::Dropouts found = bench::findDropouts(signal, 240, 0.25);
    EXPECT_EQ(found.count, 2u);
    EXPECT_EQ(found.longestFrames, 2400u);
}

}  // namespace
