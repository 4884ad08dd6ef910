// The tone source on the heap: playing allocates nothing, whatever the tone count, and a tone
// count whose phase list cannot be allocated is refused without any change. Replaces the global
// operator new (counting_allocator.cpp), so it is a binary of its own.
#include <gtest/gtest.h>

#include <vector>

#include "synthesis/sines.h"
#include "tests/synthesis/counting_allocator.h"
#include "tests/synthesis/sample_rate_guard.h"

namespace {

TEST(SinesAllocation, PlayingAnyToneCountAllocatesNothing) {
    SampleRateGuard guard(44100);
    M_Sines few(3);
    M_Sines many(M_Sines::kMaxToneCount);
    const long before = counting_allocator::allocations.load();
    for (M_Sines* sines : {&few, &many}) {
        sines->setInputValue(1, 0.707);
        for (double hz : {0.001, 440.0, -1.0, 20000.0, 440.0}) {
            sines->setInputValue(0, hz);
            for (int32_t rate : {44100, 192000}) {
                g_sampleRate = rate;
                for (int frame = 0; frame < 2000; ++frame) {
                    sines->process();
                }
            }
        }
        sines->reset();
    }
    EXPECT_EQ(counting_allocator::allocations.load(), before);
    EXPECT_NE(few.outputValue(0), 0.0);
}

TEST(SinesAllocation, ToneCountThatCannotBeAllocatedIsRefusedWithoutAnyChange) {
    SampleRateGuard guard(44100);
    M_Sines refused(4);
    M_Sines untouched(4);
    for (M_Sines* sines : {&refused, &untouched}) {
        sines->setInputValue(0, 440.0);
        sines->setInputValue(1, 1.0);
        for (int frame = 0; frame < 25; ++frame) {
            sines->process();
        }
    }
    counting_allocator::refuse = true;
    const bool accepted = refused.setToneCount(1000);
    counting_allocator::refuse = false;

    EXPECT_FALSE(accepted);
    EXPECT_EQ(refused.toneCount, 4);
    EXPECT_EQ(refused.phases, untouched.phases);
    for (int frame = 0; frame < 25; ++frame) {
        refused.process();
        untouched.process();
        EXPECT_EQ(refused.outputValue(0), untouched.outputValue(0));
    }
}

}  // namespace
