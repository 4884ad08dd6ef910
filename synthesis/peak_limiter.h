// A look-ahead peak limiter for the noises, so that no sample passes the ceiling however the
// random peaks fall. It delays the signal by kLookAheadFrames; a sample that would pass the
// ceiling is seen that many frames before it is played, and the gain falls in a straight line to
// what that sample needs by the frame it plays, holds while any such sample is still on its way,
// and then rises back to 1 over kReleaseSeconds. The gain only moves when a peak passes the
// ceiling; at the levels of everyday use (a Gaussian-like noise 10 dB or more below full scale)
// that is rare, and below it the samples pass unchanged, only delayed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

class PeakLimiter {
  public:
    static constexpr size_t kLookAheadFrames = 128;
    static constexpr double kCeiling = 0.999;
    static constexpr double kReleaseSeconds = 0.01;

    // One frame: takes a new sample, gives the sample kLookAheadFrames older times the gain.
    double process(double sample, double rateHz);

    // Empties the delay line and sets the gain back to 1.
    void reset();

  private:
    static constexpr size_t kMask = 2 * kLookAheadFrames - 1;
    std::array<double, 2 * kLookAheadFrames> delay{};
    size_t written = 0;
    double gain = 1.0;
    double fallPerFrame = 0.0;  // while falling
    double floor = 1.0;         // the gain the fall ends at
    int64_t holdLeft = 0;       // frames until the last loud sample has been played
};
