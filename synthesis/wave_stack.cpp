#include "synthesis/wave_stack.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

// Points per period of the highest harmonic when the levels are measured.
constexpr size_t kPointsPerHarmonic = 32;
constexpr size_t kMinLevelPoints = 1024;
constexpr size_t kMaxLevelPoints = size_t{1} << 22;

const char* nameOf(ToneShape shape) {
    switch (shape) {
        case ToneShape::Square:
            return "меандр";
        case ToneShape::Triangle:
            return "треугольник";
        case ToneShape::Sawtooth:
            return "пила";
        default:
            return "синусы";
    }
}

}  // namespace

M_WaveStack::M_WaveStack(ToneShape shape, int32_t toneCount)
    : M_Sines(toneCount), shape(shape), tables(shape) {
    name = nameOf(shape);
}

double M_WaveStack::valueOf(const Tone& tone, double phase) const {
    return tone.table.gain * WaveTables::lookup(tone.table, phase);
}

void M_WaveStack::plan(double hz) {
    const auto rate = static_cast<double>(*sampleRate);
    framesPerSecond = rate;
    secondsPerFrame = 1.0 / rate;
    limitHz = WaveTables::bandLimitHz(rate);
    fadeEndHz = WaveTables::kFadeRatio * limitHz;
    const size_t count = std::min(phases.size(), static_cast<size_t>(std::max(toneCount, 0)));
    size_t k = 0;
    for (double fk = hz; k < std::min(count, kMaxAudibleTones); ++k, fk += fk) {
        tones[k].table = tables.choose(fk, rate);
        if (tones[k].table.gain == 0.0) {
            break;  // every tone above is muted too
        }
        tones[k].increment = fk * secondsPerFrame;
    }
    audible = k;
    // Muted tones restart from phase 0 when they come back, as the sines do.
    for (size_t m = audible; m < std::min(live, phases.size()); ++m) {
        phases[m] = 0.0;
    }
    live = audible;
    plannedHz = hz;
    plannedRateHz = *sampleRate;
    plannedToneCount = toneCount;
    plannedPhases = phases.data();
    plannedLength = phases.size();
}

bool M_WaveStack::retune(double hz) {
    double fk = hz;
    for (size_t k = 0; k < audible; ++k, fk += fk) {
        if (!(fk <= limitHz)) {
            return false;
        }
        tones[k].increment = fk * secondsPerFrame;
        if (shape != ToneShape::Sine) {  // the sine has one table
            tones[k].table = tables.choose(fk, framesPerSecond);
        }
    }
    const size_t count = std::min(phases.size(), static_cast<size_t>(toneCount));
    if (audible == 0 || (audible < std::min(count, kMaxAudibleTones) && fk < fadeEndHz)) {
        return false;
    }
    plannedHz = hz;
    return true;
}

void M_WaveStack::process() {
    const double hz = inputValue(0);
    if (!(hz > 0.0) || toneCount < 1) {
        outputs[0].value = 0.0;
        return;
    }
    if (hz != plannedHz || *sampleRate != plannedRateHz || toneCount != plannedToneCount ||
        phases.data() != plannedPhases || phases.size() != plannedLength) {
        const bool onlyTheFrequency =
            *sampleRate == plannedRateHz && toneCount == plannedToneCount &&
            phases.data() == plannedPhases && phases.size() == plannedLength;
        if (phases.data() != plannedPhases || phases.size() != plannedLength) {
            live = 0;  // a new list starts at phase 0
        }
        if (!onlyTheFrequency || !retune(hz)) {
            plan(hz);
        }
    }
    double sum = 0.0;
    double* phase = phases.data();
    for (size_t k = 0; k < audible; ++k) {
        sum += valueOf(tones[k], phase[k]);
        double next = phase[k] + tones[k].increment;
        if (next >= 1.0) {
            next -= 1.0;
        }
        phase[k] = next;
    }
    outputs[0].value = sum * inputValue(1) / static_cast<double>(toneCount);
}

M_WaveStack::Levels M_WaveStack::levelsAt(double hz, int32_t rateHz) const {
    Levels levels;
    if (!(hz > 0.0) || toneCount < 1) {
        return levels;
    }
    std::vector<Tone> stack;
    double highest = 1.0;
    double fk = hz;
    for (int32_t k = 0; k < toneCount && stack.size() < kMaxAudibleTones; ++k, fk += fk) {
        Tone tone;
        tone.table = tables.choose(fk, rateHz);
        if (tone.table.gain == 0.0) {
            break;
        }
        tone.increment = std::exp2(k);
        highest = std::max(highest, std::exp2(k) * std::max(1, tables.harmonicsOf(fk, rateHz)));
        stack.push_back(tone);
    }
    const size_t points =
        std::clamp(std::bit_ceil(static_cast<size_t>(highest) * kPointsPerHarmonic),
                   kMinLevelPoints, kMaxLevelPoints);
    double squares = 0.0;
    for (size_t i = 0; i < points; ++i) {
        const double theta = static_cast<double>(i) / static_cast<double>(points);
        double sum = 0.0;
        for (const Tone& tone : stack) {
            const double cycles = tone.increment * theta;
            sum += valueOf(tone, cycles - std::floor(cycles));
        }
        levels.peak = std::max(levels.peak, std::abs(sum));
        squares += sum * sum;
    }
    const double scale = std::abs(inputValue(1)) / static_cast<double>(toneCount);
    levels.peak *= scale;
    levels.rms = std::sqrt(squares / static_cast<double>(points)) * scale;
    return levels;
}
