// The fader: a ramp's length in frames at each rate, the bound on every step of the gain, turning
// round halfway, when it reports the target reached, and the exact passthrough at gain 1.
#include "synthesis/gain_ramp.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <numbers>
#include <vector>

#include "tests/synthesis/sample_rate_guard.h"

namespace {

// Processes a constant signal of 1 until the target is reached (at most `limit` frames); checks
// that no frame moves the gain by more than `bound` and returns the number of frames.
int64_t rampFrames(M_GainRamp& ramp, double target, int64_t limit, double bound) {
    ramp.setTargetGain(target);
    ramp.setInputValue(M_GainRamp::kSignalInput, 1.0);
    double gain = ramp.outputValue(M_GainRamp::kOutput);
    int64_t frames = 0;
    for (; !ramp.reachedTarget() && frames < limit; ++frames) {
        ramp.process();
        EXPECT_LE(std::abs(ramp.outputValue(M_GainRamp::kOutput) - gain), bound);
        gain = ramp.outputValue(M_GainRamp::kOutput);
    }
    return frames;
}

TEST(GainRamp, RampsInRoundedFramesWithBoundedStepsAndEndsExactlyOnTheTarget) {
    for (const auto& [rateHz, ms] : {std::pair{44100, 5.0}, {96000, 1.0}, {44100, 0.01}}) {
        SCOPED_TRACE(testing::Message() << rateHz << " Hz, " << ms << " ms");
        SampleRateGuard guard(rateHz);
        const int64_t frames = std::max<int64_t>(1, std::llround(ms * rateHz / 1000.0));
        const double bound =
            std::sin(std::numbers::pi / (2.0 * static_cast<double>(frames))) + 1e-12;
        M_GainRamp ramp(ms, 0.0);
        EXPECT_EQ(rampFrames(ramp, 1.0, 2 * frames, bound), frames);
        EXPECT_EQ(ramp.outputValue(M_GainRamp::kOutput), 1.0);
        EXPECT_EQ(rampFrames(ramp, 0.0, 2 * frames, bound), frames);
        EXPECT_EQ(ramp.outputValue(M_GainRamp::kOutput), 0.0);
        EXPECT_EQ(ramp.settledAtFrame(), ramp.framesProcessed());

        // Turned round halfway up, it comes back down the way it went.
        EXPECT_EQ(rampFrames(ramp, 1.0, frames / 2, bound), frames / 2);
        EXPECT_EQ(rampFrames(ramp, 0.0, 2 * frames, bound), frames / 2);
        EXPECT_EQ(ramp.outputValue(M_GainRamp::kOutput), 0.0);

        // At gain 1 again, every sample passes through bit for bit.
        rampFrames(ramp, 1.0, 2 * frames, bound);
        for (double sample : {0.7071067811865476, -0.0, -1e308, 0x1p-1074}) {
            ramp.setInputValue(M_GainRamp::kSignalInput, sample);
            ramp.process();
            EXPECT_EQ(std::bit_cast<uint64_t>(ramp.outputValue(M_GainRamp::kOutput)),
                      std::bit_cast<uint64_t>(sample));
        }
    }
}

}  // namespace
