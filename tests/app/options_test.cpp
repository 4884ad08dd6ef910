// The command line: what each valid form sets, and the status and the one Russian line of every
// refusal.
#include "app/options.h"

#include <gtest/gtest.h>

#include <cmath>
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

TEST(CommandLine, WithoutArgumentsIsTheInteractivePlayerWithItsDefaults) {
    const CommandLine none = parse("");
    EXPECT_FALSE(none.exitStatus.has_value());
    EXPECT_FALSE(none.options.anyGiven);
    EXPECT_EQ(none.options.amplitude, 0.707);
    EXPECT_FALSE(none.options.frequencyHz || none.options.toneCount ||
                 none.options.durationSeconds);
}

TEST(CommandLine, TakesEveryOptionInItsShortAndLongForm) {
    for (const char* arguments :
         {"-n 3 -f 440,5 -a -6dB -d 2.5 -D pulse -r 48000 -b 16 -c 6 -q",
          "--tones=3 --frequency=440.5 --amplitude=-6dB --duration 2,5 --device=pulse --rate "
          "48000 --bits=16 --channels 6 --quiet",
          "-f 1 -n 3 -f 440.5 -a -6db -d2.5 -Dpulse -r48000 -b16 -c6 -q"}) {
        SCOPED_TRACE(arguments);
        const CommandLine line = parse(arguments);
        ASSERT_FALSE(line.exitStatus.has_value()) << line.text;
        const Options& o = line.options;
        EXPECT_TRUE(o.anyGiven);
        EXPECT_EQ(o.toneCount, 3);
        EXPECT_EQ(o.frequencyHz, 440.5);  // the last of a repeated option
        EXPECT_NEAR(o.amplitude, std::pow(10.0, -6.0 / 20.0), 1e-15);
        EXPECT_EQ(o.durationSeconds, 2.5);
        EXPECT_EQ(o.deviceName, "pulse");
        EXPECT_EQ(o.rateHz, 48000);
        EXPECT_EQ(o.bits, 16);
        EXPECT_EQ(o.channels, 6);
        EXPECT_TRUE(o.quiet);
    }
    EXPECT_EQ(parse("-a 1").options.amplitude, 1.0);
    EXPECT_EQ(parse("-a 0dB").options.amplitude, 1.0);
    EXPECT_EQ(parse("-n 1048576").options.toneCount, 1048576);
    EXPECT_TRUE(parse("-l").options.listDevices);
}

TEST(CommandLine, HelpAndVersionGoToStandardOutputWithStatusZero) {
    const CommandLine help = parse("-q --help");
    EXPECT_EQ(help.exitStatus, kExitSuccess);
    EXPECT_EQ(help.text.rfind("Использование: tonarium [параметры]\n", 0), 0u);
    for (const char* option :
         {"--tones", "--frequency", "--amplitude", "--duration", "--device", "--list-devices",
          "--rate", "--bits", "--channels", "--quiet", "--help", "--version"}) {
        EXPECT_NE(help.text.find(option), std::string::npos) << option;
    }
    EXPECT_EQ(parse("-V").exitStatus, kExitSuccess);
    EXPECT_EQ(parse("--version").text.rfind("tonarium ", 0), 0u);
}

struct Refusal {
    const char* arguments;
    const char* message;  // between "Ошибка: " and the help hint
};

TEST(CommandLine, RefusesBadUsageWithOneLineNamingTheOptionAndStatusTwo) {
    const Refusal refusals[] = {
        {"-x", "неизвестный параметр «-x»."},
        {"440", "неизвестный параметр «440»."},
        {"-f", "параметру --frequency не хватает значения."},
        {"-n 3 --device", "параметру --device не хватает значения."},
        {"-f abc", "недопустимое значение «abc» параметра --frequency: нужно положительное число."},
        {"-f 0", "недопустимое значение «0» параметра --frequency: нужно положительное число."},
        {"-f -440",
         "недопустимое значение «-440» параметра --frequency: нужно положительное число."},
        {"-f inf", "недопустимое значение «inf» параметра --frequency: нужно положительное число."},
        {"-f nan", "недопустимое значение «nan» параметра --frequency: нужно положительное число."},
        {"-f 440Hz",
         "недопустимое значение «440Hz» параметра --frequency: нужно положительное число."},
        {"-n 0", "недопустимое значение «0» параметра --tones: нужно целое число от 1 до 1048576."},
        {"-n 1048577",
         "недопустимое значение «1048577» параметра --tones: нужно целое число от 1 до 1048576."},
        {"-n 2.5",
         "недопустимое значение «2.5» параметра --tones: нужно целое число от 1 до 1048576."},
        {"-a 0",
         "недопустимое значение «0» параметра --amplitude: нужно число больше 0 и не больше 1, "
         "или уровень до 0dB."},
        {"-a 1.01",
         "недопустимое значение «1.01» параметра --amplitude: нужно число больше 0 и не "
         "больше 1, или уровень до 0dB."},
        {"-a 3dB",
         "недопустимое значение «3dB» параметра --amplitude: нужно число больше 0 и не "
         "больше 1, или уровень до 0dB."},
        {"-a dB",
         "недопустимое значение «dB» параметра --amplitude: нужно число больше 0 и не "
         "больше 1, или уровень до 0dB."},
        {"-d 0 -f 440",
         "недопустимое значение «0» параметра --duration: нужно положительное число."},
        {"-d 1", "параметр --duration требует --frequency."},
        {"-r 7999",
         "недопустимое значение «7999» параметра --rate: нужно целое число от 8000 до "
         "384000."},
        {"-b 20", "недопустимое значение «20» параметра --bits: допустимы 16, 24, 32."},
        {"-c 1", "недопустимое значение «1» параметра --channels: допустимы 2, 4, 6, 8."},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.arguments);
        const CommandLine line = parse(refusal.arguments);
        EXPECT_EQ(line.exitStatus, kExitUsage);
        EXPECT_EQ(line.text,
                  std::string("Ошибка: ") + refusal.message + " Справка: tonarium --help\n");
    }
}

}  // namespace
