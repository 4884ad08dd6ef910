#include "bench/tone_analysis.h"

#include <algorithm>
#include <cmath>

namespace bench {

namespace {

// How far a cycle may stray from its period and still count as that period. Zero crossings of a
// clean 16-bit recording land within a small fraction of a sample; these bounds leave room for
// the server's resampler and still tell 440 Hz from 1000 Hz at a glance.
constexpr double kOldTolerance = 0.02;
constexpr double kNewTolerance = 0.03;

bool near(double length, double period, double tolerance) {
    return std::abs(length - period) <= tolerance * period;
}

double rmsOfWindow(std::span<const double> window) {
    double sum = 0.0;
    for (double x : window) {
        sum += x * x;
    }
    return std::sqrt(sum / static_cast<double>(window.size()));
}

}  // namespace

std::vector<double> risingCrossings(std::span<const double> signal) {
    std::vector<double> crossings;
    for (size_t i = 1; i < signal.size(); ++i) {
        if (signal[i - 1] < 0.0 && signal[i] >= 0.0) {
            crossings.push_back(static_cast<double>(i - 1) +
                                signal[i - 1] / (signal[i - 1] - signal[i]));
        }
    }
    return crossings;
}

std::optional<double> pitchChangeAt(std::span<const double> signal, double oldPeriod,
                                    double newPeriod, size_t confirmingCycles) {
    const std::vector<double> c = risingCrossings(signal);
    bool afterOldCycle = false;
    for (size_t i = 0; i + 1 + confirmingCycles < c.size(); ++i) {
        const double length = c[i + 1] - c[i];
        if (near(length, oldPeriod, kOldTolerance)) {
            afterOldCycle = true;
            continue;
        }
        bool confirmed = afterOldCycle;
        for (size_t j = 1; confirmed && j <= confirmingCycles; ++j) {
            confirmed = near(c[i + 1 + j] - c[i + j], newPeriod, kNewTolerance);
        }
        if (!confirmed) {
            // Neither period: a spoiled cycle. Only an old cycle after it can start a new search.
            afterOldCycle = false;
            continue;
        }
        const double oldPart = std::clamp((length - newPeriod) / (oldPeriod - newPeriod), 0.0, 1.0);
        return c[i] + oldPart * oldPeriod;
    }
    return std::nullopt;
}

Dropouts findDropouts(std::span<const double> signal, size_t windowFrames, double rmsFloor) {
    Dropouts found;
    if (windowFrames == 0) {
        return found;
    }
    size_t run = 0;
    for (size_t start = 0; start + windowFrames <= signal.size(); start += windowFrames) {
        if (rmsOfWindow(signal.subspan(start, windowFrames)) < rmsFloor) {
            if (run == 0) {
                ++found.count;
            }
            ++run;
            found.longestFrames = std::max(found.longestFrames, run * windowFrames);
        } else {
            run = 0;
        }
    }
    return found;
}

}  // namespace bench
