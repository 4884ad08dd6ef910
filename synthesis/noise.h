// White, pink and brown noise at a set RMS level, the same sample for sample for the same seed.
//
// The source is xoshiro256+ (seeded through splitmix64), its top 53 bits taken as a uniform
// number in [-1, 1): white noise, flat, with a peak only √3 times its RMS. Pink and brown are
// that white noise through first-order sections, designed anew whenever the sampling rate
// changes (never per frame):
// - pink: poles every two octaves from 5 Hz up, each with a zero one octave above it, so that
//   the response falls 3 dB per octave on average with a ripple below 0.15 dB, and a zero at
//   the top of the band that takes out the rise that the sampled poles would leave near half the
//   rate. Within 0.15 dB of the ideal slope in every octave band from 31.5 Hz to 16 kHz at every
//   rate from 44.1 to 192 kHz.
// - brown: a leaky integrator with its pole at 15 Hz (the leak keeps it from wandering off) and
//   a small zero that corrects the sampled integrator's rise near half the rate; within 0.3 dB
//   of the ideal 6 dB per octave from 63 Hz to 16 kHz.
// A band, where one is given, is a BandPass after the colour. The output is scaled by the level
// input over the RMS of the whole chain for the uniform input (the colour's from its impulse
// response, the band's share of it from the two power responses integrated over the spectrum),
// so that the expected RMS is the level. A look-ahead PeakLimiter keeps the rare Gaussian-like
// peaks of pink and brown below full scale.
//
// Threads: process() runs on the rendering thread under the container's lock; the level is
// written before rendering starts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/audio_module.h"
#include "synthesis/band_pass.h"
#include "synthesis/peak_limiter.h"

enum class NoiseColour { White, Pink, Brown };

// The xoshiro256+ generator.
class NoiseSource {
  public:
    explicit NoiseSource(uint64_t seed);
    // A uniform number in [-1, 1).
    double next();

  private:
    std::array<uint64_t, 4> state{};
};

class M_Noise : public AudioModule {
  public:
    static constexpr int32_t kLevelInput = 0;  // the RMS level, linear
    static constexpr int32_t kOutput = 0;

    struct Band {
        double lowHz = 0.0;
        double highHz = 0.0;
    };
    M_Noise(NoiseColour colour, uint64_t seed, std::optional<Band> band = std::nullopt);

    // The generator back to its seed, the filters and the limiter emptied.
    void reset() override;

    // One sample. Allocates nothing; the first frame at a new rate designs the filter.
    void process() override;

    // The squared magnitude of the colour filter at each of `hz` for `rateHz`, relative to its
    // RMS gain (so that white noise through it has a power density whose mean over the whole
    // band is 1).
    static std::vector<double> powerResponse(NoiseColour colour, const std::vector<double>& hz,
                                             double rateHz);

    const NoiseColour colour;
    const uint64_t seed;

  private:
    static constexpr size_t kMaxSections = 10;
    struct Section {
        double zero = 0.0;
        double pole = 0.0;
        double lastIn = 0.0;
        double lastOut = 0.0;
    };
    struct Filter {
        std::array<Section, kMaxSections> sections{};
        size_t count = 0;
        double rmsOfWhite = 1.0;  // the RMS of the output for the uniform white input
    };
    static Filter design(NoiseColour colour, double rateHz);
    static double run(Filter& filter, double x);
    static double response(const Filter& filter, double hz, double rateHz);
    // The share of the colour's power that the band passes.
    double bandShare(double rateHz) const;

    NoiseSource source;
    Filter filter;
    std::optional<BandPass> band;
    double bandMakeUp = 1.0;
    double gainLevel = 0.0;  // the level that `gain` was worked out for
    double gain = 0.0;
    PeakLimiter limiter;
    int32_t designedRateHz = 0;
};
