// The options that choose the signal: the wave shape or noise colour, the noise's seed and band,
// a sweep, and the tuning of notes. They are parsed and checked here, as text that options.cpp
// collects from CLI11, so that the command line's own file stays about the tone player; a
// refusal is a SignalOptionError with the one Russian line that names the option and the value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

enum class Wave { Sine, Square, Triangle, Sawtooth, White, Pink, Brown };

struct SignalOptions {
    bool anyGiven = false;  // a signal option or a note was given: the report tells the signal
    Wave wave = Wave::Sine;
    std::optional<uint64_t> seed;  // none: each run differs
    std::optional<double> bandLowHz;
    std::optional<double> bandHighHz;
    struct Sweep {
        double fromHz = 0.0;
        double toHz = 0.0;
        bool linear = false;
    };
    std::optional<Sweep> sweep;
    double a4Hz = 440.0;
    std::string note;         // the note that -f named, or empty
    bool levelGiven = false;  // -a was given (a noise otherwise plays at kDefaultNoiseRms)

    bool isNoise() const {
        return wave == Wave::White || wave == Wave::Pink || wave == Wave::Brown;
    }
    // The signal plays from the start without a frequency: a noise or a sweep.
    bool playsWithoutFrequency() const { return isNoise() || sweep.has_value(); }
};

// -20 dBFS RMS, the usual calibration level of a noise.
inline constexpr double kDefaultNoiseRms = 0.1;

struct SignalOptionError {
    std::string message;
};

// The signal options' texts as given; none for an option not given.
struct SignalArguments {
    std::optional<std::string> wave, seed, band, sweep, a4;
};

// A decimal number, with a point or a comma; the whole text must be the number.
std::optional<double> decimalNumber(std::string text);

// Parses each value; throws SignalOptionError for one that is not valid.
SignalOptions parseSignalOptions(const SignalArguments& arguments);

// The frequency of -f: a decimal number (with a point or a comma) or a note; throws
// SignalOptionError for anything else. Records the note in `signal`.
double frequencyOrNote(const std::string& text, SignalOptions& signal);

// The checks that take several options together, once all are parsed: a noise with -n or -f,
// a band without a noise or beyond half of `rateHz`, a sweep without a duration, with -f or
// beyond half of `rateHz` (the rate asked for, or the lowest the format search chooses).
void checkSignalCombination(const SignalArguments& arguments, const SignalOptions& signal,
                            bool toneCountGiven, bool frequencyGiven, bool durationGiven,
                            int32_t rateHz);
