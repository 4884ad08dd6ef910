// CLI11 does the parsing: it finds the options, their values and the unknown arguments. Every
// value is taken as text and checked here, so that each refusal is one Russian line that names
// the option and the value, whatever CLI11's own messages say.
#include "app/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

#include "output/file/file_output.h"
#include "output/speakers.h"
#include "output/wave_out.h"
#include "synthesis/sines.h"

#ifndef TONARIUM_VERSION
#define TONARIUM_VERSION "unknown"
#endif

namespace {

constexpr double kMaxDurationSeconds = 1e9;
constexpr double kDefaultSmoothMs = 5.0;
constexpr double kMinSmoothMs = 1.0;
constexpr double kMaxSmoothMs = 100.0;
constexpr int32_t kMinRateHz = 8000;
constexpr int32_t kMaxRateHz = 384000;
constexpr std::array<int32_t, 3> kAllowedBits = {16, 24, 32};
constexpr std::array<int32_t, 4> kAllowedChannels = {2, 4, 6, 8};
constexpr double kMaxStepSeconds = 3600.0;
constexpr std::pair<double, double> kSpeakerTestBandHz = {500.0, 2000.0};
constexpr int32_t kMaxLoops = 1000000;
constexpr int32_t kDefaultChannels = 2;
// The lowest rate the format search opens without -r.
constexpr int32_t kLowestSearchedRateHz = 96000;

// A refusal of the command line, with its one-line message (without the help hint).
struct UsageError {
    std::string message;
};

[[noreturn]] void refuse(const std::string& message) {
    throw UsageError{message};
}

[[noreturn]] void refuseValue(const std::string& option, const std::string& value,
                              const std::string& expected) {
    refuse("недопустимое значение «" + value + "» параметра " + option + ": " + expected + ".");
}

std::optional<double> parseDecimal(const std::string& text) {
    return decimalNumber(text);
}

std::optional<int32_t> parseWhole(const std::string& text) {
    int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

int32_t wholeInRange(const std::string& option, const std::string& text, int32_t low,
                     int32_t high) {
    const std::optional<int32_t> value = parseWhole(text);
    if (!value || *value < low || *value > high) {
        refuseValue(option, text,
                    "нужно целое число от " + std::to_string(low) + " до " + std::to_string(high));
    }
    return *value;
}

template <size_t N>
int32_t wholeOneOf(const std::string& option, const std::string& text,
                   const std::array<int32_t, N>& allowed) {
    const std::optional<int32_t> value = parseWhole(text);
    if (!value || std::find(allowed.begin(), allowed.end(), *value) == allowed.end()) {
        std::string list;
        for (int32_t entry : allowed) {
            list += (list.empty() ? "" : ", ") + std::to_string(entry);
        }
        refuseValue(option, text, "допустимы " + list);
    }
    return *value;
}

double positiveDecimal(const std::string& option, const std::string& text, double high) {
    const std::optional<double> value = parseDecimal(text);
    if (!value || *value <= 0.0 || *value > high) {
        refuseValue(option, text, "нужно положительное число");
    }
    return *value;
}

// A linear amplitude in (0, 1], or a level in dBFS with the suffix "dB" (at most 0 dB).
double amplitudeOf(const std::string& option, const std::string& text) {
    std::string number = text;
    const bool decibels = number.size() > 2 && (number.ends_with("dB") || number.ends_with("db") ||
                                                number.ends_with("DB"));
    if (decibels) {
        number.resize(number.size() - 2);
    }
    const std::optional<double> value = parseDecimal(number);
    const double amplitude = !value ? 0.0 : decibels ? std::pow(10.0, *value / 20.0) : *value;
    if (!value || !(amplitude > 0.0) || amplitude > 1.0) {
        refuseValue(option, text, "нужно число больше 0 и не больше 1, или уровень до 0dB");
    }
    return amplitude;
}

// "FL,LFE" or "1,4": channels of the layout `channelMask` by code or by number (from 1), in the
// order given, each once.
std::vector<int32_t> channelListOf(const std::string& text, uint32_t channelMask) {
    const std::vector<const Speaker*> speakers = speakersOfMask(channelMask);
    std::string codes;
    for (const Speaker* speaker : speakers) {
        codes += (codes.empty() ? "" : ", ") + std::string(speaker->code);
    }
    const auto refuseList = [&] {
        refuseValue("--channel", text,
                    "нужны номера от 1 до " + std::to_string(speakers.size()) + " или коды " +
                        codes + " через запятую");
    };
    std::vector<int32_t> channels;
    size_t from = 0;
    do {
        const size_t comma = std::min(text.find(',', from), text.size());
        const std::string word = text.substr(from, comma - from);
        std::optional<int32_t> channel = channelOfCode(channelMask, word);
        if (const std::optional<int32_t> number = parseWhole(word)) {
            channel = *number >= 1 && *number <= static_cast<int32_t>(speakers.size())
                          ? std::optional<int32_t>(*number - 1)
                          : std::nullopt;
        }
        if (!channel || std::find(channels.begin(), channels.end(), *channel) != channels.end()) {
            refuseList();
        }
        channels.push_back(*channel);
        from = comma + 1;
    } while (from <= text.size());
    return channels;
}

// The channel mask that the format search opens for `channels`.
uint32_t layoutMaskOf(int32_t channels, bool side) {
    for (const ChannelLayout& layout : kChannelLayouts) {
        if (layout.channels == channels) {
            return side && channels == kSideLayout.channels ? kSideLayout.channelMask
                                                            : layout.channelMask;
        }
    }
    return 0;
}

// The option's long name at the start of one of CLI11's messages ("--frequency: ..."), or the
// whole message where it has none.
std::string optionNamedIn(const std::string& message) {
    return message.substr(0, message.find(':'));
}

CommandLine parse(int argc, const char* const* argv) {
    CLI::App app;
    app.set_help_flag();
    app.allow_extras(false);
    // A repeated option keeps its last value, as most tools do.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    struct Raw {
        std::string tones, frequency, amplitude, duration, device, output, rate, bits, channels,
            smooth, step, loops, channelList;
    } raw;
    SignalArguments signalArguments;
    std::string wave, seed, band, sweep, a4;
    Options options;
    bool help = false;
    bool version = false;
    CLI::Option* tones = app.add_option("-n,--tones", raw.tones);
    CLI::Option* frequency = app.add_option("-f,--frequency", raw.frequency);
    CLI::Option* amplitude = app.add_option("-a,--amplitude", raw.amplitude);
    CLI::Option* duration = app.add_option("-d,--duration", raw.duration);
    CLI::Option* device = app.add_option("-D,--device", raw.device);
    CLI::Option* output = app.add_option("-o,--output", raw.output);
    CLI::Option* rate = app.add_option("-r,--rate", raw.rate);
    CLI::Option* bits = app.add_option("-b,--bits", raw.bits);
    CLI::Option* channels = app.add_option("-c,--channels", raw.channels);
    // The fade time is optional: "-s", "-s 10", "-s10", "--smooth=10".
    CLI::Option* smooth = app.add_option("-s,--smooth", raw.smooth)->expected(0, 1);
    app.add_flag("-t,--speaker-test", options.speakerTest);
    CLI::Option* step = app.add_option("--step", raw.step);
    CLI::Option* loops = app.add_option("--loops", raw.loops);
    CLI::Option* channelList = app.add_option("--channel", raw.channelList);
    app.add_flag("--side", options.sideSurround);
    CLI::Option* waveOption = app.add_option("-w,--wave", wave);
    CLI::Option* seedOption = app.add_option("--seed", seed);
    CLI::Option* bandOption = app.add_option("--band", band);
    CLI::Option* sweepOption = app.add_option("--sweep", sweep);
    CLI::Option* a4Option = app.add_option("--a4", a4);
    app.add_flag("-l,--list-devices", options.listDevices);
    app.add_flag("-q,--quiet", options.quiet);
    app.add_flag("-h,--help", help);
    app.add_flag("-V,--version", version);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ExtrasError&) {
        const std::vector<std::string> extras = app.remaining();
        refuse("неизвестный параметр «" + (extras.empty() ? std::string() : extras.front()) + "».");
    } catch (const CLI::ArgumentMismatch& error) {
        refuse("параметру " + optionNamedIn(error.what()) + " не хватает значения.");
    } catch (const CLI::ParseError& error) {
        refuse(error.what());
    }
    if (help || version) {
        return CommandLine{{}, kExitSuccess, help ? helpText() : versionText()};
    }

