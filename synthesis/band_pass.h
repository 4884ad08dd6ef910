// A band-pass for the noises: a fourth-order Butterworth high-pass at the low edge and a
// fourth-order Butterworth low-pass at the high edge, each two biquads (bilinear transform,
// pre-warped at its edge). Outside the band the response falls 24 dB per octave and more; an
// octave or more inside it is flat within 0.02 dB, so the colour's slope holds there. The
// coefficients are worked out by design() when the rate changes, never per frame.
#pragma once

#include <array>
#include <complex>

class BandPass {
  public:
    BandPass(double lowHz, double highHz) : lowHz(lowHz), highHz(highHz) {}

    // Works out the coefficients for `rateHz` and empties the filter.
    void design(double rateHz);

    // One sample through the four biquads.
    double process(double x) {
        for (Biquad& b : stages) {
            const double y = b.b0 * x + b.state1;
            b.state1 = b.b1 * x - b.a1 * y + b.state2;
            b.state2 = b.b2 * x - b.a2 * y;
            x = y;
        }
        return x;
    }

    // The squared magnitude of the designed response at `hz`.
    double powerResponse(double hz) const;

    const double lowHz;
    const double highHz;

  private:
    struct Biquad {
        double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
        double state1 = 0.0, state2 = 0.0;
    };
    std::array<Biquad, 4> stages{};
    double rate = 0.0;
};
