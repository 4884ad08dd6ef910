#include "app/signal_options.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <utility>

#include "app/note_names.h"

namespace {

constexpr double kMaxA4Hz = 20000.0;

const std::array<std::pair<const char*, Wave>, 7> kWaveNames = {{{"sine", Wave::Sine},
                                                                 {"square", Wave::Square},
                                                                 {"triangle", Wave::Triangle},
                                                                 {"sawtooth", Wave::Sawtooth},
                                                                 {"white", Wave::White},
                                                                 {"pink", Wave::Pink},
                                                                 {"brown", Wave::Brown}}};

[[noreturn]] void refuseValue(const std::string& option, const std::string& value,
                              const std::string& expected) {
    throw SignalOptionError{"недопустимое значение «" + value + "» параметра " + option + ": " +
                            expected + "."};
}

std::optional<double> decimal(const std::string& text) {
    return decimalNumber(text);
}

}  // namespace

std::optional<double> decimalNumber(std::string text) {
    std::replace(text.begin(), text.end(), ',', '.');
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

namespace {

// "A:B" as two positive numbers, with the rest after a second colon in `rest`.
std::optional<std::pair<double, double>> pairOf(const std::string& text, std::string* rest) {
    const size_t colon = text.find(':');
    const size_t second = colon == std::string::npos ? colon : text.find(':', colon + 1);
    if (colon == std::string::npos || (second != std::string::npos && rest == nullptr)) {
        return std::nullopt;
    }
    const std::optional<double> low = decimal(text.substr(0, colon));
    const std::optional<double> high = decimal(text.substr(colon + 1, second - colon - 1));
    if (!low || !high || *low <= 0.0 || *high <= 0.0) {
        return std::nullopt;
    }
    if (rest != nullptr) {
        *rest = second == std::string::npos ? "" : text.substr(second + 1);
    }
    return std::make_pair(*low, *high);
}

}  // namespace

SignalOptions parseSignalOptions(const SignalArguments& arguments) {
    SignalOptions signal;
    signal.anyGiven =
        arguments.wave || arguments.seed || arguments.band || arguments.sweep || arguments.a4;
    if (arguments.wave) {
        const auto found = std::find_if(kWaveNames.begin(), kWaveNames.end(),
                                        [&](const auto& e) { return *arguments.wave == e.first; });
        if (found == kWaveNames.end()) {
            refuseValue("--wave", *arguments.wave,
                        "допустимы sine, square, triangle, sawtooth, white, pink, brown");
        }
        signal.wave = found->second;
    }
    if (arguments.seed) {
        uint64_t seed = 0;
        const std::string& text = *arguments.seed;
        const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), seed);
        if (text.empty() || error != std::errc() || stop != text.data() + text.size()) {
            refuseValue("--seed", text, "нужно целое число от 0 до 18446744073709551615");
        }
        signal.seed = seed;
    }
    if (arguments.band) {
        const auto band = pairOf(*arguments.band, nullptr);
        if (!band || band->first >= band->second) {
            refuseValue("--band", *arguments.band,
                        "нужны НИЗ:ВЕРХ в герцах, НИЗ больше 0 и меньше ВЕРХ");
        }
        signal.bandLowHz = band->first;
        signal.bandHighHz = band->second;
    }
    if (arguments.sweep) {
        std::string law;
        const auto range = pairOf(*arguments.sweep, &law);
        if (!range || (law != "" && law != "log" && law != "lin")) {
            refuseValue("--sweep", *arguments.sweep, "нужны ОТ:ДО[:log|:lin] в герцах, больше 0");
        }
        signal.sweep = SignalOptions::Sweep{range->first, range->second, law == "lin"};
    }
    if (arguments.a4) {
        const std::optional<double> hz = decimal(*arguments.a4);
        if (!hz || *hz <= 0.0 || *hz > kMaxA4Hz) {
            refuseValue("--a4", *arguments.a4, "нужно положительное число герц до 20000");
        }
        signal.a4Hz = *hz;
    }
    return signal;
}

double frequencyOrNote(const std::string& text, SignalOptions& signal) {
    const char first = text.empty() ? ' ' : static_cast<char>(std::toupper(text.front()));
    if (first < 'A' || first > 'G') {
        // Not a note: the number of the sines' option, refused in that option's words.
        const std::optional<double> hz = decimal(text);
        if (!hz || *hz <= 0.0) {
            refuseValue("--frequency", text, "нужно положительное число");
        }
        return *hz;
    }
    const std::optional<double> note = noteFrequencyHz(text, signal.a4Hz);
    if (!note) {
        refuseValue("--frequency", text, "нужна нота вида A4, c#5, Db3, B3-20c, G2+7c");
    }
    signal.note = text;
    signal.anyGiven = true;
    return *note;
}

void checkSignalCombination(const SignalArguments& arguments, const SignalOptions& signal,
                            bool toneCountGiven, bool frequencyGiven, bool durationGiven,
                            int32_t rateHz) {
    const std::string nyquist = std::to_string(rateHz / 2);
    if (signal.isNoise() && (toneCountGiven || frequencyGiven)) {
        throw SignalOptionError{std::string("параметр ") +
                                (toneCountGiven ? "--tones" : "--frequency") +
                                " не применим к шуму (--wave " +
                                kWaveNames[static_cast<size_t>(signal.wave)].first + ")."};
    }
    if (signal.bandLowHz && !signal.isNoise()) {
        throw SignalOptionError{
            "параметр --band применим только к шуму (--wave white|pink|brown)."};
    }
    if (signal.bandHighHz && *signal.bandHighHz >= rateHz / 2.0) {
        refuseValue("--band", *arguments.band,
                    "ВЕРХ должен быть ниже " + nyquist + " Гц, половины частоты дискретизации");
    }
    if (signal.sweep) {
        if (signal.isNoise()) {
            throw SignalOptionError{"параметр --sweep не применим к шуму."};
        }
        if (!durationGiven) {
            throw SignalOptionError{"параметр --sweep требует --duration."};
        }
        if (frequencyGiven) {
            throw SignalOptionError{"параметр --sweep несовместим с --frequency."};
        }
        if (std::max(signal.sweep->fromHz, signal.sweep->toHz) >= rateHz / 2.0) {
            refuseValue(
                "--sweep", *arguments.sweep,
                "частоты должны быть ниже " + nyquist + " Гц, половины частоты дискретизации");
        }
    }
}
