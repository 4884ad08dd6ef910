// The floor of the tone source's work: the sine calls that the exact result cannot do without.
//
// Tone k of a fundamental f sounds at 2^k × f and is muted from half the sampling rate on; a muted
// tone rests at phase 0.0 and adds sin(0.0) = +0.0, which changes no sum. The exact sample of n
// tones therefore needs one sine per audible tone, whatever n is. SinFloor makes exactly those
// calls, on exactly the arguments the module passes (every phase starts at 0.0 and advances by
// the same increment, wrapped the same way), sums them and stores one double per frame: nothing
// of the module's bookkeeping, no graph and no conversion.
#pragma once

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace bench {

inline constexpr double kTwoPi = 6.283185307179586;

// The number of tones out of `tones` that sound below half of `rateHz` at fundamental `hz`.
inline int64_t audibleTones(int64_t tones, double hz, int32_t rateHz) {
    int64_t k = 0;
    double fk = hz;
    while (k < tones && 2.0 * fk < static_cast<double>(rateHz)) {
        ++k;
        fk += fk;
    }
    return k;
}

class SinFloor {
  public:
    SinFloor(int64_t tones, double hz, int32_t rateHz) {
        const double step = kTwoPi / static_cast<double>(rateHz);
        double fk = hz;
        for (int64_t k = 0; k < audibleTones(tones, hz, rateHz); ++k) {
            increments.push_back(fk * step);
            fk += fk;
        }
        phases.assign(increments.size(), 0.0);
    }

    // Sums `calls()` sines per frame for `frameCount` frames into `out`.
    void render(double* out, int64_t frameCount) {
        const size_t count = phases.size();
        for (int64_t frame = 0; frame < frameCount; ++frame) {
            double sum = 0.0;
            for (size_t k = 0; k < count; ++k) {
                sum += std::sin(phases[k]);
                double next = phases[k] + increments[k];
                if (next > kTwoPi) {
                    next -= kTwoPi;
                }
                phases[k] = next;
            }
            out[frame] = sum;
        }
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }

    int64_t calls() const { return static_cast<int64_t>(phases.size()); }

  private:
    std::vector<double> phases;
    std::vector<double> increments;
};

}  // namespace bench
