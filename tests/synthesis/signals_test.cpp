// The signal modules where a file adds nothing: a shape's stack against its octaves, the
// noises' designed colour at every rate, and a tone that a sweep carries past the band limit.
// Harmonics, aliases, levels, the band and the sweep's law are measured end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <numeric>
#include <vector>

#include "synthesis/noise.h"
#include "synthesis/sweep.h"
#include "synthesis/wave_stack.h"
#include "tests/synthesis/sample_rate_guard.h"

namespace {

std::vector<double> render(AudioModule& module, size_t frames) {
    std::vector<double> out(frames);
    for (double& sample : out) {
        module.process();
        sample = module.outputValue(0);
    }
    return out;
}

TEST(ToneShapes, AStackIsTheMeanOfItsOctavesAndNeverPassesTheAmplitude) {
    SampleRateGuard guard(48000);
    for (ToneShape shape : {ToneShape::Square, ToneShape::Triangle, ToneShape::Sawtooth}) {
        M_WaveStack stack(shape, 3);
        stack.setInputValue(0, 220.0);
        stack.setInputValue(1, 0.5);
        std::vector<std::vector<double>> octaves;
        M_WaveStack one(shape, 1);
        one.setInputValue(1, 0.5);
        for (double hz : {220.0, 440.0, 880.0}) {
            one.reset();
            one.setInputValue(0, hz);
            octaves.push_back(render(one, 4800));
        }
        const std::vector<double> sum = render(stack, 4800);
        double peak = 0.0;
        double squares = 0.0;
        for (size_t i = 0; i < sum.size(); ++i) {
            ASSERT_NEAR(sum[i], (octaves[0][i] + octaves[1][i] + octaves[2][i]) / 3.0, 1e-12);
            peak = std::max(peak, std::abs(sum[i]));
            squares += sum[i] * sum[i];
        }
        EXPECT_LE(peak, 0.5);
        // The level report's figures are those of what plays (4800 frames: 22 whole periods).
        const M_WaveStack::Levels levels = stack.levelsAt(220.0, 48000);
        EXPECT_NEAR(levels.peak, peak, 0.002);
        EXPECT_NEAR(levels.rms, std::sqrt(squares / 4800.0), 0.001);
    }
}

// Octave bands of the designed response against the ideal slope, anchored at 1 kHz.
TEST(Noise, ColoursFollowTheirSlopeInEveryOctaveBandAtEveryRate) {
    struct Case {
        NoiseColour colour;
        double dBPerOctave;
        double lowestBandHz;
        double toleranceDb;
    };
    for (const Case& c :
         {Case{NoiseColour::White, 0.0, 31.5, 0.01}, Case{NoiseColour::Pink, -3.0103, 31.5, 0.5},
          Case{NoiseColour::Brown, -6.0206, 63.0, 1.0}}) {
        for (double rate : {44100.0, 48000.0, 96000.0, 192000.0}) {
            const auto bandDensity = [&](double centre) {
                const double low = centre / std::sqrt(2.0);
                const double high = std::min(centre * std::sqrt(2.0), rate / 2.0);
                std::vector<double> hz;
                for (int i = 0; i < 200; ++i) {
                    hz.push_back(low + (high - low) * (i + 0.5) / 200);
                }
                const std::vector<double> power = M_Noise::powerResponse(c.colour, hz, rate);
                // The mean density over the band.
                return 10.0 * std::log10(std::accumulate(power.begin(), power.end(), 0.0) / 200.0);
            };
            const double reference = bandDensity(1000.0);
            for (double centre = c.lowestBandHz; centre < 17000.0; centre *= 2.0) {
                // The ideal density at the band's centre, averaged over the band.
                const double low = centre / std::sqrt(2.0);
                const double high = std::min(centre * std::sqrt(2.0), rate / 2.0);
                const double exponent = c.dBPerOctave / (10.0 * std::log10(2.0));
                double ideal = 0.0;
                double idealAt1k = 0.0;
                for (int i = 0; i < 200; ++i) {
                    ideal += std::pow(low + (high - low) * (i + 0.5) / 200, exponent);
                    idealAt1k +=
                        std::pow(1000.0 / std::sqrt(2.0) * (1.0 + (i + 0.5) / 200), exponent);
                }
                const double expected = 10.0 * std::log10(ideal / idealAt1k);
                EXPECT_NEAR(bandDensity(centre) - reference, expected, c.toleranceDb)
                    << static_cast<int>(c.colour) << " band " << centre << " Hz at " << rate;
            }
        }
    }
}

TEST(Sweep, ATopToneFadesOutInsteadOfStopping) {
    SampleRateGuard guard(44100);
    M_Sweep sweep(5000.0, 21900.0, 1.0, SweepLaw::Linear);
    M_WaveStack tone(ToneShape::Sine, 2);  // the octave crosses the band limit and fades
    sweep.connect(M_Sweep::kOutput, 0, tone);
    tone.setInputValue(1, 1.0);
    double previous = 0.0;
    double largestStep = 0.0;
    for (int n = 0; n < 44100; ++n) {
        sweep.process();
        tone.process();
        largestStep = std::max(largestStep, std::abs(tone.outputValue(0) - previous));
        previous = tone.outputValue(0);
    }
    // A sine at f moves at most 2π f / rate per frame, times the half of each of the two tones.
    EXPECT_LT(largestStep, 0.5 * 2.0 * std::numbers::pi * (21900.0 + 11000.0) / 44100.0);
}

}  // namespace
