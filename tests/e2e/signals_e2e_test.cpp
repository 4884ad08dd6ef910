// The signals end to end: the tonarium binary writes each one to a sound file, read back with
// libsndfile and measured: the shapes' harmonics and aliases, the noises' colour, band and level,
// the sweep's law, notes by name, the seed, and the refusals of bad input.
#include <gtest/gtest.h>

#include <complex>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "synthesis/fft.h"
#include "tests/support/child_process.h"
#include "tests/support/signal_analysis.h"

namespace {

namespace fs = std::filesystem;
using Ms = std::chrono::milliseconds;
constexpr Ms kLimit{60000};

double dB(double ratio) {
    return 20.0 * std::log10(ratio);
}

struct Written {
    std::optional<int> status;
    std::string output;  // standard output and error
    std::vector<double> left;
    int rate = 0;
};

class Signals : public testing::Test {
  protected:
    void SetUp() override { fs::create_directories(folder); }
    void TearDown() override { fs::remove_all(folder); }

    // Runs tonarium with the arguments and "-o" a new file; reads the file back if there is one.
    Written write(const std::string& arguments) {
        const fs::path path = folder / ("run" + std::to_string(++runs) + ".wav");
        std::istringstream split(arguments);
        std::vector<std::string> argv{TONARIUM_BINARY, "-o", path.string(), "-b", "32"};
        argv.insert(argv.end(), std::istream_iterator<std::string>(split), {});
        ChildProcess program(argv, {.output = true, .errorToOutput = true});
        Written written;
        written.status = program.waitForExit(kLimit);
        written.output = program.output(kLimit);
        if (fs::exists(path)) {
            SndfileHandle file(path.string());
            written.rate = file.samplerate();
            written.left = leftOf(file);
        }
        return written;
    }

    const fs::path folder = fs::path(testing::TempDir()) / ("signals-" + std::to_string(getpid()));
    int runs = 0;
};

std::vector<std::complex<double>> spectrum(std::span<const double> signal, bool hann) {
    std::vector<std::complex<double>> bins(signal.size());
    for (size_t i = 0; i < signal.size(); ++i) {
        const double w =
            hann ? 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / signal.size()) : 1.0;
        bins[i] = signal[i] * w;
    }
    fftInPlace(bins, false);
    return bins;
}

// The mean power density of each bin of `size`, over half-overlapped Hann windows.
std::vector<double> density(std::span<const double> signal, size_t size) {
    std::vector<double> sum(size / 2);
    size_t windows = 0;
    for (size_t start = 0; start + size <= signal.size(); start += size / 2, ++windows) {
        const auto bins = spectrum(signal.subspan(start, size), true);
        for (size_t i = 0; i < sum.size(); ++i) {
            sum[i] += std::norm(bins[i]);
        }
    }
    for (double& value : sum) {
        value /= static_cast<double>(windows);
    }
    return sum;
}

// The mean density from `lowHz` to `highHz`, in dB.
double bandDb(const std::vector<double>& bins, double rate, double lowHz, double highHz) {
    const double binHz = rate / (2.0 * static_cast<double>(bins.size()));
    double sum = 0.0;
    int count = 0;
    for (auto i = static_cast<size_t>(std::ceil(lowHz / binHz)); i * binHz < highHz; ++i, ++count) {
        sum += bins[i];
    }
    return 10.0 * std::log10(sum / count);
}

