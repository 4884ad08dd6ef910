// Behaviour of the fader: the length of a ramp in frames at each rate, the bound on every step of
// the gain, turning round halfway, the moment it reports the target reached, and the exact
// passthrough at gain 1.
#include "synthesis/gain_ramp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "tests/synthesis/sample_rate_guard.h"

namespace {

constexpr double kPi = 3.141592653589793;

// Processes until the fader reports its target reached, at most `limit` frames; returns the gains
// it applied to a constant signal of 1.
std::vector<double> rampUntilReached(M_GainRamp& ramp, int64_t limit) {
    std::vector<double> gains;
    ramp.setInputValue(M_GainRamp::kSignalInput, 1.0);
    while (!ramp.reachedTarget() && static_cast<int64_t>(gains.size()) < limit) {
        ramp.process();
        gains.push_back(ramp.outputValue(M_GainRamp::kOutput));
    }
    return gains;
}

double largestStep(double from, const std::vector<double>& gains) {
    double largest = 0.0;
    for (double gain : gains) {
        largest = std::max(largest, std::abs(gain - from));
        from = gain;
    }
    return largest;
}

TEST(GainRamp, RampsInRoundedFramesWithBoundedStepsAndEndsExactlyOnTheTarget) {
    struct Case {
        int32_t rateHz;
        double ms;
    };
    for (const Case c :
         {Case{44100, 5.0}, Case{96000, 1.0}, Case{192000, 100.0}, Case{44100, 0.01}}) {
        SCOPED_TRACE(testing::Message() << c.rateHz << " Hz, " << c.ms << " ms");
        SampleRateGuard guard(c.rateHz);
        const int64_t frames = std::max<int64_t>(1, std::llround(c.ms * c.rateHz / 1000.0));
        const double stepBound = std::sin(kPi / (2.0 * static_cast<double>(frames))) + 1e-12;
        M_GainRamp ramp(c.ms, 0.0);

        ramp.setTargetGain(1.0);
        const std::vector<double> up = rampUntilReached(ramp, 2 * frames);
        ASSERT_EQ(static_cast<int64_t>(up.size()), frames);
        EXPECT_EQ(up.back(), 1.0);
        if (frames > 1) {
            EXPECT_LT(up[up.size() - 2], 1.0);
        }
        EXPECT_LE(largestStep(0.0, up), stepBound);

        ramp.setTargetGain(0.0);
        EXPECT_FALSE(ramp.reachedTarget());
        const std::vector<double> down = rampUntilReached(ramp, 2 * frames);
        ASSERT_EQ(static_cast<int64_t>(down.size()), frames);
        EXPECT_EQ(down.back(), 0.0);
        EXPECT_LE(largestStep(1.0, down), stepBound);
        EXPECT_EQ(ramp.settledAtFrame(), ramp.framesProcessed());

        // Turned round halfway up, it comes back down the way it went.
        ramp.setTargetGain(1.0);
        const int64_t half = frames / 2;
        for (int64_t i = 0; i < half; ++i) {
            ramp.process();
        }
        const double turnedAt = ramp.outputValue(M_GainRamp::kOutput);
        ramp.setTargetGain(0.0);
        const std::vector<double> back = rampUntilReached(ramp, 2 * frames);
        EXPECT_EQ(static_cast<int64_t>(back.size()), half);
        EXPECT_LE(largestStep(turnedAt, back), stepBound);
        EXPECT_EQ(ramp.outputValue(M_GainRamp::kOutput), 0.0);
    }
}

TEST(GainRamp, GainOnePassesEverySampleThroughBitForBitAfterAFadeOutAndIn) {
    SampleRateGuard guard(44100);
    M_GainRamp ramp(5.0, 1.0);
    ramp.setTargetGain(0.0);
    rampUntilReached(ramp, 1000);
    ramp.setTargetGain(1.0);
    rampUntilReached(ramp, 1000);
    ASSERT_TRUE(ramp.reachedTarget());
    for (double sample : {0.7071067811865476, -0.0, -0.3333333333333333,
                          std::numeric_limits<double>::denorm_min(), -1e308, 0.1}) {
        ramp.setInputValue(M_GainRamp::kSignalInput, sample);
        ramp.process();
        const double out = ramp.outputValue(M_GainRamp::kOutput);
        EXPECT_EQ(std::memcmp(&out, &sample, sizeof sample), 0) << sample;
    }
}

}  // namespace
