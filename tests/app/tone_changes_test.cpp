// The limits of the faded changes, and their waits when nothing renders. Whether they click is
// measured end to end, on a written sound file.
#include "app/tone_changes.h"

#include <gtest/gtest.h>

#include <tuple>

#include "synthesis/gain_ramp.h"
#include "synthesis/sines.h"
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

// Catches a wait without a limit, and a change dropped when its fade never completes: a device
// that stopped rendering must not hold up the dialogue.
TEST(SmoothToneChanges, WithNothingRenderingEveryWaitEndsAndEveryChangeIsMade) {
    struct : ParameterLock {
        void lock() override {}
        void unlock() override {}
    } lock;
    M_Sines sines(1);
    M_GainRamp ramp(5.0, 0.0);
    SmoothToneChanges changes(sines, ramp, lock, {milliseconds(20), 1000, milliseconds(20)});
    completesWithin(
        [&] {
            changes.setFrequency(440.0);
            EXPECT_TRUE(changes.setToneCount(4));
            changes.setFrequency(0.0);
            changes.setFrequency(330.0);
            changes.fadeOut();
        },
        "faded changes without a renderer");
    EXPECT_EQ(sines.toneCount, 4);
    EXPECT_EQ(sines.inputValue(0), 330.0);
}

}  // namespace