// The fundamental on an odd bin of a whole 2^16-frame transform: harmonics on their bins, every
// alias elsewhere.
TEST_F(Signals, ShapesHaveEveryHarmonicAtItsIdealLevelAndNoAliasAbove80dBDown) {
    constexpr size_t kFrames = 1 << 16;
    for (const char* shape : {"square", "triangle", "sawtooth"}) {
        for (int rate : {44100, 192000}) {
            const size_t bin = static_cast<size_t>(1000.0 * kFrames / rate) | 1;
            const double hz = static_cast<double>(bin) * rate / kFrames;
            char frequency[64];
            std::snprintf(frequency, sizeof frequency, "%.12f", hz);
            const Written w = write(std::string("-w ") + shape + " -r " + std::to_string(rate) +
                                    " -a 1 -d 2 -f " + frequency);
            ASSERT_EQ(w.status, 0) << w.output;
            const auto bins = spectrum(std::span(w.left).first(kFrames), false);
            const auto level = [&](size_t i) { return std::abs(bins[i]); };
            // Ideal amplitudes relative to the fundamental: 1/n (square: odd only), 1/n² (odd).
            const std::string s = shape;
            double worstHarmonic = 0.0;
            double worstAlias = 0.0;
            for (size_t i = 1; i < kFrames / 2; ++i) {
                const size_t n = i / bin;
                const bool harmonic = i % bin == 0 && (s == "sawtooth" || n % 2 == 1);
                if (harmonic && n * hz < std::min(20000.0, 0.45 * rate)) {
                    const double ideal = s == "triangle" ? 1.0 / (n * n) : 1.0 / n;
                    worstHarmonic =
                        std::max(worstHarmonic, std::abs(dB(level(i) / level(bin) / ideal)));
                } else if (!harmonic) {
                    worstAlias = std::max(worstAlias, level(i));
                }
            }
            EXPECT_LT(worstHarmonic, 0.1) << shape << " at " << rate;
            EXPECT_LT(dB(worstAlias / level(bin)), -80.0) << shape << " at " << rate;
        }
    }
}

// Octave bands from 31.5 Hz (brown: 63 Hz) to 16 kHz against the ideal slope through 1 kHz;
// the band's skirts an octave and two outside it.
TEST_F(Signals, NoisesFallByTheirSlopeAndTheBandCutsItsSkirts) {
    struct Case {
        const char* arguments;
        double dBPerOctave;
        double lowestBandHz;
        double toleranceDb;
    };
    for (const Case& c : {Case{"-w white", 0.0, 31.5, 0.5}, Case{"-w pink", -3.01, 31.5, 0.5},
                          Case{"-w brown", -6.02, 63.0, 1.0}}) {
        const Written w = write(std::string(c.arguments) + " --seed 1 -r 48000 -d 30");
        ASSERT_EQ(w.status, 0) << w.output;
        const auto bins = density(w.left, 1 << 14);
        const double at1k = bandDb(bins, 48000, 1000 / std::sqrt(2.0), 1000 * std::sqrt(2.0));
        for (double centre = c.lowestBandHz; centre < 17000; centre *= 2) {
            const double octaves = std::log2(centre / 1000.0);
            EXPECT_NEAR(
                bandDb(bins, 48000, centre / std::sqrt(2.0), centre * std::sqrt(2.0)) - at1k,
                c.dBPerOctave * octaves, c.toleranceDb)
                << c.arguments << " band " << centre;
        }
    }
    const Written band = write("-w pink --band 500:2000 --seed 1 -r 48000 -d 30");
    ASSERT_EQ(band.status, 0) << band.output;
    const auto bins = density(band.left, 1 << 14);
    const auto at = [&](double hz) { return bandDb(bins, 48000, hz * 0.97, hz * 1.03); };
    EXPECT_NEAR(at(800) - at(1250), 3.01 * std::log2(1250.0 / 800.0), 0.5);  // inside: pink
    for (auto [inside, outside, least] : {std::tuple{500.0, 250.0, 24.0},
                                          {500.0, 125.0, 48.0},
                                          {2000.0, 4000.0, 24.0},
                                          {2000.0, 8000.0, 48.0}}) {
        // The pink slope between the two points is taken out: the rest is the band's.
        const double pink = 3.01 * std::log2(outside / inside);
        EXPECT_GT(at(inside) - at(outside) - pink, least - 3.0 - 0.5) << outside;
    }
}

