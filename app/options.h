// The command line: the options parsed into one plain record, or the text and exit status that
// end the program before anything else happens (help, version, a usage error).
//
// With no arguments the record holds the defaults and the program is the interactive player as
// it always was. Every value is checked here, so nothing below the front end ever sees a raw
// option: a value out of range is a usage error (status 2) named in Russian with the option and
// the value, and no device is opened.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/signal_options.h"

// Exit statuses of the program.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // a failure at run time (no device, a lost device)
inline constexpr int kExitUsage = 2;    // a usage error

struct Options {
    bool anyGiven = false;  // false only for a run with no arguments at all

    std::optional<int32_t> toneCount;
    std::optional<double> frequencyHz;
    double amplitude = 0.707;
    std::optional<double> durationSeconds;
    std::string deviceName;  // empty: the platform's default output
    std::string outputPath;  // a sound file to write instead of playing; empty: play
    bool listDevices = false;
    std::optional<int32_t> rateHz;
    std::optional<int32_t> bits;
    std::optional<int32_t> channels;
    bool quiet = false;
    std::optional<double> smoothMs;  // fade time of click-free changes; none: changes as they are

    // The speaker test and the channels that sound.
    bool speakerTest = false;
    double stepSeconds = 2.0;          // each channel's turn in the speaker test
    int32_t loops = 1;                 // walks of the layout; 0: until stopped
    std::vector<int32_t> channelList;  // 0-based channels that sound; empty: the default ones
    bool sideSurround = false;         // 8 channels with the side pair in place of the centre pair
    SignalOptions signal;              // the shape, noise or sweep; the default: the sines
};

// The silence between two channels of the speaker test.
inline constexpr double kSpeakerTestGapSeconds = 0.1;

// The channels that sound when the command line names none: the front pair, or in the speaker
// test every channel of the layout.
std::vector<int32_t> soundingChannels(const Options& options);

// How long the run plays when that is fixed in advance: the duration, or the whole walk of the
// speaker test; none for a dialogue or an endless walk.
std::optional<double> playSeconds(const Options& options);

// What the command line asks for: run with `options`, or print `text` (to standard output for
// help and version, to standard error for a usage error) and end with `exitStatus`.
struct CommandLine {
    Options options;
    std::optional<int> exitStatus;  // set when the program ends without running
    std::string text;
};

// Parses argv (argv[0] is the program's name). Never throws for bad input.
CommandLine parseCommandLine(int argc, const char* const* argv);

// The help text and the version line, as printed by -h and -V.
std::string helpText();
std::string versionText();
