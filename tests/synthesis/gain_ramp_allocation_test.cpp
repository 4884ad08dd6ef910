// The fader allocates nothing while it renders, ramps, turns round or follows a new rate.
// Shares the binary of the counting operator new (counting_allocator.cpp).
#include <gtest/gtest.h>

#include "synthesis/gain_ramp.h"
#include "tests/synthesis/counting_allocator.h"
#include "tests/synthesis/sample_rate_guard.h"

namespace {

TEST(GainRampAllocation, RampingAndRenderingAllocateNothing) {
    SampleRateGuard guard(44100);
    M_GainRamp ramp(5.0, 0.0);
    ramp.setInputValue(M_GainRamp::kSignalInput, 0.5);
    const long before = counting_allocator::allocations.load();
    for (int32_t rate : {44100, 192000}) {
        g_sampleRate = rate;
        for (double target : {1.0, 0.0, 0.5, 1.0}) {
            ramp.setTargetGain(target);
            for (int frame = 0; frame < 500; ++frame) {
                ramp.process();
            }
        }
    }
    EXPECT_EQ(counting_allocator::allocations.load(), before);
    EXPECT_EQ(ramp.outputValue(M_GainRamp::kOutput), 0.5);
}

}  // namespace
