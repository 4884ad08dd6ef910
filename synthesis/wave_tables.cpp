#include "synthesis/wave_tables.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <complex>
#include <numbers>

#include "synthesis/fft.h"

namespace {

constexpr double kMaxBandLimitHz = 20000.0;
constexpr double kBandLimitOfRate = 0.45;
// Every count up to here has a table of its own; above it the counts grow by kCountRatio.
constexpr int32_t kEveryCountUpTo = 64;
const double kCountRatio = std::exp2(1.0 / 12.0);
constexpr size_t kMinTableLength = 512;
constexpr size_t kLengthPerHarmonic = 8;
// The top harmonic h of a table of N samples leaves an image about h / N² of the fundamental
// (its amplitude 1/h times (h/N)²): N ≥ 200 √h keeps it below -86 dB.
constexpr double kLengthPerRootHarmonic = 200.0;
// The sine's one table: its image lies 144 dB below it.
constexpr size_t kSineTableLength = 4096;

std::vector<int32_t> harmonicCounts() {
    std::vector<int32_t> counts;
    for (int32_t m = 1; m <= kEveryCountUpTo; ++m) {
        counts.push_back(m);
    }
    while (counts.back() < WaveTables::kMaxHarmonics) {
        const auto next = static_cast<int32_t>(std::floor(counts.back() * kCountRatio));
        counts.push_back(std::min(next, WaveTables::kMaxHarmonics));
    }
    return counts;
}

// One cycle with harmonics 1 to m of the shape, each divided by the response of linear
// interpolation at its place in the table.
std::vector<double> buildCycle(ToneShape shape, int32_t harmonics, size_t length) {
    std::vector<std::complex<double>> spectrum(length);
    for (int32_t n = 1; n <= harmonics; ++n) {
        const double x = std::numbers::pi * n / static_cast<double>(length);
        const double sinc = std::sin(x) / x;
        const double b = WaveTables::idealHarmonic(shape, n) / (sinc * sinc);
        // b sin(θ) = b (e^iθ - e^-iθ) / 2i
        spectrum[static_cast<size_t>(n)] = std::complex<double>(0.0, -b / 2.0);
        spectrum[length - static_cast<size_t>(n)] = std::complex<double>(0.0, b / 2.0);
    }
    fftInPlace(spectrum, true);
    std::vector<double> cycle(length);
    std::transform(spectrum.begin(), spectrum.end(), cycle.begin(),
                   [](std::complex<double> value) { return value.real(); });
    return cycle;
}

}  // namespace

double WaveTables::idealHarmonic(ToneShape shape, int32_t n) {
    const double pi = std::numbers::pi;
    const bool odd = n % 2 == 1;
    switch (shape) {
        case ToneShape::Sine:
            return n == 1 ? 1.0 : 0.0;
        case ToneShape::Square:
            return odd ? 4.0 / (pi * n) : 0.0;
        case ToneShape::Triangle:
            return odd ? (n % 4 == 1 ? 1.0 : -1.0) * 8.0 / (pi * pi * n * n) : 0.0;
        case ToneShape::Sawtooth:
            return (odd ? 1.0 : -1.0) * 2.0 / (pi * n);
    }
    return 0.0;
}

WaveTables::WaveTables(ToneShape shape) {
    const bool sine = shape == ToneShape::Sine;
    std::vector<std::vector<double>> cycles;
    double peak = 0.0;
    size_t offset = 0;
    for (int32_t count : sine ? std::vector<int32_t>{1} : harmonicCounts()) {
        const auto byRoot = static_cast<size_t>(kLengthPerRootHarmonic * std::sqrt(count));
        const size_t length =
            sine ? kSineTableLength
                 : std::bit_ceil(std::max(
                       {kMinTableLength, kLengthPerHarmonic * static_cast<size_t>(count), byRoot}));
        cycles.push_back(buildCycle(shape, count, length));
        for (double value : cycles.back()) {
            peak = std::max(peak, std::abs(value));
        }
        tables.push_back({offset, length, count});
        offset += length + 1;
    }
    // Linear interpolation never leaves the range of the samples, so the largest sample bounds
    // every value played.
    scaleFactor = peak > 1.0 ? 1.0 / peak : 1.0;
    samples.resize(offset);
    for (size_t t = 0; t < tables.size(); ++t) {
        float* out = samples.data() + tables[t].offset;
        for (size_t i = 0; i < tables[t].length; ++i) {
            out[i] = static_cast<float>(cycles[t][i] * scaleFactor);
        }
        out[tables[t].length] = out[0];
    }
    tableForHarmonics.resize(kMaxHarmonics + 1);
    size_t table = 0;
    for (int32_t m = 0; m <= kMaxHarmonics; ++m) {
        while (table + 1 < tables.size() && tables[table].harmonics < m) {
            ++table;
        }
        tableForHarmonics[static_cast<size_t>(m)] = static_cast<uint16_t>(table);
    }
}

double WaveTables::bandLimitHz(double rateHz) {
    return std::min(kMaxBandLimitHz, kBandLimitOfRate * rateHz);
}

double WaveTables::gainAt(double hz, double rateHz) {
    const double limit = bandLimitHz(rateHz);
    const double fadeEnd = kFadeRatio * limit;
    if (!(hz > 0.0) || hz >= fadeEnd) {
        return 0.0;
    }
    if (hz <= limit) {
        return 1.0;
    }
    return 0.5 + 0.5 * std::cos(std::numbers::pi * (hz - limit) / (fadeEnd - limit));
}

size_t WaveTables::indexFor(double hz, double rateHz) const {
    // The harmonics strictly below the limit: n × hz < limit; at least the fundamental.
    const double ratio = bandLimitHz(rateHz) / hz;
    const double below = std::ceil(ratio) - 1.0;
    const auto count =
        below >= kMaxHarmonics ? kMaxHarmonics : std::max<int32_t>(1, static_cast<int32_t>(below));
    return tableForHarmonics[static_cast<size_t>(count)];
}

WaveTables::Choice WaveTables::choose(double hz, double rateHz) const {
    Choice choice;
    choice.gain = gainAt(hz, rateHz);
    // A muted tone still gets a table, so that lookup() is always safe.
    const Table& table =
        tables[choice.gain == 0.0 || tables.size() == 1 ? 0 : indexFor(hz, rateHz)];
    choice.samples = samples.data() + table.offset;
    choice.length = static_cast<double>(table.length);
    return choice;
}

int32_t WaveTables::harmonicsOf(double hz, double rateHz) const {
    if (gainAt(hz, rateHz) == 0.0) {
        return 0;
    }
    return tables[tables.size() == 1 ? 0 : indexFor(hz, rateHz)].harmonics;
}
