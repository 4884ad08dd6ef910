// The limits of the faded changes, and the faded changes rendered as the output would: no change
// may step further than the steady tone does itself.
#include "app/tone_changes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "engine/connections.h"
#include "synthesis/gain_ramp.h"
#include "synthesis/sines.h"
#include "tests/synthesis/sample_rate_guard.h"
#include "tests/threading/bounded_wait.h"

namespace {

using std::chrono::milliseconds;

// Catches wrong buffer times, a wrong rate when none is known, and a wrong queue length.
TEST(SmoothTiming, LimitsFollowTheFadeAndTheQueueOfBuffers) {
    using Limits = std::tuple<int64_t, int64_t, int64_t>;  // wait ms, drain frames, drain ms
    const std::pair<SmoothTiming, Limits> table[] = {
        {smoothTiming(5.0, 3, 4800, 48000), {255, 14400, 555}},  // 100 ms buffers: 5 + 200 + 50
        {smoothTiming(5.0, 3, 4410, 0), {255, 13230, 555}},      // no rate: the slowest, 44100
        {smoothTiming(0.5, 2, 96, 192000), {52, 192, 53}},       // whole milliseconds, rounded up
        {smoothTiming(5.0, -1, -1, 48000), {55, 0, 55}},
    };
    for (const auto& [t, limits] : table) {
        EXPECT_EQ(Limits(t.waitLimit.count(), t.drainFrames, t.drainLimit.count()), limits);
    }
}

// The tone source into a 5 ms fader; leaving each locked section renders 2000 frames, as the
// output's thread would between two changes, unless `silent`.
struct Chain : ParameterLock {
    SampleRateGuard rate{44100};
    M_Sines sines{1};
    M_GainRamp ramp{5.0, 0.0};
    std::vector<double> samples;
    bool silent = false;

    Chain(int32_t tones, double hz) {
        connect(sines, 0, M_GainRamp::kSignalInput, ramp);
        sines.setToneCount(tones);
        sines.setInputValue(0, hz);
        sines.setInputValue(1, 0.707);
        ramp.reset();
        ramp.setTargetGain(hz > 0.0 ? 1.0 : 0.0);
    }
    void lock() override {}
    void unlock() override {
        for (int i = 0; i < 2000 && !silent; ++i) {
            sines.process();
            ramp.process();
            samples.push_back(ramp.outputValue(M_GainRamp::kOutput));
        }
    }
    double largestStep() {
        double largest = 0.0;
        for (size_t i = 1; i < samples.size(); ++i) {
            largest = std::max(largest, std::abs(samples[i] - samples[i - 1]));
        }
        return largest;
    }
};

// Catches a click at a start, stop, resumption, tone count change or the fade at the end, a
// wait without a limit, and a change dropped when its fade never completes.
TEST(SmoothToneChanges, ChangesStepNoFurtherThanTheSteadyToneAndNoWaitOutlastsItsLimit) {
    Chain steady(5, 110.0);
    steady.unlock();
    Chain chain(3, 0.0);
    SmoothToneChanges changes(chain.sines, chain.ramp, chain,
                              {milliseconds(20), 1000, milliseconds(20)});
    for (const double hz : {110.0, 0.0, 55.0}) {
        changes.setFrequency(hz);
    }
    EXPECT_TRUE(changes.setToneCount(5));
    for (const double hz : {110.0, -1.0, 110.0}) {
        changes.setFrequency(hz);
    }
    changes.fadeOut();
    EXPECT_LE(chain.largestStep(), 1.5 * steady.largestStep());
    EXPECT_EQ(chain.samples.back(), 0.0);
    chain.silent = true;  // a device that stopped rendering
    completesWithin(
        [&] {
            changes.setFrequency(0.0);
            changes.setFrequency(330.0);
            EXPECT_TRUE(changes.setToneCount(4));
            changes.fadeOut();
        },
        "faded changes without a renderer");
    EXPECT_EQ(chain.sines.toneCount, 4);
    EXPECT_EQ(chain.sines.inputValue(0), 330.0);
}

}  // namespace
