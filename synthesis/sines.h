// The tone source: the sum of `toneCount` sines, tone k at the fundamental times 2^k, each with
// a phase accumulator of its own, scaled by the amplitude and divided by the tone count. A tone
// at or above half the sampling rate is muted.
//
// Threads: process() runs on the rendering thread under the container's lock; the console
// thread changes the tone count and the frequency under the same lock.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/audio_module.h"

class M_Sines : public AudioModule {
  public:
    // The most tones one module keeps: a larger count is refused by setToneCount.
    static constexpr int32_t kMaxToneCount = 1 << 20;

    explicit M_Sines(int32_t toneCount);

    // Every phase back to 0.0; inputs and output keep their values.
    void reset() override;

    // One sample of the harmonic sum.
    void process() override;

    // Replaces the phase list with `count` phases at 0.0. Returns false, changing nothing, when
    // count is above kMaxToneCount or the list cannot be allocated. The caller holds the lock of
    // the container that renders this module.
    bool setToneCount(int32_t count);

    std::vector<double> phases;
    int32_t toneCount = 0;
};
