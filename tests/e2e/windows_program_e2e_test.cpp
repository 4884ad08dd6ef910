// The 64-bit Windows program under wine64, whose winmm plays through Wine's PulseAudio driver
// into the private server of scripts/with-pulse.sh: a timed run heard on the sink, a written
// file, and a usage error in code page 1251 with the Windows line end. scripts/wine-test.sh
// runs it with a Wine prefix of its own and names the program in TONARIUM_WINDOWS_EXE.
#include <iconv.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/recording.h"
#include "tests/support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kStart = 30s;  // Wine starts slowly
constexpr double kRecordHz = MonitorRecording::kRateHz;

// The bytes of a text as the Windows program writes it: code page 1251, CR LF line ends.
std::string windowsBytes(std::string text) {
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2)) {
        text.insert(at, 1, '\r');
    }
    std::string out(text.size(), '\0');
    char* in = text.data();
    char* to = out.data();
    size_t inLeft = text.size();
    size_t outLeft = out.size();
    iconv_t cd = iconv_open("CP1251", "UTF-8");
    iconv(cd, &in, &inLeft, &to, &outLeft);
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

TEST(WindowsProgramEndToEnd, PlaysForAGivenTimeWritesAFileAndRefusesBadUsageInCodePage1251) {
    const char* exe = std::getenv("TONARIUM_WINDOWS_EXE");
    ASSERT_TRUE(exe != nullptr && std::getenv("WINEPREFIX") != nullptr) << "run by wine-test.sh";
    ASSERT_FALSE(monitorSourceFromEnvironment().empty()) << "run under scripts/with-pulse.sh";
    // wine-run.sh execs Wine, so the child's process is the Windows program's.
    const auto windows = [exe](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {TONARIUM_WINE_RUN, "--raw", exe});
        return arguments;
    };

    SilentStream silence;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ChildProcess player(windows({"-q", "-n", "2", "-f", "220", "-d", "1"}));
    EXPECT_TRUE(recording
                    .waitForWindow(
                        0, 100,
                        [](std::span<const double> s) {
                            return std::abs(amplitudeAt(s, 220, kRecordHz) - 0.707 / 2) < 0.03 &&
                                   std::abs(amplitudeAt(s, 440, kRecordHz) - 0.707 / 2) < 0.03;
                        },
                        kStart)
                    .has_value())
        << "no 220 and 440 Hz pair";
    EXPECT_EQ(player.waitForExit(kStart), 0);

    const std::string path = testing::TempDir() + "tonarium-wine.wav";
    ChildProcess writer(windows({"-q", "-s", "-o", path, "-f", "440", "-d", "1"}));
    EXPECT_EQ(writer.waitForExit(kStart), 0);
    const SoundFile file = readSoundFile(path).value_or(SoundFile());
    std::remove(path.c_str());
    EXPECT_EQ(file.rate, 192000);
    ASSERT_EQ(file.left.size(), 192000u);
    EXPECT_NEAR(amplitudeAt(file.left, 440.0, 192000), 0.707, 0.01);
    EXPECT_EQ(file.left.back(), 0.0);  // faded out at the end

    ChildProcess refused(windows({"-D", "pulse"}), {.output = true, .errorToOutput = true});
    EXPECT_EQ(refused.waitForExit(kStart), 2);
    // Wine's own processes may keep standard error open: wait for the line, not for the end.
    EXPECT_TRUE(refused.waitForOutput(
        windowsBytes("Ошибка: недопустимое значение «pulse» параметра --device: нужен номер "
                     "устройства из списка -l. Справка: tonarium --help\n"),
        10s));
}

}  // namespace