    options.anyGiven = argc > 1;
    for (auto [option, text, field] : {std::tuple{waveOption, &wave, &signalArguments.wave},
                                       std::tuple{seedOption, &seed, &signalArguments.seed},
                                       std::tuple{bandOption, &band, &signalArguments.band},
                                       std::tuple{sweepOption, &sweep, &signalArguments.sweep},
                                       std::tuple{a4Option, &a4, &signalArguments.a4}}) {
        if (*option) {
            *field = *text;
        }
    }
    options.signal = parseSignalOptions(signalArguments);
    if (*tones) {
        options.toneCount = wholeInRange("--tones", raw.tones, 1, M_Sines::kMaxToneCount);
    }
    if (*frequency) {
        options.frequencyHz = frequencyOrNote(raw.frequency, options.signal);
    }
    if (*amplitude) {
        options.amplitude = amplitudeOf("--amplitude", raw.amplitude);
        options.signal.levelGiven = true;
    }
    if (*duration) {
        options.durationSeconds = positiveDecimal("--duration", raw.duration, kMaxDurationSeconds);
        if (!options.frequencyHz && !options.signal.playsWithoutFrequency()) {
            refuse("параметр --duration требует --frequency.");
        }
    }
    if (*device) {
        if (raw.device.empty()) {
            refuseValue("--device", raw.device, "нужно имя или номер устройства");
        }
        options.deviceName = raw.device;
    }
    if (*output) {
        if (*device) {
            // A file is written instead of playing, so a device would be ignored.
            refuse("параметры --output и --device несовместимы.");
        }
        if (!fileKindOfPath(raw.output)) {
            std::string list;
            for (const std::string& extension : acceptedFileExtensions()) {
                list += (list.empty() ? "" : ", ") + extension;
            }
            refuseValue("--output", raw.output, "допустимы файлы " + list);
        }
        options.outputPath = raw.output;
    }
    if (*rate) {
        options.rateHz = wholeInRange("--rate", raw.rate, kMinRateHz, kMaxRateHz);
    }
    if (*bits) {
        options.bits = wholeOneOf("--bits", raw.bits, kAllowedBits);
    }
    if (*channels) {
        options.channels = wholeOneOf("--channels", raw.channels, kAllowedChannels);
    }
    if (*smooth) {
        const std::string ms = raw.smooth.starts_with('=') ? raw.smooth.substr(1) : raw.smooth;
        const std::optional<double> value = ms.empty() ? kDefaultSmoothMs : parseDecimal(ms);
        if (!value || *value < kMinSmoothMs || *value > kMaxSmoothMs) {
            refuseValue("--smooth", raw.smooth, "нужно число миллисекунд от 1 до 100");
        }
        options.smoothMs = value;
    }
    if (*step) {
        options.stepSeconds = positiveDecimal("--step", raw.step, kMaxStepSeconds);
    }
    if (*loops) {
        options.loops = wholeInRange("--loops", raw.loops, 0, kMaxLoops);
    }
    if (options.sideSurround && options.channels != kSideLayout.channels) {
        refuse("параметр --side требует --channels 8.");
    }
    if (*channelList) {
        options.channelList = channelListOf(
            raw.channelList,
            layoutMaskOf(options.channels.value_or(kDefaultChannels), options.sideSurround));
    }
    if (options.speakerTest && options.durationSeconds) {
        refuse(
            "параметры --speaker-test и --duration несовместимы: тест длится, пока обходит "
            "каналы.");
    }
    if (options.speakerTest && options.signal.sweep) {
        refuse("параметры --speaker-test и --sweep несовместимы.");
    }
    if (options.speakerTest && !options.frequencyHz && !*waveOption) {
        // The usual level-matching signal: pink noise of the band 500 Hz to 2 kHz, -20 dBFS RMS.
        options.signal.wave = Wave::Pink;
        options.signal.bandLowHz = kSpeakerTestBandHz.first;
        options.signal.bandHighHz = kSpeakerTestBandHz.second;
        options.signal.anyGiven = true;
        signalArguments.wave = "pink";
        signalArguments.band = "500:2000";
    }
    checkSignalCombination(signalArguments, options.signal, tones->count() > 0,
                           frequency->count() > 0, duration->count() > 0,
                           options.rateHz.value_or(kLowestSearchedRateHz));
    return CommandLine{options, std::nullopt, {}};
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
    try {
        return parse(argc, argv);
    } catch (const UsageError& error) {
        return CommandLine{
            {}, kExitUsage, "Ошибка: " + error.message + " Справка: tonarium --help\n"};
    } catch (const SignalOptionError& error) {
        return CommandLine{
            {}, kExitUsage, "Ошибка: " + error.message + " Справка: tonarium --help\n"};
    }
}

