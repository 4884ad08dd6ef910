// Measures of a recorded tone for the playback probe: where a steady sine changes pitch, and where
// it drops out.
//
// A pitch change of the tone source keeps the phase and changes only the increment, so the cycle
// in which the change falls is part old period, part new period. With the rising zero crossings
// placed between samples, the length L of that cycle tells how far into it the change came: a
// fraction φ of the cycle at the old period P_old and the rest at the new period P_new gives
// L = φ·P_old + (1 − φ)·P_new, so the change lies φ·P_old after the cycle's first crossing. The
// cycles that follow must have the new period, which rejects a cycle spoiled by a dropout.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace bench {

// Rising zero crossings of `signal` (from below 0 to 0 or above), each placed between its two
// samples by linear interpolation, in samples from the start of the signal.
std::vector<double> risingCrossings(std::span<const double> signal);

// Where a steady sine of period `oldPeriod` samples turns into one of `newPeriod`, in samples
// from the start of `signal`; nothing when no such change is found in it. The change must be
// followed by at least `confirmingCycles` whole cycles of the new period.
std::optional<double> pitchChangeAt(std::span<const double> signal, double oldPeriod,
                                    double newPeriod, size_t confirmingCycles = 3);

struct Dropouts {
    size_t count = 0;          // separate stretches below the floor
    size_t longestFrames = 0;  // the longest of them
};

// Stretches of `signal` whose RMS over consecutive windows of `windowFrames` stays below
// `rmsFloor`: each maximal run of such windows is one dropout.
Dropouts findDropouts(std::span<const double> signal, size_t windowFrames, double rmsFloor);

}  // namespace bench
