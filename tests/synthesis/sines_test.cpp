// Behaviour of the tone source: the known samples, muting, the phase wrap, holding and resuming,
// tone-count changes and their refusal, and the peak bound.
#include "synthesis/sines.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/synthesis/sample_rate_guard.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::vector<double> play(M_Sines& sines, int frames) {
    std::vector<double> out;
    for (int i = 0; i < frames; ++i) {
        sines.process();
        out.push_back(sines.outputValue(0));
    }
    return out;
}

struct WorkedCase {
    std::string name;
    int32_t tones;
    double hz;
    int32_t rate;
    std::vector<double> expected;
    bool silent = false;  // Then the phases stay at 0.0 as well.
};

void PrintTo(const WorkedCase& c, std::ostream* os) {
    *os << c.name;
}

class SinesWorkedValues : public testing::TestWithParam<WorkedCase> {};

TEST_P(SinesWorkedValues, FirstSamplesMatchTheKnownValues) {
    const WorkedCase& c = GetParam();
    SampleRateGuard rate(c.rate);
    M_Sines sines(c.tones);
    sines.setInputValue(0, c.hz);
    sines.setInputValue(1, 1.0);
    const std::vector<double> out = play(sines, static_cast<int>(c.expected.size()));
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_NEAR(out[i], c.expected[i], 1e-7) << "sample " << i;
    }
    if (c.silent) {
        EXPECT_EQ(sines.phases, std::vector<double>(static_cast<size_t>(c.tones), 0.0));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sines, SinesWorkedValues,
    testing::Values(
        WorkedCase{"ZeroFrequencyOfANewModuleIsSilent", 1, 0.0, 44100, {0.0, 0.0, 0.0, 0.0}, true},
        WorkedCase{"OneToneStartsAtSineOfZero", 1, 440.0, 44100, {0.0, 0.0626483}},
        WorkedCase{"TwoTonesSumTheFundamentalAndItsOctave",
                   2,
                   1000.0,
                   48000,
                   {0.0, 0.1946726, 0.3794095, 0.5448951}},
        WorkedCase{"HalfTheRateMutesEvenTheFundamental", 1, 22050.0, 44100, {0.0, 0.0, 0.0}, true}),
    [](const testing::TestParamInfo<WorkedCase>& info) { return info.param.name; });

TEST(Sines, OctaveAtOrAboveHalfTheRateIsMutedAndHalvesTheLevel) {
    SampleRateGuard rate(44100);
    M_Sines sines(2);
    sines.setInputValue(0, 15000.0);
    sines.setInputValue(1, 0.707);
    for (int i = 0; i < 50; ++i) {
        const double before = sines.phases[0];
        sines.process();
        EXPECT_EQ(sines.outputValue(0), std::sin(before) * 0.707 / 2.0) << "frame " << i;
        EXPECT_EQ(sines.phases[1], 0.0);
    }
    EXPECT_GT(sines.phases[0], 0.0);
}

TEST(Sines, PhaseLandingExactlyOnTwoPiIsKeptAndWrappedOnlyWhenPastIt) {
    // One tone at f = 1 Hz and 4 Hz: each frame adds a quarter turn.
    SampleRateGuard rate(4);
    const double increment = 1.0 * (kTwoPi / 4.0);
    double start = kTwoPi - increment;
    while (start + increment > kTwoPi) {
        start = std::nextafter(start, 0.0);
    }
    while (start + increment < kTwoPi) {
        start = std::nextafter(start, kTwoPi);
    }
    ASSERT_EQ(start + increment, kTwoPi);

    M_Sines sines(1);
    sines.setInputValue(0, 1.0);
    sines.setInputValue(1, 1.0);
    sines.phases[0] = start;
    sines.process();
    const double landed = sines.phases[0];
    EXPECT_EQ(landed, kTwoPi);
    sines.process();
    EXPECT_EQ(sines.outputValue(0), std::sin(landed));
    EXPECT_EQ(sines.phases[0], kTwoPi + increment - kTwoPi);
}

