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
const double kCountRatio = std::exp2(1.0 / 8.0);
constexpr size_t kMinTableLength = 512;
constexpr size_t kLengthPerHarmonic = 4;
// The top harmonic h of a table of N samples leaves an image about h / N² of the fundamental
// (its amplitude 1/h times (h/N)²): N ≥ 200 √h keeps it below -86 dB, and N ≥ 4h keeps the
// image of a top harmonic from 2500 on (at most 0.11 / h) below -87 dB.
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

size_t lengthFor(ToneShape shape, int32_t count) {
    if (shape == ToneShape::Sine) {
        return kSineTableLength;
    }
    const auto byRoot = static_cast<size_t>(kLengthPerRootHarmonic * std::sqrt(count));
    return std::bit_ceil(
        std::max({kMinTableLength, kLengthPerHarmonic * static_cast<size_t>(count), byRoot}));
}

// Adds to `spectrum` the harmonics 1 to m of the shape, each divided by the response of linear
// interpolation at its place in the table, times `unit` (1, or i to build a second table in
// the imaginary part of the same transform).
void addHarmonics(std::vector<std::complex<double>>& spectrum, ToneShape shape, int32_t harmonics,
                  std::complex<double> unit) {
    const size_t length = spectrum.size();
    for (int32_t n = 1; n <= harmonics; ++n) {
        const double x = std::numbers::pi * n / static_cast<double>(length);
        const double sinc = std::sin(x) / x;
        const double b = WaveTables::idealHarmonic(shape, n) / (sinc * sinc);
        // b sin(θ) = b (e^iθ - e^-iθ) / 2i
        spectrum[static_cast<size_t>(n)] += unit * std::complex<double>(0.0, -b / 2.0);
        spectrum[length - static_cast<size_t>(n)] += unit * std::complex<double>(0.0, b / 2.0);
    }
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
    size_t offset = 0;
    for (int32_t count : shape == ToneShape::Sine ? std::vector<int32_t>{1} : harmonicCounts()) {
        tables.push_back({offset, lengthFor(shape, count), count});
        offset += tables.back().length + 1;
    }
    // Two tables of one length from one transform: each is real, so one comes out in the real
    // part and the other in the imaginary part. The tables are stored as they come and scaled
    // in place once the largest sample of all is known.
    samples.resize(offset);
    std::vector<std::complex<double>> spectrum;
    double peak = 0.0;
    for (size_t t = 0; t < tables.size(); t += 2) {
        const bool pair = t + 1 < tables.size() && tables[t + 1].length == tables[t].length;
        spectrum.assign(tables[t].length, 0.0);
        addHarmonics(spectrum, shape, tables[t].harmonics, 1.0);
        if (pair) {
            addHarmonics(spectrum, shape, tables[t + 1].harmonics, {0.0, 1.0});
        }
        fftInPlace(spectrum, true);
        float* first = samples.data() + tables[t].offset;
        float* second = pair ? samples.data() + tables[t + 1].offset : nullptr;
        for (size_t i = 0; i < spectrum.size(); ++i) {
            first[i] = static_cast<float>(spectrum[i].real());
            peak = std::max(peak, std::abs(spectrum[i].real()));
            if (pair) {
                second[i] = static_cast<float>(spectrum[i].imag());
                peak = std::max(peak, std::abs(spectrum[i].imag()));
            }
        }
        t -= pair ? 0 : 1;
    }
    // Linear interpolation never leaves the range of the samples, so the largest sample bounds
    // every value played.
    scaleFactor = peak > 1.0 ? 1.0 / peak : 1.0;
    for (const Table& table : tables) {
        float* cycle = samples.data() + table.offset;
        for (size_t i = 0; i < table.length; ++i) {
            cycle[i] = static_cast<float>(cycle[i] * scaleFactor);
        }
        cycle[table.length] = cycle[0];
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
