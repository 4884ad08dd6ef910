// A frequency sweep: its output is a frequency in hertz that glides from `fromHz` to `toHz`
// over `seconds`, exponentially (equal time per octave) or linearly, and then stays at `toHz`.
// Connected to the frequency input of a tone source, it makes a sweep of that source; the
// source keeps its phases, so the sweep's phase is continuous.
//
// Frame n of a sweep of N = seconds × rate frames gives from × (to / from)^(n / N), or
// from + (to − from) × n / N. The exponential law is stepped by one multiplication per frame and
// set exactly every kExactEvery frames, so that the rounding of the steps never builds up
// (it stays below 1e-12 of the frequency) and no frame calls exp().
//
// Threads: process() runs on the rendering thread under the container's lock.
#pragma once

#include <cstdint>

#include "engine/audio_module.h"

enum class SweepLaw { Exponential, Linear };

class M_Sweep : public AudioModule {
  public:
    static constexpr int32_t kOutput = 0;
    static constexpr int64_t kExactEvery = 4096;

    // Throws std::invalid_argument unless both frequencies are positive and finite and the time
    // is positive and finite.
    M_Sweep(double fromHz, double toHz, double seconds, SweepLaw law);

    // Back to the start of the sweep.
    void reset() override;

    // The frequency of this frame, then one frame on. Allocates nothing.
    void process() override;

    // The frequency of the law at `seconds` from the start.
    double frequencyAt(double seconds) const;

    const double fromHz;
    const double toHz;
    const double seconds;
    const SweepLaw law;

  private:
    void plan();

    int64_t frame = 0;
    int32_t plannedRateHz = 0;
    int64_t totalFrames = 1;
    double ratioPerFrame = 1.0;
    double stepPerFrame = 0.0;
    double current = 0.0;
};
