// Rendering allocates nothing, and a tone count whose phase list cannot be allocated is refused
// without any change. Links the counting operator new of counting_allocator.cpp.
#include <gtest/gtest.h>

#include "synthesis/gain_ramp.h"
#include "synthesis/sines.h"
#include "tests/synthesis/counting_allocator.h"
#include "tests/synthesis/sample_rate_guard.h"

namespace {

TEST(SynthesisAllocation, RenderingAllocatesNothingAndAFailedAllocationChangesNothing) {
    SampleRateGuard guard(44100);
    M_Sines few(3);
    M_Sines many(M_Sines::kMaxToneCount);
    M_GainRamp ramp(5.0, 0.0);
    const long before = counting_allocator::allocations.load();
    for (double hz : {0.001, 440.0, -1.0, 20000.0}) {
        for (int32_t rate : {44100, 192000}) {
            g_sampleRate = rate;
            ramp.setTargetGain(hz > 1000.0 ? 0.5 : 1.0);
            for (M_Sines* sines : {&few, &many}) {
                sines->setInputValue(0, hz);
                sines->setInputValue(1, 0.707);
                for (int frame = 0; frame < 500; ++frame) {
                    sines->process();
                    ramp.process();
                }
            }
        }
    }
    EXPECT_EQ(counting_allocator::allocations.load(), before);

    const std::vector<double> phases = few.phases;
    counting_allocator::refuse = true;
    const bool accepted = few.setToneCount(1000);
    counting_allocator::refuse = false;
    EXPECT_FALSE(accepted);
    EXPECT_EQ(few.toneCount, 3);
    EXPECT_EQ(few.phases, phases);
}

}  // namespace
