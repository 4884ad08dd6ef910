// M_Sines skips the tones it knows to be muted at phase 0.0. Here it runs side by side with the
// plain loop over every tone, through a long random script of frequencies (including the muting
// edge, tiny and non-finite ones), amplitudes, sampling rates, tone counts and resets, and both
// must agree to the last bit in every sample and every phase.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <vector>

#include "synthesis/sines.h"
#include "tests/synthesis/sample_rate_guard.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;

// The harmonic sum computed the straightforward way: every tone, every frame.
struct PlainSines {
    std::vector<double> phases;
    int32_t toneCount = 0;

    explicit PlainSines(int32_t count)
        : phases(static_cast<size_t>(count), 0.0), toneCount(count) {}

    double process(double f, double a, int32_t rate) {
        const auto sr = static_cast<double>(rate);
        const double step = kTwoPi / sr;
        if (f <= 0.0 || toneCount < 1) {
            return 0.0;
        }
        double sum = 0.0;
        for (int32_t k = 0; k < toneCount; ++k) {
            double& phase = phases[static_cast<size_t>(k)];
            sum += std::sin(phase);
            const double fk = std::pow(2.0, k) * f;
            if (2.0 * fk < sr) {
                phase += fk * step;
                if (phase > kTwoPi) {
                    phase -= kTwoPi;
                }
            } else {
                phase = 0.0;
            }
        }
        return sum * a / static_cast<double>(toneCount);
    }
};

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::bit_cast<uint64_t>(a[i]) != std::bit_cast<uint64_t>(b[i])) {
            return false;
        }
    }
    return true;
}

class Script {
  public:
    explicit Script(uint64_t seed) : random(seed) {}

    int32_t rate() {
        static constexpr int32_t rates[] = {8000, 11025, 22050, 44100, 48000, 96000, 192000, 7};
        return rates[pick(std::size(rates))];
    }

    double frequency(int32_t rate) {
        const double half = rate / 2.0;
        switch (pick(12)) {
            case 0:
                return 0.0;
            case 1:
                return -1.0;
            case 2:
                return half;
            case 3:
                return std::nextafter(half, 0.0);
            case 4:
                return std::ldexp(half, -static_cast<int>(pick(12)));
            case 5:
                return 1e-300;
            case 6:
                return std::numeric_limits<double>::denorm_min();
            case 7:
                return std::numeric_limits<double>::quiet_NaN();
            case 8:
                return std::numeric_limits<double>::infinity();
            case 9:
                return std::uniform_real_distribution<double>(0.0, 1.0)(random);
            default:
                return std::uniform_real_distribution<double>(1.0, half * 1.2)(random);
        }
    }

    int32_t toneCount() {
        static constexpr int32_t counts[] = {1, 2, 3, 5, 8, 16, 33, 200, 1100};
        return counts[pick(std::size(counts))];
    }

    double amplitude() { return std::uniform_real_distribution<double>(-1.0, 1.0)(random); }
    int frames() { return 1 + static_cast<int>(pick(40)); }
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); }

  private:
    std::mt19937_64 random;
};

