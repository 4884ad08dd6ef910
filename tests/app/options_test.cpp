// The command line: what each valid form sets, and the status and the one Russian line of every
// refusal.
#include "app/options.h"
#include "app/signal_chain.h"

#include <gtest/gtest.h>

#include <fstream>
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
    // The speaker test: the channels in the order given, and the time the walk takes.
    const Options walk = parse("-t -c 6 --channel bl,2 --step 0,5 --loops 2").options;
    EXPECT_TRUE(walk.speakerTest);
    EXPECT_EQ(soundingChannels(walk), (std::vector<int32_t>{4, 1}));
    EXPECT_DOUBLE_EQ(*playSeconds(walk), 4 * 0.5 + 3 * kSpeakerTestGapSeconds);
    EXPECT_EQ(soundingChannels(parse("-t -c 4").options), (std::vector<int32_t>{0, 1, 2, 3}));
    EXPECT_EQ(soundingChannels(parse("-c 4").options), (std::vector<int32_t>{0, 1}));
    EXPECT_FALSE(playSeconds(parse("-t --loops 0").options));
    EXPECT_EQ(parse("-c 8 --side --channel SL,SR").options.channelList,
              (std::vector<int32_t>{6, 7}));
}

// Catches a bad value that is let through, and a refusal whose status or line changed.
TEST(CommandLine, RefusalsGiveOneLineAndStatusTwo) {
    // A message that starts with the option refuses the last word given.
    const std::pair<std::string, std::vector<std::string>> table[] = {
        {"неизвестный параметр «-x».", {"-x"}},
        {"параметру --frequency не хватает значения.", {"-f"}},
        {"параметру --device не хватает значения.", {"-n 3 --device"}},
        {"параметр --duration требует --frequency.", {"-d 1"}},
        {"параметры --output и --device несовместимы.", {"-D pulse -o a.wav", "-o a.wav -D hw"}},
        {"--frequency: нужно положительное число", {"-f 0", "-f inf", "-f 440Hz"}},
        {"--duration: нужно положительное число", {"-f 440 -d 0"}},
        {"--tones: нужно целое число от 1 до 1048576", {"-n 0", "-n 1048577"}},
        {"--amplitude: нужно число больше 0 и не больше 1, или уровень до 0dB",
         {"-a 0", "-a 1.01", "-a 3dB"}},
        {"--rate: нужно целое число от 8000 до 384000", {"-r 7999"}},
        {"--bits: допустимы 16, 24, 32", {"-b 20"}},
        {"--channels: допустимы 2, 4, 6, 8", {"-c 1"}},
        {"--smooth: нужно число миллисекунд от 1 до 100", {"-s 0,5"}},
        {"--channel: нужны номера от 1 до 2 или коды FL, FR через запятую",
         {"--channel LFE", "--channel 3", "--channel FL,FL", "--channel FL,"}},
        {"--channel: нужны номера от 1 до 8 или коды FL, FR, FC, LFE, BL, BR, SL, SR через "
         "запятую",
         {"-c 8 --side --channel FLC"}},
        {"--step: нужно положительное число", {"-t --step 0"}},
        {"--loops: нужно целое число от 0 до 1000000", {"--loops -1"}},
        {"параметр --side требует --channels 8.", {"-c 6 --side"}},
        {"параметры --speaker-test и --sweep несовместимы.", {"-t --sweep 20:200"}},
        {"параметры --speaker-test и --duration несовместимы: тест длится, пока обходит каналы.",
         {"-t -f 440 -d 1"}}};
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

// Catches an option added to the help text and left out of the manual page, which documents
// every option from its OPTIONS section on as ".BR \-x ", " \-\-long".
TEST(CommandLine, TheManualPageDocumentsEveryOptionOfTheHelp) {
    std::ifstream page(TONARIUM_MAN_PAGE);
    ASSERT_TRUE(page.is_open());
    const std::string text{std::istreambuf_iterator<char>(page), {}};
    const std::string options = text.substr(text.find(".SH OPTIONS"));
    const std::string& section = options;  // OPTIONS and the sections after it
    std::istringstream help(helpText());
    int documented = 0;
    for (std::string line; std::getline(help, line);) {
        // "  -n, --tones N ..." or "  --seed N ...": the long name up to a space or a '['.
        const bool withShort = line.compare(0, 3, "  -") == 0 && line.compare(4, 4, ", --") == 0;
        if (!withShort && line.compare(0, 4, "  --") != 0) {
            continue;
        }
        std::string name = "\\-\\-";
        for (size_t at = withShort ? 8 : 4; at < line.size() && line[at] != ' ' && line[at] != '[';
             ++at) {
            name += line[at] == '-' ? std::string("\\-") : std::string(1, line[at]);
        }
        const bool found = withShort
                               ? section.find(".BR \\-" + line.substr(3, 1) + " \", \" " + name) !=
                                     std::string::npos
                               : section.find(".B " + name) != std::string::npos ||
                                     section.find(".BI " + name) != std::string::npos;
        EXPECT_TRUE(found) << line;
        ++documented;
    }
    EXPECT_GE(documented, 14);
}

}  // namespace

// Catches a wrong plural, a signal or band left out of the stream's name, and a tone named where
// a noise plays.
TEST(SignalChain, NamesTheStreamAfterWhatPlays) {
    const struct {
        const char* arguments;
        int32_t tones;
        double hz;
        const char* name;
    } table[] = {
        {"", 1, 440, "1 тон от 440 Гц"},
        {"", 3, 27.5, "3 тона от 27.5 Гц"},
        {"", 11, 440, "11 тонов от 440 Гц"},
        {"", 22, 0, "22 тона, тишина"},
        {"-w square", 5, 110, "меандр, 5 тонов от 110 Гц"},
        {"-w pink --band 500:2000", 1, 440, "розовый шум, полоса 500–2000 Гц"},
        {"--sweep 20:20000 -d 5", 1, 0, "синус, качание 20–20000 Гц"},
        {"-t", 1, 0, "проверка каналов, розовый шум, полоса 500–2000 Гц"},
    };
    for (const auto& t : table) {
        M_Sines sines(1);
        const SignalChain chain(parse(t.arguments).options, sines);
        EXPECT_EQ(chain.streamName(t.tones, t.hz), t.name) << t.arguments;
    }
}
