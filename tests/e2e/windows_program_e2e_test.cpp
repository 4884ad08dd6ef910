// The 64-bit Windows program under wine64, whose winmm plays through Wine's PulseAudio driver
// into the private server of scripts/with-pulse.sh: a timed run heard on the sink, a written
// file, a usage error in code page 1251 with the Windows line end, and the signals written as the
// Linux program writes them. scripts/wine-test.sh
// runs it with a Wine prefix of its own and names the program in TONARIUM_WINDOWS_EXE.
#include <gtest/gtest.h>

#include "tests/support/recording.h"

namespace {

using namespace std::chrono_literals;

TEST(WindowsProgramEndToEnd, PlaysForAGivenTimeWritesAFileAndRefusesBadUsageInCodePage1251) {
    const char* exe = std::getenv("TONARIUM_WINDOWS_EXE");
    ASSERT_TRUE(exe != nullptr && std::getenv("WINEPREFIX") != nullptr) << "run by wine-test.sh";
    // wine-run.sh execs Wine: the child is the Windows program. Wine starts slowly: 30 s.
    const auto windows = [exe](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {TONARIUM_WINE_RUN, "--raw", exe});
        return arguments;
    };

    SilentStream silence;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ChildProcess player(windows({"-q", "-n", "2", "-f", "220", "-d", "1"}));
    const auto pair = [](std::span<const double> s) {
        return std::abs(amplitudeAt(s, 220, 48000) - 0.707 / 2) < 0.03 &&
               std::abs(amplitudeAt(s, 440, 48000) - 0.707 / 2) < 0.03;
    };
    EXPECT_TRUE(recording.waitForWindow(0, 100, pair, 30s)) << "no 220 and 440 Hz pair";
    EXPECT_EQ(player.waitForExit(30s), 0);

    const std::string path = testing::TempDir() + "tonarium-wine.wav";
    ChildProcess writer(windows({"-q", "-s", "-o", path, "-f", "440", "-d", "1"}));
    EXPECT_EQ(writer.waitForExit(30s), 0);
    SndfileHandle file(path);
    const std::vector<double> left = leftOf(file);
    std::remove(path.c_str());
    ASSERT_EQ(std::pair(file.samplerate(), left.size()), std::pair(192000, size_t(192000)));
    EXPECT_NEAR(amplitudeAt(left, 440.0, 192000), 0.707, 0.01);
    EXPECT_EQ(left.back(), 0.0);  // faded out at the end

    ChildProcess refused(windows({"-D", "pulse"}), {.output = true, .errorToOutput = true});
    EXPECT_EQ(refused.waitForExit(30s), 2);
    // "Ошибка: недопустимое значение «pulse» параметра --device: ..." in code page 1251 and its
    // line end; Wine's own processes may keep the pipe open: wait for the text, not the end.
    EXPECT_TRUE(refused.waitForOutput("\xce\xf8\xe8\xe1\xea\xe0: \xed\xe5\xe4\xee\xef\xf3\xf1\xf2"
                                      "\xe8\xec\xee\xe5 \xe7\xed\xe0\xf7\xe5\xed\xe8\xe5 \xab"
                                      "pulse\xbb \xef\xe0\xf0\xe0\xec\xe5\xf2\xf0\xe0 --device: ",
                                      10s) &&
                refused.waitForOutput(" tonarium --help\r\n", 10s))
        << refused.output();
}

// The same doubles, so the same integer samples: the tables, filters and generator of the two
// builds agree, a seeded noise included.
TEST(WindowsProgramEndToEnd, WritesEverySignalAsTheLinuxProgramDoes) {
    const char* exe = std::getenv("TONARIUM_WINDOWS_EXE");
    ASSERT_TRUE(exe != nullptr && std::getenv("WINEPREFIX") != nullptr) << "run by wine-test.sh";
    const std::string windowsPath = testing::TempDir() + "tonarium-wine-signal.wav";
    const std::string linuxPath = testing::TempDir() + "tonarium-linux-signal.wav";
    for (const std::vector<std::string>& signal :
         {std::vector<std::string>{"-w", "sawtooth", "-f", "A4", "-n", "2"},
          {"-w", "pink", "--seed", "3", "--band", "100:5000"},
          {"-w", "brown", "--seed", "4", "-a", "-10dB"},
          {"--sweep", "20:20000", "-s"}}) {
        std::vector<std::string> windows{TONARIUM_WINE_RUN, "--raw", exe, "-o", windowsPath};
        std::vector<std::string> linux{TONARIUM_BINARY, "-o", linuxPath};
        for (std::vector<std::string>* argv : {&windows, &linux}) {
            argv->insert(argv->end(), {"-q", "-r", "48000", "-d", "0.5"});
            argv->insert(argv->end(), signal.begin(), signal.end());
        }
        EXPECT_EQ(ChildProcess(windows).waitForExit(30s), 0) << signal[1];
        EXPECT_EQ(ChildProcess(linux).waitForExit(30s), 0) << signal[1];
        const std::vector<double> fromWindows = leftOf(SndfileHandle(windowsPath));
        EXPECT_EQ(fromWindows.size(), 24000u) << signal[1];
        EXPECT_EQ(fromWindows, leftOf(SndfileHandle(linuxPath))) << signal[1];
        std::remove(windowsPath.c_str());
        std::remove(linuxPath.c_str());
    }
}

}  // namespace
