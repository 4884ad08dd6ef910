// The tone source: the sum of `toneCount` sines, tone k at the fundamental times 2^k, each with
// a phase accumulator of its own, scaled by the amplitude and divided by the tone count. A tone
// at or above half the sampling rate is muted: its phase is held at 0.0.
//
// Because the octaves climb so fast, only a handful of tones are ever audible, whatever the tone
// count; the muted tones above them add sin(0.0) = +0.0, which changes no sum. process() therefore
// works only on the audible tones and on the tones it knows may still hold a phase other than
// 0.0, and gives bit for bit the samples of the plain loop over every tone.
//
// Threads: process() runs on the rendering thread under the container's lock; the console
// thread changes the tone count and the frequency under the same lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/audio_module.h"

class M_Sines : public AudioModule {
  public:
    // The most tones one module keeps (8 MiB of phases): a larger count is refused.
    static constexpr int32_t kMaxToneCount = 1 << 20;

    // Throws std::length_error for a count below 0 or above kMaxToneCount.
    explicit M_Sines(int32_t toneCount);

    // Every phase back to 0.0; inputs and output keep their values.
    // Called by whoever holds the container's lock (or before rendering starts).
    void reset() override;

    // One sample of the harmonic sum; 0.0 while the frequency is not positive or the tone count
    // is below 1. Rendering thread, under the container's lock. Allocates nothing.
    void process() override;

    // Replaces the phase list with `count` phases at 0.0. Returns false, changing nothing, when
    // count is below 0 or above kMaxToneCount or the list cannot be allocated; never throws. The
    // caller holds the lock of the container that renders this module.
    bool setToneCount(int32_t count);

    // The phase of tone k in radians, within 0 to 2π. Change the list through setToneCount() and
    // reset(). A list that gets a new length by other means is noticed and fully processed once;
    // an entry of a muted tone set directly to a value other than 0.0 may go unnoticed.
    std::vector<double> phases;
    int32_t toneCount = 0;

  private:
    // What a frame needs when f, the rate, the tone count and the phase list are those of the
    // frame before: the number of audible tones and the increment of each, fk × 2π / sr. Made
    // for at most kPlannedTones audible tones, which covers every fundamental above 0.0001 Hz at
    // 192 kHz; lower ones take the full path on every frame.
    static constexpr size_t kPlannedTones = 32;
    struct Plan {
        double hz = std::numeric_limits<double>::quiet_NaN();  // no frequency equals NaN
        int32_t rateHz = 0;
        int32_t toneCount = 0;
        const double* phases = nullptr;
        size_t length = 0;
        size_t audible = 0;
        std::array<double, kPlannedTones> increments{};
    };

    // The full frame for a frequency f that is positive (or NaN) and a tone count of at least 1,
    // when the frame cannot follow the plan; it leaves a plan for the next frame where it can.
    void processUnplanned(double f);

    Plan plan;
    // Entries of `phases` from this index on are known to be 0.0.
    size_t livePhases = 0;
    // The length of `phases` when livePhases was last set, to notice a list replaced directly.
    size_t knownLength = 0;
};