TEST_F(Signals, LevelsAreThePeakOfATonesumAndTheRmsOfANoise) {
    struct Case {
        const char* arguments;
        double peakDb;  // NaN: not checked
        double rmsDb;
        double toleranceDb;
    };
    const double any = std::nan("");
    for (const Case& c :
         {Case{"-w square -f 100 -a -6dB", -6.0, any, 1.5},  // at most -6
          Case{"-w white", any, -20.0, 0.1}, Case{"-w pink", any, -20.0, 0.1},
          Case{"-w brown", any, -20.0, 0.3}, Case{"-w pink -a -10dB", any, -10.0, 0.1},
          Case{"-w pink --band 100:1000", any, -20.0, 0.1}}) {
        const Written w = write(std::string(c.arguments) + " --seed 3 -r 48000 -d 20");
        ASSERT_EQ(w.status, 0) << w.output;
        double peak = 0.0;
        for (double x : w.left) {
            peak = std::max(peak, std::abs(x));
        }
        if (!std::isnan(c.peakDb)) {
            EXPECT_LE(dB(peak), c.peakDb + 0.01) << c.arguments;
            EXPECT_GT(dB(peak), c.peakDb - c.toleranceDb) << c.arguments;
        } else {
            EXPECT_NEAR(dB(rmsOf(w.left)), c.rmsDb, c.toleranceDb) << c.arguments;
            EXPECT_LT(peak, 1.0) << c.arguments;
        }
        // The report's line of the signal gives the level asked for.
        EXPECT_NE(w.output.find("Сигнал: "), std::string::npos) << w.output;
    }
}

// Over every 20 periods, the mean frequency from the zero crossings against the law's; in windows
// of 50 ms above 400 Hz, the RMS; and exactly the frames of the duration.
TEST_F(Signals, SweepsFollowTheirLawAtAFlatLevelForExactlyTheirDuration) {
    for (const bool linear : {false, true}) {
        const Written w = write(std::string("--sweep 100:10000") + (linear ? ":lin" : "") +
                                " -r 48000 -a 1 -d 2");
        ASSERT_EQ(w.status, 0) << w.output;
        ASSERT_EQ(w.left.size(), 96000u);
        const auto law = [&](double seconds) {
            return linear ? 100.0 + 9900.0 * seconds / 2.0 : 100.0 * std::pow(100.0, seconds / 2.0);
        };
        // The cycles of the law from the start: its integral.
        const auto cycles = [&](double t) {
            return linear ? 100.0 * t + 9900.0 * t * t / 4.0
                          : 100.0 * 2.0 / std::log(100.0) * (std::pow(100.0, t / 2.0) - 1.0);
        };
        // The rising zero crossings, in seconds, each between its two samples.
        std::vector<double> crossings;
        for (size_t i = 1; i < w.left.size(); ++i) {
            if (w.left[i - 1] < 0.0 && w.left[i] >= 0.0) {
                crossings.push_back((i - 1 + w.left[i - 1] / (w.left[i - 1] - w.left[i])) /
                                    48000.0);
            }
        }
        // Over every stretch of 20 crossings, the mean frequency against the law's.
        double worstHz = 0.0;
        double worstRms = 0.0;
        for (size_t i = 0; i + 20 < crossings.size(); i += 20) {
            const double span = crossings[i + 20] - crossings[i];
            const double expected = (cycles(crossings[i + 20]) - cycles(crossings[i])) / span;
            worstHz = std::max(worstHz, std::abs(20.0 / span / expected - 1.0));
        }
        for (size_t start = 0; start + 2400 <= w.left.size(); start += 2400) {
            if (law(start / 48000.0) > 400.0) {
                const double rms = rmsOf(std::span(w.left).subspan(start, 2400));
                worstRms = std::max(worstRms, std::abs(dB(rms * std::sqrt(2.0))));
            }
        }
        EXPECT_LT(worstHz, 1e-3) << linear;
        EXPECT_LT(worstRms, 0.1) << linear;
    }
}

