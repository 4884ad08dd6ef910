#include "app/signal_chain.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <utility>

#include "engine/audio_module_container.h"
#include "engine/connections.h"

namespace {

constexpr int32_t kFrequencyInput = 0;
constexpr int32_t kAmplitudeInput = 1;
constexpr int32_t kStartToneCount = 1;  // as the program's sines

ToneShape shapeOf(Wave wave) {
    switch (wave) {
        case Wave::Square:
            return ToneShape::Square;
        case Wave::Triangle:
            return ToneShape::Triangle;
        case Wave::Sawtooth:
            return ToneShape::Sawtooth;
        default:
            return ToneShape::Sine;
    }
}

NoiseColour colourOf(Wave wave) {
    return wave == Wave::Pink    ? NoiseColour::Pink
           : wave == Wave::Brown ? NoiseColour::Brown
                                 : NoiseColour::White;
}

const char* nameOf(Wave wave) {
    constexpr const char* kNames[] = {"синус",     "меандр",      "треугольник",   "пила",
                                      "белый шум", "розовый шум", "коричневый шум"};
    return kNames[static_cast<int>(wave)];
}

std::string decibels(double linear) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", linear > 0.0 ? 20.0 * std::log10(linear) : -999.0);
    return text;
}

std::string hertz(double hz) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", hz);
    return text;
}

// A seed for a run without --seed: each run differs. The clock is mixed in as well, for a
// platform whose random device is not random.
uint64_t freshSeed() {
    std::random_device device;
    const auto now =
        static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
    return ((static_cast<uint64_t>(device()) << 32) ^ device()) ^ (now * 0x9e3779b97f4a7c15ULL);
}

}  // namespace

SignalChain::SignalChain(Options chosen, M_Sines& sines)
    : options(std::move(chosen)), sines(sines) {
    const SignalOptions& signal = options.signal;
    if (signal.isNoise()) {
        std::optional<M_Noise::Band> band;
        if (signal.bandLowHz && signal.bandHighHz) {
            band = M_Noise::Band{*signal.bandLowHz, *signal.bandHighHz};
        }
        noise = std::make_unique<M_Noise>(colourOf(signal.wave), signal.seed.value_or(freshSeed()),
                                          band);
        return;
    }
    if (signal.wave != Wave::Sine || signal.sweep) {
        waves = std::make_unique<M_WaveStack>(shapeOf(signal.wave), kStartToneCount);
    }
    if (signal.sweep) {
        sweep = std::make_unique<M_Sweep>(
            signal.sweep->fromHz, signal.sweep->toHz, options.durationSeconds.value_or(1.0),
            signal.sweep->linear ? SweepLaw::Linear : SweepLaw::Exponential);
        connect(*sweep, M_Sweep::kOutput, kFrequencyInput, *waves);
    }
}

AudioModule& SignalChain::output() {
    if (noise) {
        return *noise;
    }
    return toneSource();
}

AudioModuleContainer& SignalChain::addTo(AudioModuleContainer& container) {
    if (sweep) {
        add(container, *sweep);
    }
    return add(container, output());
}

void SignalChain::start() {
    if (noise) {
        noise->setInputValue(M_Noise::kLevelInput,
                             options.signal.levelGiven ? options.amplitude : kDefaultNoiseRms);
        return;
    }
    M_Sines& tones = toneSource();
    if (!sweep) {
        tones.setInputValue(kFrequencyInput, options.frequencyHz.value_or(0.0));
    }
    tones.setInputValue(kAmplitudeInput, options.amplitude);
    if (options.toneCount) {
        tones.setToneCount(*options.toneCount);
    }
}

std::string SignalChain::streamName(int32_t toneCount, double hz) const {
    const SignalOptions& signal = options.signal;
    std::string name = options.speakerTest ? "проверка каналов, " : "";
    if (noise || sweep || signal.wave != Wave::Sine) {
        name += nameOf(signal.wave);
    }
    if (noise) {
        return signal.bandLowHz ? name + ", полоса " + hertz(*signal.bandLowHz) + "–" +
                                      hertz(*signal.bandHighHz) + " Гц"
                                : name;
    }
    if (sweep) {
        return name + ", качание " + hertz(signal.sweep->fromHz) + "–" + hertz(signal.sweep->toHz) +
               " Гц";
    }
    if (!name.empty() && name.back() != ' ') {
        name += ", ";
    }
    const int32_t ones = toneCount % 10;
    const int32_t tens = toneCount % 100;
    const char* tones = ones == 1 && tens != 11                              ? " тон"
                        : ones >= 2 && ones <= 4 && (tens < 12 || tens > 14) ? " тона"
                                                                             : " тонов";
    name += std::to_string(toneCount) + tones;
    return hz > 0.0 ? name + " от " + hertz(hz) + " Гц" : name + ", тишина";
}

std::string SignalChain::reportLine(int32_t rateHz) const {
    const SignalOptions& signal = options.signal;
    std::string line = std::string("Сигнал: ") + nameOf(signal.wave);
    double peak = 0.0;
    double rms = 0.0;
    if (noise) {
        rms = signal.levelGiven ? options.amplitude : kDefaultNoiseRms;
        // White noise is uniform; the others are near Gaussian, held below full scale.
        peak = signal.wave == Wave::White && !signal.bandLowHz ? std::min(1.0, rms * std::sqrt(3.0))
                                                               : PeakLimiter::kCeiling;
        if (signal.bandLowHz) {
            line +=
                ", полоса " + hertz(*signal.bandLowHz) + "–" + hertz(*signal.bandHighHz) + " Гц";
        }
        line += peak == PeakLimiter::kCeiling ? "; пик до " : "; пик ";
    } else {
        const double hz = sweep ? signal.sweep->fromHz : options.frequencyHz.value_or(0.0);
        if (sweep) {
            line += ", качание " + hertz(signal.sweep->fromHz) + "–" + hertz(signal.sweep->toHz) +
                    " Гц" + (signal.sweep->linear ? " линейно" : " по октавам");
        } else if (options.frequencyHz) {
            line += ", " + hertz(*options.frequencyHz) + " Гц";
            if (!signal.note.empty()) {
                line += " (" + signal.note + ")";
            }
        }
        if (!(hz > 0.0)) {
            return line + ", частота задаётся в диалоге\n";  // silent until it is answered
        }
        if (waves) {
            const M_WaveStack::Levels levels = waves->levelsAt(hz, rateHz);
            peak = levels.peak;
            rms = levels.rms;
        } else {
            // The sines from phase 0: every tone's peak and RMS are those of a sine; the peak of
            // the sum is bounded by the amplitude.
            const int32_t count = options.toneCount.value_or(kStartToneCount);
            M_WaveStack stack(ToneShape::Sine, count);
            stack.setInputValue(kAmplitudeInput, options.amplitude);
            const M_WaveStack::Levels levels = stack.levelsAt(hz, rateHz);
            peak = levels.peak;
            rms = levels.rms;
        }
        line += "; пик ";
    }
    return line + decibels(peak) + " дБFS, СКЗ " + decibels(rms) + " дБFS\n";
}
