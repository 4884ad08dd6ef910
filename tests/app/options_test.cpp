// The command line: what each valid form sets, and the status and the one Russian line of every
// refusal.
#include "app/options.h"

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

namespace {

CommandLine parse(const std::string& arguments) {
    std::istringstream split("tonarium " + arguments);
    const std::vector<std::string> words{std::istream_iterator<std::string>(split), {}};
    std::vector<const char*> argv;
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

// The exit status and every field of the options in one line, "-" for one not given, then the
// first word of the text.
std::string describe(const CommandLine& line) {
    const Options& o = line.options;
    std::ostringstream text;
    const auto put = [&](const auto& value) { value ? text << *value << ' ' : text << "- "; };
    put(line.exitStatus), put(o.toneCount), put(o.frequencyHz), put(o.durationSeconds);
    put(o.rateHz), put(o.bits), put(o.channels), put(o.smoothMs);
    text << o.amplitude << ' ' << o.deviceName << '|' << o.anyGiven << o.quiet << o.listDevices
         << line.text.substr(0, line.text.find(' '));
    return text.str();
}

// Catches an option form that is refused or sets the wrong field, and a default that changed.
TEST(CommandLine, ValidFormsSetTheirOptions) {
    const std::pair<const char*, const char*> table[] = {
        {"", "- - - - - - - - 0.707 |000"},
        {"-n 3 -f 440,5 -a -6dB -d 2.5 -D pulse -r 384000 -b 16 -c 6 -q -s 100",
         "- 3 440.5 2.5 384000 16 6 100 0.501187 pulse|110"},
        {"--tones=3 --frequency=440.5 --amplitude=-6db --duration 2,5 --device=pulse --rate 384000 "
         "--bits=16 --channels 6 --quiet --smooth=100",
         "- 3 440.5 2.5 384000 16 6 100 0.501187 pulse|110"},
        {"-f 1 -n 1048576 -f 0.5 -a 0dB -d2 -Dhw:1 -r8000 -b24 -c8 -s -l",
         "- 1048576 0.5 2 8000 24 8 5 1 hw:1|101"},
        {"-a 1 -b 32 -c 2 -s=1", "- - - - - 32 2 1 1 |100"},
        {"-q --help", "0 - - - - - - - 0.707 |000Использование:"},
        {"-V", "0 - - - - - - - 0.707 |000tonarium"},
    };
    for (const auto& [arguments, options] : table) {
        EXPECT_EQ(describe(parse(arguments)), options) << arguments;
    }
}

// Catches a bad value that is let through, and a refusal whose status or line changed.
TEST(CommandLine, RefusalsGiveOneLineAndStatusTwo) {
    // A message that starts with the option refuses the last word given.
    const std::pair<std::string, std::vector<std::string>> table[] = {
        {"неизвестный параметр «-x».", {"-x"}},
        {"параметру --frequency не хватает значения.", {"-f"}},
        {"параметру --device не хватает значения.", {"-n 3 --device"}},
        {"параметр --duration требует --frequency.", {"-d 1"}},
        {"--frequency: нужно положительное число", {"-f 0", "-f inf", "-f 440Hz"}},
        {"--duration: нужно положительное число", {"-f 440 -d 0"}},
        {"--tones: нужно целое число от 1 до 1048576", {"-n 0", "-n 1048577"}},
        {"--amplitude: нужно число больше 0 и не больше 1, или уровень до 0dB",
         {"-a 0", "-a 1.01", "-a 3dB"}},
        {"--rate: нужно целое число от 8000 до 384000", {"-r 7999"}},
        {"--bits: допустимы 16, 24, 32", {"-b 20"}},
        {"--channels: допустимы 2, 4, 6, 8", {"-c 1"}},
        {"--smooth: нужно число миллисекунд от 1 до 100", {"-s 0,5"}}};
    for (const auto& [message, refused] : table) {
        for (const std::string& arguments : refused) {
            const std::string value = arguments.substr(arguments.rfind(' ') + 1);
            EXPECT_EQ(parse(arguments).exitStatus, kExitUsage) << arguments;
            EXPECT_EQ(parse(arguments).text,
                      "Ошибка: " +
                          (message.starts_with("--")
                               ? "недопустимое значение «" + value + "» параметра " + message + "."
                               : message) +
                          " Справка: tonarium --help\n");
        }
    }
}

}  // namespace
