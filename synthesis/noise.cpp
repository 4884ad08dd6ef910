#include "synthesis/noise.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>

#include "synthesis/portable_coefficient.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
const double kUniformRms = 1.0 / std::sqrt(3.0);

constexpr double kPinkLowestPoleHz = 5.0;
constexpr double kPinkPoleSpacing = 4.0;  // two octaves; each zero one octave above its pole
constexpr double kPinkHighestPoleHz = 60000.0;
constexpr double kPinkTopZero = 0.07;
constexpr double kBrownPoleHz = 15.0;
constexpr double kBrownTopZeroAt48k = 0.125;
constexpr double kBrownTopZeroRateHz = 48000.0;

// Impulse response frames that hold all but a negligible part of the filter's energy.
constexpr double kTimeConstants = 12.0;

uint64_t splitmix64(uint64_t& x) {
    uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t rotl(uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

double matchedPole(double hz, double rateHz) {
    return portableCoefficient(std::exp(-kTwoPi * hz / rateHz));
}

}  // namespace

NoiseSource::NoiseSource(uint64_t seed) {
    for (uint64_t& word : state) {
        word = splitmix64(seed);
    }
}

double NoiseSource::next() {
    const uint64_t result = state[0] + state[3];
    const uint64_t t = state[1] << 17;
    state[2] ^= state[0];
    state[3] ^= state[1];
    state[1] ^= state[2];
    state[0] ^= state[3];
    state[2] ^= t;
    state[3] = rotl(state[3], 45);
    return static_cast<double>(result >> 11) * 0x1.0p-52 - 1.0;
}

M_Noise::M_Noise(NoiseColour colour, uint64_t seed, std::optional<Band> band)
    : AudioModule(1, 1), colour(colour), seed(seed), source(seed) {
    if (band) {
        this->band.emplace(band->lowHz, band->highHz);
    }
    name = "шум";
    inputNames[kLevelInput] = "уровень";
    outputNames[kOutput] = "выход";
}

M_Noise::Filter M_Noise::design(NoiseColour colour, double rateHz) {
    Filter filter;
    double slowestPoleHz = 0.0;
    if (colour == NoiseColour::Pink) {
        for (double hz = kPinkLowestPoleHz; hz < std::min(kPinkHighestPoleHz, rateHz);
             hz *= kPinkPoleSpacing) {
            filter.sections[filter.count++] = {
                matchedPole(hz * std::sqrt(kPinkPoleSpacing), rateHz), matchedPole(hz, rateHz)};
        }
        filter.sections[filter.count++] = {-kPinkTopZero, 0.0};
        slowestPoleHz = kPinkLowestPoleHz;
    } else if (colour == NoiseColour::Brown) {
        const double ratio = std::min(1.0, kBrownTopZeroRateHz / rateHz);
        filter.sections[filter.count++] = {-kBrownTopZeroAt48k * ratio * ratio,
                                           matchedPole(kBrownPoleHz, rateHz)};
        slowestPoleHz = kBrownPoleHz;
    }
    if (filter.count == 0) {
        filter.rmsOfWhite = kUniformRms;
        return filter;
    }
    const auto frames =
        static_cast<int64_t>(kTimeConstants * rateHz / (kTwoPi * slowestPoleHz)) + 64;
    Filter impulse = filter;
    double energy = 0.0;
    for (int64_t i = 0; i < frames; ++i) {
        const double h = run(impulse, i == 0 ? 1.0 : 0.0);
        energy += h * h;
    }
    filter.rmsOfWhite = std::sqrt(energy) * kUniformRms;
    return filter;
}

double M_Noise::run(Filter& filter, double x) {
    for (size_t i = 0; i < filter.count; ++i) {
        Section& s = filter.sections[i];
        const double y = x - s.zero * s.lastIn + s.pole * s.lastOut;
        s.lastIn = x;
        s.lastOut = y;
        x = y;
    }
    return x;
}

std::vector<double> M_Noise::powerResponse(NoiseColour colour, const std::vector<double>& hz,
                                           double rateHz) {
    const Filter filter = design(colour, rateHz);
    std::vector<double> out;
    for (double f : hz) {
        out.push_back(response(filter, f, rateHz));
    }
    return out;
}

double M_Noise::response(const Filter& filter, double hz, double rateHz) {
    const std::complex<double> delay = std::polar(1.0, -kTwoPi * hz / rateHz);
    std::complex<double> h = 1.0;
    for (size_t i = 0; i < filter.count; ++i) {
        h *= (1.0 - filter.sections[i].zero * delay) / (1.0 - filter.sections[i].pole * delay);
    }
    return std::norm(h) * kUniformRms * kUniformRms / (filter.rmsOfWhite * filter.rmsOfWhite);
}

double M_Noise::bandShare(double rateHz) const {
    // Over a logarithmic grid, where the low end of pink and brown holds most of their power.
    constexpr int kPoints = 16384;
    constexpr double kLowestHz = 0.001;
    const double nyquist = rateHz / 2.0;
    const double step = std::log(nyquist / kLowestHz) / kPoints;
    double all = 0.0;
    double passed = 0.0;
    for (int i = 0; i < kPoints; ++i) {
        const double hz = kLowestHz * std::exp((i + 0.5) * step);
        const double power = response(filter, hz, rateHz) * hz;
        all += power;
        passed += power * band->powerResponse(hz);
    }
    return all > 0.0 ? passed / all : 1.0;
}

void M_Noise::reset() {
    AudioModule::reset();
    source = NoiseSource(seed);
    for (size_t i = 0; i < filter.count; ++i) {
        filter.sections[i].lastIn = 0.0;
        filter.sections[i].lastOut = 0.0;
    }
    if (band) {
        band->design(static_cast<double>(designedRateHz > 0 ? designedRateHz : *sampleRate));
    }
    limiter.reset();
}

void M_Noise::process() {
    if (*sampleRate != designedRateHz) {
        filter = design(colour, static_cast<double>(*sampleRate));
        designedRateHz = *sampleRate;
        gainLevel = std::numeric_limits<double>::quiet_NaN();
        if (band) {
            band->design(static_cast<double>(designedRateHz));
            bandMakeUp = portableCoefficient(
                1.0 / std::sqrt(bandShare(static_cast<double>(designedRateHz))));
        }
    }
    double coloured = run(filter, source.next());
    if (band) {
        coloured = band->process(coloured) * bandMakeUp;
    }
    const double level = inputValue(kLevelInput);
    if (level != gainLevel) {
        // A level given in dB comes from pow(), whose last bit differs between platforms too.
        gainLevel = level;
        gain = portableCoefficient(level / filter.rmsOfWhite);
    }
    coloured *= gain;
    outputs[kOutput].value = limiter.process(coloured, static_cast<double>(*sampleRate));
}