TEST(SinesEquivalence, SkippingMutedTonesChangesNoBitOfAnySampleOrPhase) {
    SampleRateGuard guard(44100);
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        Script script(seed);
        M_Sines fast(3);
        PlainSines plain(3);
        int32_t rate = 44100;
        double f = 440.0;
        double a = 0.707;
        std::ostringstream history;

        for (int segment = 0; segment < 250; ++segment) {
            switch (script.pick(10)) {
                case 0: {
                    const int32_t n = script.toneCount();
                    history << " count=" << n;
                    ASSERT_TRUE(fast.setToneCount(n));
                    plain = PlainSines(n);
                    break;
                }
                case 1: {
                    // The tone count changed by writing the fields, as a caller may do.
                    const int32_t n = script.toneCount();
                    history << " fields=" << n;
                    fast.phases.clear();
                    fast.toneCount = n;
                    fast.phases.assign(static_cast<size_t>(n), 0.0);
                    plain = PlainSines(n);
                    break;
                }
                case 2:
                    history << " reset";
                    fast.reset();
                    plain.phases.assign(plain.phases.size(), 0.0);
                    break;
                case 3:
                    rate = script.rate();
                    history << " rate=" << rate;
                    break;
                case 4:
                    a = script.amplitude();
                    break;
                default:
                    f = script.frequency(rate);
                    history << " f=" << f;
                    break;
            }
            g_sampleRate = rate;
            fast.setInputValue(0, f);
            fast.setInputValue(1, a);
            const int frames = script.frames();
            for (int i = 0; i < frames; ++i) {
                fast.process();
                const double expected = plain.process(f, a, rate);
                ASSERT_EQ(std::bit_cast<uint64_t>(fast.outputValue(0)),
                          std::bit_cast<uint64_t>(expected))
                    << "seed " << seed << ", frame " << i << " after" << history.str();
            }
            ASSERT_TRUE(sameBits(fast.phases, plain.phases))
                << "seed " << seed << " after" << history.str();
        }
    }
}

TEST(SinesEquivalence, PhaseListGivenANewLengthDirectlyIsTakenAsItStands) {
    SampleRateGuard guard(44100);
    M_Sines fast(2);
    PlainSines plain(2);
    fast.setInputValue(0, 5000.0);
    fast.setInputValue(1, 1.0);
    for (int i = 0; i < 3; ++i) {
        fast.process();
        plain.process(5000.0, 1.0, 44100);
    }
    // Tones 2 to 4 are muted at 5000 Hz, yet hold phases other than 0.0.
    const std::vector<double> written = {0.5, 1.5, 2.5, 3.5, 4.5};
    fast.phases = written;
    fast.toneCount = 5;
    plain.phases = written;
    plain.toneCount = 5;
    for (int i = 0; i < 3; ++i) {
        fast.process();
        EXPECT_EQ(fast.outputValue(0), plain.process(5000.0, 1.0, 44100)) << "frame " << i;
    }
    EXPECT_EQ(fast.phases, plain.phases);
}

// Frame after frame with the same frequency, rate and tone count, the module reuses what it worked
// out on the frame before; whatever a caller writes between two frames must still count at once.
TEST(SinesEquivalence, WritesBetweenSteadyFramesCountFromTheNextFrame) {
    SampleRateGuard guard(44100);
    M_Sines fast(4);
    PlainSines plain(4);
    double f = 3000.0;  // 3000, 6000 and 12000 Hz sound; 24000 Hz is muted
    double a = 0.707;
    struct Step {
        const char* what;
        std::function<void()> write;
    };
    const std::vector<Step> steps = {
        {"nothing", [] {}},
        {"an audible phase", [&] { fast.phases[1] = plain.phases[1] = 1.0; }},
        {"the amplitude", [&] { a = -0.25; }},
        {"a hold", [&] { f = -1.0; }},
        {"the same frequency again", [&] { f = 3000.0; }},
        {"the rate", [&] { g_sampleRate = 48000; }},
        {"the rate back", [&] { g_sampleRate = 44100; }},
        {"a smaller count in the field", [&] { fast.toneCount = plain.toneCount = 2; }},
        {"the count back in the field", [&] { fast.toneCount = plain.toneCount = 4; }},
        {"a phase list of the same length",
         [&] {
             fast.phases = plain.phases = {0.5, 1.5, 2.5, 0.0};
         }},
    };
    for (const Step& step : steps) {
        step.write();
        fast.setInputValue(0, f);
        fast.setInputValue(1, a);
        for (int frame = 0; frame < 5; ++frame) {
            fast.process();
            const double expected = plain.process(f, a, g_sampleRate);
            ASSERT_EQ(std::bit_cast<uint64_t>(fast.outputValue(0)),
                      std::bit_cast<uint64_t>(expected))
                << "frame " << frame << " after writing " << step.what;
        }
        ASSERT_TRUE(sameBits(fast.phases, plain.phases)) << "after writing " << step.what;
    }
}

}  // namespace
