// The signal modules: the band-limited shapes' harmonics and aliases, the stack of a shape, the
// noises' colour and level, the band's skirts, and the sweep's law.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numeric>
#include <vector>

#include "synthesis/band_pass.h"
#include "synthesis/fft.h"
#include "synthesis/noise.h"
#include "synthesis/sweep.h"
#include "synthesis/wave_stack.h"
#include "tests/synthesis/sample_rate_guard.h"

namespace {

double dB(double ratio) {
    return 20.0 * std::log10(ratio);
}

std::vector<double> render(AudioModule& module, size_t frames) {
    std::vector<double> out(frames);
    for (double& sample : out) {
        module.process();
        sample = module.outputValue(0);
    }
    return out;
}

// The amplitude of every bin of a whole number of periods (no window needed).
std::vector<double> amplitudes(const std::vector<double>& signal) {
    std::vector<std::complex<double>> bins(signal.begin(), signal.end());
    fftInPlace(bins, false);
    std::vector<double> out(bins.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = 2.0 * std::abs(bins[i]) / static_cast<double>(bins.size());
    }
    return out;
}

// The fundamental is an odd number of bins of a power-of-two transform, so every harmonic sits
// on a bin of its own and every alias (a harmonic folded at half the rate, an image of the
// interpolation) lands on a bin that is no multiple of the fundamental's.
TEST(ToneShapes, EveryHarmonicBelowTheLimitIsIdealAndEveryAliasIs80dBDown) {
    constexpr size_t kFrames = 1 << 16;
    struct Case {
        ToneShape shape;
        int32_t rate;
        size_t fundamentalBin;
    };
    for (ToneShape shape : {ToneShape::Square, ToneShape::Triangle, ToneShape::Sawtooth}) {
        M_WaveStack stack(shape, 1);
        const WaveTables& tables = stack.waveTables();
        for (int32_t rate : {44100, 192000}) {
            SampleRateGuard guard(rate);
            // Near 55 Hz, 440 Hz, 3 kHz and 9 kHz: many harmonics down to just the fundamental.
            for (double roughHz : {55.0, 440.0, 3000.0, 9000.0}) {
                const size_t fundamentalBin = static_cast<size_t>(roughHz * kFrames / rate) | 1;
                const double hz = static_cast<double>(fundamentalBin) * rate / kFrames;
                stack.reset();
                stack.setInputValue(0, hz);
                stack.setInputValue(1, 1.0);
                const std::vector<double> bins = amplitudes(render(stack, kFrames));
                const double fundamental =
                    std::abs(WaveTables::idealHarmonic(shape, 1)) * tables.scale();
                const double limit = WaveTables::bandLimitHz(rate);
                double worstHarmonicDb = 0.0;
                double worstAlias = 0.0;
                for (size_t bin = 1; bin < bins.size(); ++bin) {
                    const auto n = static_cast<int32_t>(bin / fundamentalBin);
                    const double ideal =
                        std::abs(WaveTables::idealHarmonic(shape, n)) * tables.scale();
                    if (bin % fundamentalBin != 0 || (n * hz < limit && ideal == 0.0)) {
                        worstAlias = std::max(worstAlias, bins[bin]);  // absent even harmonics too
                    } else if (n * hz < limit) {
                        worstHarmonicDb =
                            std::max(worstHarmonicDb, std::abs(dB(bins[bin] / ideal)));
                    }
                }
                const std::string what = std::to_string(static_cast<int>(shape)) + " at " +
                                         std::to_string(hz) + " Hz, rate " + std::to_string(rate);
                EXPECT_LT(worstHarmonicDb, 0.1) << what;
                EXPECT_LT(dB(worstAlias / fundamental), -80.0) << what;
            }
        }
    }
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

TEST(Noise, LevelIsTheRmsPeaksStayBelowFullScaleAndTheSeedRepeatsIt) {
    SampleRateGuard guard(48000);
    constexpr size_t kFrames = 48000 * 20;
    for (NoiseColour colour : {NoiseColour::White, NoiseColour::Pink, NoiseColour::Brown}) {
        for (double level : {0.1, 0.316}) {  // -20 and -10 dBFS RMS
            M_Noise noise(colour, 7);
            noise.setInputValue(M_Noise::kLevelInput, level);
            const std::vector<double> out = render(noise, kFrames);
            double squares = 0.0;
            double peak = 0.0;
            for (double x : out) {
                squares += x * x;
                peak = std::max(peak, std::abs(x));
            }
            const double tolerance = colour == NoiseColour::Brown ? 0.3 : 0.1;
            EXPECT_NEAR(dB(std::sqrt(squares / kFrames) / level), 0.0, tolerance)
                << static_cast<int>(colour) << " at " << level;
            EXPECT_LT(peak, 1.0);
            noise.reset();
            EXPECT_EQ(render(noise, 1000), std::vector<double>(out.begin(), out.begin() + 1000));
        }
    }
    M_Noise one(NoiseColour::White, 1);
    M_Noise other(NoiseColour::White, 2);
    one.setInputValue(0, 0.1);
    other.setInputValue(0, 0.1);
    EXPECT_NE(render(one, 1000), render(other, 1000));
}

TEST(Noise, TheBandFallsAtLeast24dBAnOctaveOutsideAndIsFlatInside) {
    for (double rate : {44100.0, 192000.0}) {
        BandPass band(200.0, 4000.0);
        band.design(rate);
        for (double hz : {100.0, 8000.0}) {
            EXPECT_LT(10.0 * std::log10(band.powerResponse(hz)), -24.0) << hz << " at " << rate;
        }
        for (double hz : {50.0, 16000.0}) {
            EXPECT_LT(10.0 * std::log10(band.powerResponse(hz)), -48.0) << hz << " at " << rate;
        }
        for (double hz : {400.0, 1000.0, 2000.0}) {
            EXPECT_NEAR(10.0 * std::log10(band.powerResponse(hz)), 0.0, 0.02) << hz;
        }
    }
    SampleRateGuard guard(48000);
    M_Noise noise(NoiseColour::Pink, 3, M_Noise::Band{200.0, 4000.0});
    noise.setInputValue(0, 0.1);
    const std::vector<double> out = render(noise, 48000 * 10);
    double squares = 0.0;
    for (double x : out) {
        squares += x * x;
    }
    EXPECT_NEAR(dB(std::sqrt(squares / out.size()) / 0.1), 0.0, 0.1);
}

TEST(Sweep, TheToneFollowsTheLawWithinAThousandthAndEndsAtItsTarget) {
    SampleRateGuard guard(48000);
    for (SweepLaw law : {SweepLaw::Exponential, SweepLaw::Linear}) {
        M_Sweep sweep(20.0, 20000.0, 2.0, law);
        M_WaveStack tone(ToneShape::Sine, 1);
        sweep.connect(M_Sweep::kOutput, 0, tone);
        tone.setInputValue(1, 1.0);
        double worst = 0.0;
        double before = 0.0;
        for (int64_t n = 0; n < 96000 + 10; ++n) {
            sweep.process();
            tone.process();
            // The phase advance of this frame, in cycles, is the frequency over the rate.
            const double advance = tone.phases[0] - before + (tone.phases[0] < before ? 1.0 : 0.0);
            before = tone.phases[0];
            const double expected = sweep.frequencyAt(std::min(n, int64_t{96000}) / 48000.0);
            worst = std::max(worst, std::abs(advance * 48000.0 / expected - 1.0));
        }
        EXPECT_LT(worst, 1e-3) << static_cast<int>(law);
        EXPECT_EQ(sweep.outputValue(0), 20000.0);
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
    EXPECT_LT(largestStep, 0.5 * 2.0 * M_PI * (21900.0 + 11000.0) / 44100.0);
}

}  // namespace
