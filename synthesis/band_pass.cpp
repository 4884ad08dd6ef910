#include "synthesis/band_pass.h"

#include <cmath>
#include <numbers>

#include "synthesis/portable_coefficient.h"

namespace {

// The two quality factors of a fourth-order Butterworth response.
constexpr std::array<double, 2> kButterworthQ = {0.5411961001461970, 1.3065629648763766};

}  // namespace

void BandPass::design(double rateHz) {
    rate = rateHz;
    for (size_t i = 0; i < stages.size(); ++i) {
        const bool highPass = i < 2;
        const double w0 = 2.0 * std::numbers::pi * (highPass ? lowHz : highHz) / rateHz;
        const double alpha = std::sin(w0) / (2.0 * kButterworthQ[i % 2]);
        const double c = std::cos(w0);
        const double a0 = 1.0 + alpha;
        Biquad b;
        b.b0 = (highPass ? (1.0 + c) : (1.0 - c)) / 2.0 / a0;
        b.b1 = (highPass ? -(1.0 + c) : (1.0 - c)) / a0;
        b.b2 = b.b0;
        b.a1 = -2.0 * c / a0;
        b.a2 = (1.0 - alpha) / a0;
        for (double* c : {&b.b0, &b.b1, &b.b2, &b.a1, &b.a2}) {
            *c = portableCoefficient(*c);
        }
        stages[i] = b;
    }
}

double BandPass::powerResponse(double hz) const {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * std::numbers::pi * hz / rate);
    const std::complex<double> z2 = z1 * z1;
    std::complex<double> h = 1.0;
    for (const Biquad& b : stages) {
        h *= (b.b0 + b.b1 * z1 + b.b2 * z2) / (1.0 + b.a1 * z1 + b.a2 * z2);
    }
    return std::norm(h);
}
