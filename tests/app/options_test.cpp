// The command line: what each valid form sets, and the status and the one Russian line of every
// refusal.
#include "app/options.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

CommandLine parse(const std::string& arguments) {
    std::vector<std::string> words{"tonarium"};
    std::istringstream split(arguments);
    for (std::string word; split >> word;) {
        words.push_back(word);
    }
    std::vector<const char*> argv;
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

// Every field of the options in one line, "-" for one not given.
std::string describe(const CommandLine& line) {
    const Options& o = line.options;
    std::ostringstream text;
    const auto put = [&](const auto& value) { value ? text << *value << ' ' : text << "- "; };
    put(line.exitStatus), put(o.toneCount), put(o.frequencyHz), put(o.durationSeconds);
    put(o.rateHz), put(o.bits), put(o.channels), put(o.smoothMs);
    text << o.amplitude << ' ' << o.deviceName << '|' << o.anyGiven << o.quiet << o.listDevices;
    return text.str();
}

// Catches an option form that is refused or sets the wrong field, and a default that changed.
TEST(CommandLine, ValidFormsSetTheirOptions) {
    const std::pair<const char*, const char*> table[] = {
        {"", "- - - - - - - - 0.707 |000"},
        {"-n 3 -f 440,5 -a -6dB -d 2.5 -D pulse -r 48000 -b 16 -c 6 -q -s 10",
         "- 3 440.5 2.5 48000 16 6 10 0.501187 pulse|110"},
        {"--tones=3 --frequency=440.5 --amplitude=-6db --duration 2,5 --device=pulse --rate 48000 "
         "--bits=16 --channels 6 --quiet --smooth=10",
         "- 3 440.5 2.5 48000 16 6 10 0.501187 pulse|110"},
        {"-f 1 -n 1048576 -f 0.5 -a 0dB -d2 -Dhw:1 -r8000 -b24 -c8 -s -l",
         "- 1048576 0.5 2 8000 24 8 5 1 hw:1|101"},
        {"-a 1 -r 384000 -b 32 -c 2 -s 100 -s=1", "- - - - 384000 32 2 1 1 |100"},
    };
    for (const auto& [arguments, options] : table) {
        EXPECT_EQ(describe(parse(arguments)), options) << arguments;
    }
    const CommandLine help = parse("-q --help");
    EXPECT_EQ(help.exitStatus, kExitSuccess);
    EXPECT_EQ(help.text.rfind("Использование: tonarium [параметры]\n", 0), 0u);
    EXPECT_EQ(parse("-V").text.rfind("tonarium ", 0), 0u);
}

// Catches a bad value that is let through, and a refusal whose status or line changed.
TEST(CommandLine, RefusalsGiveOneLineAndStatusTwo) {
    const std::string positive = "--frequency: нужно положительное число.";
    const std::string tones = "--tones: нужно целое число от 1 до 1048576.";
    const std::string level =
        "--amplitude: нужно число больше 0 и не больше 1, или уровень до 0dB.";
    const std::pair<const char*, std::string> refusals[] = {
        {"-x", "неизвестный параметр «-x»."},
        {"440", "неизвестный параметр «440»."},
        {"-f", "параметру --frequency не хватает значения."},
        {"-n 3 --device", "параметру --device не хватает значения."},
        {"-f abc", "недопустимое значение «abc» параметра " + positive},
        {"-f 0", "недопустимое значение «0» параметра " + positive},
        {"-f -440", "недопустимое значение «-440» параметра " + positive},
        {"-f inf", "недопустимое значение «inf» параметра " + positive},
        {"-f nan", "недопустимое значение «nan» параметра " + positive},
        {"-f 440Hz", "недопустимое значение «440Hz» параметра " + positive},
        {"-n 0", "недопустимое значение «0» параметра " + tones},
        {"-n 1048577", "недопустимое значение «1048577» параметра " + tones},
        {"-n 2.5", "недопустимое значение «2.5» параметра " + tones},
        {"-a 0", "недопустимое значение «0» параметра " + level},
        {"-a 1.01", "недопустимое значение «1.01» параметра " + level},
        {"-a 3dB", "недопустимое значение «3dB» параметра " + level},
        {"-a dB", "недопустимое значение «dB» параметра " + level},
        {"-d 0 -f 440",
         "недопустимое значение «0» параметра --duration: нужно положительное число."},
        {"-d 1", "параметр --duration требует --frequency."},
        {"-r 7999",
         "недопустимое значение «7999» параметра --rate: нужно целое число от 8000 до 384000."},
        {"-b 20", "недопустимое значение «20» параметра --bits: допустимы 16, 24, 32."},
        {"-c 1", "недопустимое значение «1» параметра --channels: допустимы 2, 4, 6, 8."},
        {"-s 0,5",
         "недопустимое значение «0,5» параметра --smooth: нужно число миллисекунд от 1 до 100."},
    };
    for (const auto& [arguments, message] : refusals) {
        SCOPED_TRACE(arguments);
        const CommandLine line = parse(arguments);
        EXPECT_EQ(line.exitStatus, kExitUsage);
        EXPECT_EQ(line.text, "Ошибка: " + message + " Справка: tonarium --help\n");
    }
}

}  // namespace