std::vector<int32_t> soundingChannels(const Options& options) {
    if (!options.channelList.empty()) {
        return options.channelList;
    }
    std::vector<int32_t> channels = {0, 1};
    if (options.speakerTest) {
        for (int32_t k = 2; k < options.channels.value_or(kDefaultChannels); ++k) {
            channels.push_back(k);
        }
    }
    return channels;
}

std::optional<double> playSeconds(const Options& options) {
    if (!options.speakerTest || options.loops == 0) {
        return options.durationSeconds;
    }
    const double steps = static_cast<double>(soundingChannels(options).size()) * options.loops;
    return steps * options.stepSeconds + (steps - 1) * kSpeakerTestGapSeconds;
}

std::string versionText() {
    return std::string("tonarium ") + TONARIUM_VERSION + "\n";
}

std::string helpText() {
    return "Использование: tonarium [параметры]\n"
           "Играет основной тон и его октавы. Без параметров спрашивает количество тонов\n"
           "и частоту основного тона, пока звук играет; -1 возвращает к предыдущему вопросу.\n"
           "\n"
           "Параметры:\n"
           "  -n, --tones N          начать с N тонов (от 1 до 1048576)\n"
           "  -f, --frequency ГЦ     сразу играть основной тон этой частоты (440, 440.5, 440,5)\n"
           "  -a, --amplitude A      громкость: 0 < A <= 1 (по умолчанию 0.707) или в дБ: -6dB;\n"
           "                         для шума - уровень СКЗ (по умолчанию -20dB)\n"
           "  -d, --duration СЕК     играть столько секунд и выйти, без диалога (нужен -f,\n"
           "                         шум или --sweep)\n"
           "  -D, --device ИМЯ       устройство вывода: имя или номер из списка -l (pipewire,\n"
           "                         pulse, pipewire:УЗЕЛ, pulse:ПРИЁМНИК, alsa:PCM)\n"
           "  -l, --list-devices     показать устройства вывода и выйти\n"
           "  -o, --output ФАЙЛ      записать звук в файл (.wav, .flac, ...) вместо вывода\n"
           "  -r, --rate ГЦ          частота дискретизации (по умолчанию 192000 или 96000)\n"
           "  -b, --bits 16|24|32    глубина квантования (по умолчанию 32, 24 или 16)\n"
           "  -c, --channels 2|4|6|8 количество каналов (по умолчанию 2)\n"
           "  -s, --smooth[=МС]      плавные включение, выключение и смена тонов за МС мс\n"
           "                         (по умолчанию 5, от 1 до 100; форма - приподнятый косинус)\n"
           "  -t, --speaker-test     проверка колонок: сигнал по очереди в каждом канале\n"
           "  --step СЕК             время каждого канала в проверке (по умолчанию 2)\n"
           "  --loops N              сколько раз обойти каналы (по умолчанию 1; 0 - без конца)\n"
           "  --channel СПИСОК       звук только в этих каналах: номера или коды (FL,LFE или 1,4)\n"
           "  --side                 7.1 с боковыми колонками (SL, SR) вместо FLC, FRC (с -c 8)\n"
           "  -q, --quiet            без отчёта об устройстве и без подсказки\n"
           "  -w, --wave ФОРМА       sine (по умолчанию), square, triangle, sawtooth - тоны\n"
           "                         без наложений; white, pink, brown - шум (без диалога)\n"
           "      --seed N           зерно шума: тот же шум при каждом запуске\n"
           "      --band НИЗ:ВЕРХ    полоса шума в Гц (24 дБ на октаву за её краями)\n"
           "      --sweep ОТ:ДО[:log|:lin]  качание частоты за время -d (нужен -d)\n"
           "      --a4 ГЦ            частота ноты A4 (по умолчанию 440); -f принимает ноты:\n"
           "                         A4, c#5, Db3, B3-20c, G2+7c\n"
           "  -h, --help             эта справка\n"
           "  -V, --version          версия программы\n"
           "\n"
           "Примеры:\n"
           "  tonarium -n 3 -f 440 -d 5   три тона (440, 880, 1760 Гц) в течение 5 секунд\n"
           "  tonarium -l                 список устройств вывода\n"
           "  tonarium -D pulse -f 220    диалог на выбранном устройстве, тон 220 Гц сразу\n"
           "  tonarium -w pink --band 707:1414   розовый шум -20 дБFS СКЗ в октаве 1 кГц\n"
           "  tonarium --sweep 20:20000 -d 10 -o sweep.wav   качание 20 Гц - 20 кГц в файл\n"
           "  tonarium -w square -f A3 -n 2 -d 3   меандр по имени ноты\n"
           "  tonarium -t -c 6             проверка колонок 5.1 розовым шумом\n"
           "\n"
           "Коды выхода: 0 - успех, 1 - ошибка при работе, 2 - ошибка в параметрах.\n";
}
