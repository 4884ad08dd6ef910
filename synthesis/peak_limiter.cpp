#include "synthesis/peak_limiter.h"

#include <algorithm>
#include <cmath>

double PeakLimiter::process(double sample, double rateHz) {
    constexpr auto kAhead = static_cast<double>(kLookAheadFrames);
    const double magnitude = std::abs(sample);
    if (magnitude > kCeiling) {
        const double need = kCeiling / magnitude;
        // Where the gain would stand when this sample plays, were nothing changed.
        const double projected = holdLeft > 0 ? std::min(floor, gain) : 1.0;
        if (need < projected) {
            // A steeper fall never lets an earlier loud sample through.
            fallPerFrame = std::max(fallPerFrame, (gain - need) / kAhead);
            floor = std::min(need, gain);
        }
        holdLeft = static_cast<int64_t>(kLookAheadFrames) + 1;
    }
    delay[written & kMask] = sample;
    const double out = delay[(written - kLookAheadFrames) & kMask] * gain;
    ++written;
    if (holdLeft > 0) {
        --holdLeft;
        gain = std::max(floor, gain - fallPerFrame);
        if (gain <= floor) {
            fallPerFrame = 0.0;
        }
    } else if (gain < 1.0) {
        gain = std::min(1.0, gain + 1.0 / (kReleaseSeconds * rateHz));
        floor = gain;
    }
    return out;
}

void PeakLimiter::reset() {
    delay.fill(0.0);
    written = 0;
    gain = 1.0;
    fallPerFrame = 0.0;
    floor = 1.0;
    holdLeft = 0;
}
