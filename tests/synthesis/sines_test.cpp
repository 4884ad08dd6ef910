// The tone source: known first samples, refused tone counts, and bit-for-bit
// agreement with the plain loop over every tone through a random script of changes.
#include "synthesis/sines.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <random>
#include <stdexcept>
#include <vector>

#include "tests/synthesis/sample_rate_guard.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::vector<double> play(M_Sines& sines, double hz, double amplitude, int frames) {
    sines.setInputValue(0, hz);
    sines.setInputValue(1, amplitude);
    std::vector<double> out;
    for (int i = 0; i < frames; ++i) {
        sines.process();
        out.push_back(sines.outputValue(0));
    }
    return out;
}

TEST(Sines, FirstSamplesMatchTheKnownValues) {
    struct Case {
        int32_t tones;
        double hz;
        int32_t rate;
        std::vector<double> expected;
    };
    for (const Case& c : {Case{1, 0.0, 44100, {0.0, 0.0, 0.0}},  // silent, phases held at 0
                          Case{1, 440.0, 44100, {0.0, 0.0626483, 0.1250505}},
                          Case{2, 1000.0, 48000, {0.0, 0.1946726, 0.3794095, 0.5448951}},
                          Case{2, 15000.0, 44100, {0.0, 0.4219348}},  // the octave muted
                          Case{1, 22050.0, 44100, {0.0, 0.0, 0.0}}}) {
        SampleRateGuard rate(c.rate);
        M_Sines sines(c.tones);
        const std::vector<double> out = play(sines, c.hz, 1.0, static_cast<int>(c.expected.size()));
        for (size_t i = 0; i < out.size(); ++i) {
            EXPECT_NEAR(out[i], c.expected[i], 1e-7) << c.tones << " x " << c.hz << ", " << i;
        }
        if (c.hz == 0.0 || std::ldexp(c.hz, c.tones) >= c.rate) {  // the top tone is muted
            EXPECT_EQ(sines.phases.back(), 0.0);
        }
    }
}

TEST(Sines, ToneCountOutOfRangeIsRefusedWithoutAnyChange) {
    SampleRateGuard rate(44100);
    M_Sines sines(3);
    play(sines, 440.0, 1.0, 10);
    const std::vector<double> before = sines.phases;
    for (int32_t count : {M_Sines::kMaxToneCount + 1, -1}) {
        EXPECT_FALSE(sines.setToneCount(count)) << count;
        EXPECT_EQ(sines.toneCount, 3);
        EXPECT_EQ(sines.phases, before);
    }
    EXPECT_TRUE(sines.setToneCount(M_Sines::kMaxToneCount));
    EXPECT_THROW(M_Sines(-1), std::length_error);
    EXPECT_THROW(M_Sines(M_Sines::kMaxToneCount + 1), std::length_error);
}

// The harmonic sum the straightforward way: every tone, every frame.
struct PlainSines {
    std::vector<double> phases;
    double process(double f, double a, int32_t rate) {
        const auto tones = static_cast<int32_t>(phases.size());
        if (f <= 0.0) {
            return 0.0;
        }
        double sum = 0.0;
        for (int32_t k = 0; k < tones; ++k) {
            double& phase = phases[static_cast<size_t>(k)];
            sum += std::sin(phase);
            const double fk = std::ldexp(f, k);
            phase = 2.0 * fk < rate ? phase + fk * (kTwoPi / rate) : 0.0;
            phase -= phase > kTwoPi ? kTwoPi : 0.0;
        }
        return tones < 1 ? 0.0 : sum * a / tones;
    }
};

// The module skips tones it knows to be muted and reuses the frame before's plan; neither may
// change a bit of any sample or phase, whatever is changed between frames.
TEST(Sines, AgreesBitForBitWithThePlainLoopThroughRandomChanges) {
    SampleRateGuard guard(44100);
    std::mt19937_64 random(11);
    const auto pick = [&](size_t n) {
        return std::uniform_int_distribution<size_t>(0, n - 1)(random);
    };
    const int32_t rates[] = {8000, 44100, 48000, 192000, 7};
    const int32_t counts[] = {0, 1, 2, 3, 5, 16, 200, 1100};
    M_Sines fast(3);
    PlainSines plain{std::vector<double>(3, 0.0)};
    double f = 440.0;
    double a = 0.707;
    const std::vector<std::function<void()>> changes = {
        [&] {
            const int32_t n = counts[pick(std::size(counts))];
            ASSERT_TRUE(fast.setToneCount(n));
            plain.phases.assign(static_cast<size_t>(n), 0.0);
        },
        [&] {  // a new phase list written directly, muted tones holding phases other than 0
            const size_t n = plain.phases.size() % 6 + 1;
            plain.phases.resize(n);
            for (double& phase : plain.phases) {
                phase = static_cast<double>(pick(60)) / 10.0;
            }
            fast.phases = plain.phases;
            fast.toneCount = static_cast<int32_t>(n);
        },
        [&] { fast.phases[0] = plain.phases[0] = 1.0; },
        [&] {
            fast.reset();
            plain.phases.assign(plain.phases.size(), 0.0);
        },
        [&] { g_sampleRate = rates[pick(std::size(rates))]; },
        [&] { a = std::uniform_real_distribution<double>(-1.0, 1.0)(random); },
        [&] {  // the muting edge, tiny, held, not a number, or anywhere up to 1.5 x half the rate
            const double half = g_sampleRate / 2.0;
            const double edges[] = {0.0, -1.0, half, std::nextafter(half, 0.0), 1e-300, NAN};
            f = pick(3) ? std::ldexp(half, -static_cast<int>(pick(14))) * (0.5 + pick(100) / 100.0)
                        : edges[pick(std::size(edges))];
        },
    };
    for (int step = 0; step < 1500; ++step) {
        const size_t change = pick(changes.size() + 3);
        const bool audible = f > 0.0 && 2.0 * f < g_sampleRate && !fast.phases.empty();
        if (change < changes.size() && (change != 2 || audible)) {
            changes[change]();
        }
        for (int frame = 1 + static_cast<int>(pick(20)); frame > 0; --frame) {
            fast.setInputValue(0, f);
            fast.setInputValue(1, a);
            fast.process();
            const double expected = plain.process(f, a, g_sampleRate);
            ASSERT_EQ(std::bit_cast<uint64_t>(fast.outputValue(0)),
                      std::bit_cast<uint64_t>(expected))
                << "step " << step << " after change " << change << ", f " << f;
        }
        ASSERT_EQ(fast.phases, plain.phases) << "step " << step;
    }
}

}  // namespace