TEST(Sines, NegativeFrequencyHoldsThePhasesAndPlayingResumesFromThem) {
    SampleRateGuard rate(44100);
    M_Sines held(3);
    M_Sines steady(3);
    for (M_Sines* s : {&held, &steady}) {
        s->setInputValue(0, 440.0);
        s->setInputValue(1, 0.707);
        play(*s, 37);
    }
    const std::vector<double> frozen = held.phases;
    held.setInputValue(0, -1.0);
    EXPECT_EQ(play(held, 5), std::vector<double>(5, 0.0));
    EXPECT_EQ(held.phases, frozen);

    held.setInputValue(0, 440.0);
    EXPECT_EQ(play(held, 20), play(steady, 20));
}

TEST(Sines, ToneCountChangeWhilePlayingRestartsEveryTone) {
    SampleRateGuard rate(44100);
    M_Sines sines(3);
    sines.setInputValue(0, 440.0);
    sines.setInputValue(1, 1.0);
    play(sines, 100);
    const double amplitude = sines.inputValue(1);

    ASSERT_TRUE(sines.setToneCount(5));
    EXPECT_EQ(sines.toneCount, 5);
    EXPECT_EQ(sines.phases, std::vector<double>(5, 0.0));
    EXPECT_EQ(sines.inputValue(0), 440.0);
    EXPECT_EQ(sines.inputValue(1), amplitude);

    sines.process();
    EXPECT_EQ(sines.outputValue(0), 0.0);
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(sines.phases[k], std::ldexp(440.0, k) * (kTwoPi / 44100.0)) << "tone " << k;
    }
}

TEST(Sines, ResetRestartsThePhasesAndKeepsInputsAndOutput) {
    SampleRateGuard rate(48000);
    M_Sines sines(4);
    sines.setInputValue(0, 1000.0);
    sines.setInputValue(1, 0.5);
    play(sines, 13);
    const double last = sines.outputValue(0);
    sines.reset();
    EXPECT_EQ(sines.phases, std::vector<double>(4, 0.0));
    EXPECT_EQ(sines.outputValue(0), last);
    EXPECT_EQ(sines.inputValue(0), 1000.0);
    EXPECT_EQ(sines.inputValue(1), 0.5);
}

TEST(Sines, PeakNeverExceedsTheAmplitude) {
    for (int32_t rate : {8000, 44100, 192000}) {
        SampleRateGuard guard(rate);
        for (int32_t tones : {1, 2, 3, 8, 40}) {
            for (double hz : {1.0, 55.0, 440.0, 3001.0, 7919.5}) {
                M_Sines sines(tones);
                sines.setInputValue(0, hz);
                sines.setInputValue(1, 0.707);
                double peak = 0.0;
                for (double v : play(sines, 2000)) {
                    peak = std::max(peak, std::fabs(v));
                }
                EXPECT_LE(peak, 0.707) << tones << " tones at " << hz << " Hz, " << rate;
            }
        }
    }
}

TEST(Sines, ToneCountBelowOneIsSilentAndNeverDividesByZero) {
    SampleRateGuard rate(44100);
    M_Sines none(0);
    none.setInputValue(0, 440.0);
    none.setInputValue(1, 1.0);
    EXPECT_EQ(play(none, 3), std::vector<double>(3, 0.0));

    // A count written directly, below 1, with no phases behind it.
    M_Sines negative(2);
    negative.setInputValue(0, 440.0);
    negative.setInputValue(1, 1.0);
    negative.phases.clear();
    negative.toneCount = -3;
    EXPECT_EQ(play(negative, 3), std::vector<double>(3, 0.0));
}

TEST(Sines, ToneCountOutOfRangeIsRefusedWithoutAnyChange) {
    SampleRateGuard rate(44100);
    M_Sines sines(3);
    sines.setInputValue(0, 440.0);
    sines.setInputValue(1, 1.0);
    play(sines, 10);
    const std::vector<double> before = sines.phases;
    for (int32_t count : {M_Sines::kMaxToneCount + 1, INT32_MAX, -1, INT32_MIN}) {
        EXPECT_FALSE(sines.setToneCount(count)) << count;
        EXPECT_EQ(sines.toneCount, 3);
        EXPECT_EQ(sines.phases, before);
    }
    EXPECT_TRUE(sines.setToneCount(M_Sines::kMaxToneCount));
    EXPECT_EQ(sines.phases.size(), static_cast<size_t>(M_Sines::kMaxToneCount));

    EXPECT_THROW(M_Sines(-1), std::length_error);
    EXPECT_THROW(M_Sines(M_Sines::kMaxToneCount + 1), std::length_error);
}

}  // namespace