TEST_F(Signals, NotesResolveInEqualTemperamentAndTheReportSaysTheFrequency) {
    const std::pair<const char*, double> table[] = {{"-f A4", 440.0},
                                                    {"-f c#5", 554.365},
                                                    {"-f Db3", 138.591},
                                                    {"-f B3-20c", 244.105},
                                                    {"-f G2+7c", 98.3957},
                                                    {"-f A4 --a4 432", 432.0},
                                                    {"-f bb3 -w triangle", 233.082}};
    for (const auto& [arguments, hz] : table) {
        const Written w = write(std::string(arguments) + " -r 48000 -d 1");
        ASSERT_EQ(w.status, 0) << w.output;
        const size_t at = w.output.find("Сигнал: ");
        ASSERT_NE(at, std::string::npos) << w.output;
        const size_t comma = w.output.find(", ", at);
        EXPECT_NEAR(std::stod(w.output.substr(comma + 2)), hz, 0.001) << arguments;
        EXPECT_NEAR(zeroCrossingHz(w.left, 48000), hz, hz * 1e-4) << arguments;
    }
}

TEST_F(Signals, TheSeedRepeatsANoiseSampleForSampleAndWithoutItEachRunDiffers) {
    for (const char* colour : {"white", "pink", "brown"}) {
        const std::string arguments = std::string("-w ") + colour + " -d 0.5";
        const Written first = write(arguments + " --seed 42");
        EXPECT_EQ(first.left, write(arguments + " --seed 42").left) << colour;
        EXPECT_NE(first.left, write(arguments + " --seed 43").left) << colour;
        EXPECT_NE(write(arguments).left, write(arguments).left) << colour;
    }
}

TEST_F(Signals, BadInputIsOneLineNamingTheOptionAndStatusTwoWithNoFile) {
    const std::pair<const char*, const char*> table[] = {
        {"-w noise -d 1", "«noise» параметра --wave"},
        {"-w pink --band 2000:500 -d 1", "«2000:500» параметра --band"},
        {"-w pink --band 100:50000 -d 1", "«100:50000» параметра --band"},
        {"-w pink --band 100 -d 1", "«100» параметра --band"},
        {"-w pink --band 100:5000 -r 8000 -d 1", "«100:5000» параметра --band"},
        {"--band 100:1000 -f 440 -d 1", "--band"},
        {"--sweep 20:20000", "--sweep требует --duration"},
        {"--sweep 20:60000 -d 1", "«20:60000» параметра --sweep"},
        {"--sweep 20:2000:cubic -d 1", "«20:2000:cubic» параметра --sweep"},
        {"--sweep 20:2000 -f 440 -d 1", "--sweep"},
        {"-f H4 -d 1", "«H4» параметра --frequency"},
        {"-f A4+200c -d 1", "«A4+200c» параметра --frequency"},
        {"-f C#x -d 1", "«C#x» параметра --frequency"},
        {"-w white --seed -1 -d 1", "«-1» параметра --seed"},
        {"-w white --seed 18446744073709551616 -d 1", "«18446744073709551616» параметра --seed"},
        {"-w brown -n 2 -d 1", "--tones"},
        {"-w white -f 440 -d 1", "--frequency"},
        {"-f A4 --a4 0 -d 1", "«0» параметра --a4"}};
    for (const auto& [arguments, named] : table) {
        const Written w = write(arguments);
        EXPECT_EQ(w.status, 2) << arguments;
        EXPECT_TRUE(w.output.starts_with("Ошибка: ")) << w.output;
        EXPECT_NE(w.output.find(named), std::string::npos) << w.output;
        EXPECT_TRUE(w.output.ends_with(" Справка: tonarium --help\n")) << w.output;
        EXPECT_EQ(std::count(w.output.begin(), w.output.end(), '\n'), 1) << w.output;
        EXPECT_EQ(w.rate, 0) << arguments << ": a file was made";
    }
}

}  // namespace
