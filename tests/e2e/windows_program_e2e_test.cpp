// The Windows program end to end under Wine, over the private PulseAudio server of
// scripts/with-pulse.sh. The 64-bit tonarium.exe runs under wine64, whose winmm plays through
// Wine's PulseAudio driver into the server's null sink. The test answers the dialogue through
// standard input, records the sink to check the tones, checks the exit status, and checks that
// the texts arrive as code page 1251 bytes with the Windows line end (decoding them and
// comparing with the Russian texts); then the exit without a sound server, a console control
// event (Wine turns SIGINT into Ctrl+C for the program), and the program in a console: under a
// pseudo-terminal Wine gives it a real console, which shows the console attributes as escape
// sequences and the code page 1251 texts in the terminal's UTF-8.
//
// scripts/wine-test.sh runs it with a Wine prefix of its own (WINEPREFIX) and names the program
// in TONARIUM_WINDOWS_EXE.
#include <iconv.h>
#include <signal.h>
#include <sndfile.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/e2e_session.h"
#include "tests/support/program_texts.h"
#include "tests/support/recording.h"
#include "tests/support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;

constexpr double kRateHz = MonitorRecording::kRateHz;
constexpr size_t kFramesPerMs = MonitorRecording::kRateHz / 1000;

// Bounds of every wait: the start of a program under Wine, and the time for a change of the
// sound (or the end of the program) to come through.
constexpr auto kStartLimit = 30s;
constexpr auto kHearingLimit = 10s;

std::string convert(const std::string& text, const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        throw std::runtime_error("no iconv conversion");
    }
    std::string in = text;
    std::string out(text.size() * 4, '\0');
    char* inPtr = in.data();
    char* outPtr = out.data();
    size_t inLeft = in.size();
    size_t outLeft = out.size();
    const size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (result == static_cast<size_t>(-1)) {
        throw std::runtime_error("not convertible: " + text);
    }
    out.resize(out.size() - outLeft);
    return out;
}

std::string withCrLf(const std::string& text) {
    std::string crlf;
    for (char c : text) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    return crlf;
}

// The bytes of a text as the Windows program writes them: code page 1251, CR LF line ends.
std::string windowsBytes(const std::string& utf8) {
    return convert(withCrLf(utf8), "CP1251", "UTF-8");
}

// Program output decoded from code page 1251, line ends as written. Bytes that are not code
// page 1251 make the comparison fail with a readable message.
std::string decodeCp1251(const std::string& bytes) {
    try {
        return convert(bytes, "UTF-8", "CP1251");
    } catch (const std::runtime_error&) {
        return "<not code page 1251>";
    }
}

bool tone(std::span<const double> s, double hz, double amplitude) {
    return std::abs(amplitudeAt(s, hz, kRateHz) - amplitude) < 0.05 &&
           std::abs(zeroCrossingHz(s, kRateHz) - hz) < hz * 0.02;
}

// Quieter than one step of 16-bit samples in RMS.
bool silent(std::span<const double> s) {
    return rmsOf(s) < 1.0 / 32768.0;
}

class WindowsProgramEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        const char* exe = std::getenv("TONARIUM_WINDOWS_EXE");
        ASSERT_NE(exe, nullptr) << "run by scripts/wine-test.sh, which names the program";
        ASSERT_NE(std::getenv("WINEPREFIX"), nullptr) << "needs a Wine prefix of its own";
        ASSERT_FALSE(monitorSourceFromEnvironment().empty())
            << "needs the private server of scripts/with-pulse.sh";
        program = exe;
    }

    // wine-run.sh execs Wine, so the child's process id is the Windows program's.
    std::vector<std::string> command() const { return {TONARIUM_WINE_RUN, "--raw", program}; }

    std::string program;
};

TEST_F(WindowsProgramEndToEnd, PlaysWhatTheUserAsksForWritesCodePage1251AndEndsWithStatusZero) {
    SilentStream keepMonitorRunning;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ASSERT_TRUE(recording.waitForFrames(1, kStartLimit));

    ChildProcess tonarium(command(), {.input = true, .output = true});
    Transcript transcript(tonarium.outputFd());
    ASSERT_TRUE(transcript.waitFor(windowsBytes(kAskCount), 1, kStartLimit))
        << decodeCp1251(transcript.text());
    EXPECT_EQ(decodeCp1251(transcript.text()), withCrLf(kDeviceReport + kAskCount));

    // Before any frequency: silence.
    const size_t started = recording.frameCount();
    ASSERT_TRUE(recording.waitForFrames(started + 500 * kFramesPerMs, kHearingLimit));
    EXPECT_TRUE(silent(leftChannel(recording, started, 500 * kFramesPerMs)));

    // One tone at 440 Hz, at the program's amplitude.
    tonarium.writeInput("1\n440\n");
    const auto oneTone = waitForWindow(
        recording, started, 100, [](auto s) { return tone(s, 440.0, 0.707); }, kHearingLimit);
    ASSERT_TRUE(oneTone.has_value()) << "no 440 Hz tone";

    // Two tones, 220 and 440 Hz, sharing the amplitude; nothing between them.
    tonarium.writeInput("-1\n2\n220\n");
    const auto twoTones = waitForWindow(
        recording, *oneTone, 100,
        [](auto s) {
            return std::abs(amplitudeAt(s, 220.0, kRateHz) - 0.707 / 2) < 0.03 &&
                   std::abs(amplitudeAt(s, 440.0, kRateHz) - 0.707 / 2) < 0.03 &&
                   amplitudeAt(s, 330.0, kRateHz) < 0.01;
        },
        kHearingLimit);
    ASSERT_TRUE(twoTones.has_value()) << "no 220 and 440 Hz pair";

    // Stepping back silences it; a negative tone count ends the program with status 0.
    tonarium.writeInput("-1\n");
    ASSERT_TRUE(waitForWindow(recording, *twoTones, 100, silent, kHearingLimit).has_value())
        << "no silence after stepping back";
    tonarium.writeInput("-1\n");
    EXPECT_EQ(tonarium.waitForExit(kHearingLimit), std::optional<int>(0));
    ASSERT_TRUE(transcript.waitForEnd(kHearingLimit));
    EXPECT_EQ(decodeCp1251(transcript.text()),
              withCrLf(kDeviceReport + kAskCount + kAskFrequency + kAskFrequency + kAskCount +
                       kAskFrequency + kAskFrequency + kAskCount));
}

TEST_F(WindowsProgramEndToEnd, CommandLinePlaysForAGivenTimeWritesAFadedFileAndRefusesBadUsage) {
    SilentStream keepMonitorRunning;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ASSERT_TRUE(recording.waitForFrames(1, kStartLimit));
    std::vector<std::string> timed = command();
    timed.insert(timed.end(), {"-q", "-n", "2", "-f", "220", "-d", "1"});
    ChildProcess player(timed, {.output = true});
    const auto pair = waitForWindow(
        recording, 0, 100,
        [](auto s) {
            return std::abs(amplitudeAt(s, 220.0, kRateHz) - 0.707 / 2) < 0.03 &&
                   std::abs(amplitudeAt(s, 440.0, kRateHz) - 0.707 / 2) < 0.03;
        },
        kStartLimit);
    EXPECT_TRUE(pair.has_value()) << "no 220 and 440 Hz pair";
    EXPECT_EQ(player.waitForExit(kStartLimit), std::optional<int>(0));

    const std::string path = ::testing::TempDir() + "tonarium-wine.wav";
    std::vector<std::string> file = command();
    file.insert(file.end(), {"-q", "-s", "-o", path, "-f", "440", "-d", "1"});
    ChildProcess writer(file, {.output = true});
    EXPECT_EQ(writer.waitForExit(kStartLimit), std::optional<int>(0));
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    std::vector<double> frames(static_cast<size_t>(info.frames * info.channels));
    sf_readf_double(sf, frames.data(), info.frames);
    sf_close(sf);
    std::remove(path.c_str());
    EXPECT_EQ(info.samplerate, 192000);
    EXPECT_EQ(info.frames, 192000);
    std::vector<double> left;
    for (size_t i = 0; i < frames.size(); i += 2) {
        left.push_back(frames[i]);
    }
    // Faded in and out over 5 ms each: the last frame is silent.
    EXPECT_NEAR(amplitudeAt(left, 440.0, 192000), 0.707, 0.01);
    EXPECT_NEAR(zeroCrossingHz(left, 192000), 440.0, 0.5);
    EXPECT_EQ(left.back(), 0.0);

    std::vector<std::string> bad = command();
    bad.insert(bad.end(), {"-D", "pulse"});
    ChildProcess refused(bad, {.output = true, .errorToOutput = true});
    Transcript refusal(refused.outputFd());
    EXPECT_EQ(refused.waitForExit(kStartLimit), std::optional<int>(2));
    // Wine's own processes may keep standard error open: wait for the line, not for the end.
    const std::string line =
        "Ошибка: недопустимое значение «pulse» параметра --device: нужен "
        "номер устройства из списка -l. Справка: tonarium --help\n";
    EXPECT_TRUE(refusal.waitFor(windowsBytes(line), 1, kHearingLimit))
        << decodeCp1251(refusal.text());
}

TEST_F(WindowsProgramEndToEnd, WithoutASoundServerReportsTheFailureAndEndsWithStatusZero) {
    EnvironmentGuard noServer("PULSE_SERVER", "unix:/nonexistent/tonarium-no-server");
    for (bool endOfInput : {false, true}) {
        SCOPED_TRACE(endOfInput ? "at the end of input" : "after one character");
        ChildProcess tonarium(command(), {.input = true, .output = true});
        Transcript transcript(tonarium.outputFd());
        ASSERT_TRUE(transcript.waitFor(windowsBytes(kFailureReport), 1, kStartLimit))
            << decodeCp1251(transcript.text());
        // It waits for the character: still running once the report is out.
        EXPECT_FALSE(tonarium.waitForExit(0ms).has_value());
        if (endOfInput) {
            tonarium.closeInput();
        } else {
            tonarium.writeInput("x");
        }
        EXPECT_EQ(tonarium.waitForExit(kHearingLimit), std::optional<int>(0));
        ASSERT_TRUE(transcript.waitForEnd(kHearingLimit));
        EXPECT_EQ(decodeCp1251(transcript.text()), withCrLf(kFailureReport));
    }
}

TEST_F(WindowsProgramEndToEnd, ControlCDuringTheDialogueStopsTheSoundAndEndsTheProcess) {
    SilentStream keepMonitorRunning;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ChildProcess tonarium(command(), {.input = true, .output = true});
    Transcript transcript(tonarium.outputFd());
    ASSERT_TRUE(transcript.waitFor(windowsBytes(kAskCount), 1, kStartLimit))
        << decodeCp1251(transcript.text());
    tonarium.writeInput("1\n440\n");
    const auto playing = waitForWindow(
        recording, 0, 100, [](auto s) { return tone(s, 440.0, 0.707); }, kStartLimit);
    ASSERT_TRUE(playing.has_value()) << "no 440 Hz tone";

    const auto interrupted = std::chrono::steady_clock::now();
    kill(tonarium.pid(), SIGINT);
    // The status is the platform's (Wine's default handling exits with 0, Windows' with
    // STATUS_CONTROL_C_EXIT); what counts is that the process ends while its input stays open.
    EXPECT_TRUE(tonarium.waitForExit(kHearingLimit).has_value()) << "still running after Ctrl+C";
    const size_t atInterrupt = recording.framesArrivedBy(interrupted);
    const auto quiet = waitForWindow(recording, atInterrupt, 100, silent, kHearingLimit);
    ASSERT_TRUE(quiet.has_value()) << "still sounding after Ctrl+C";
    ASSERT_TRUE(recording.waitForFrames(*quiet + 400 * kFramesPerMs, kHearingLimit));
    EXPECT_TRUE(silent(leftChannel(recording, *quiet, 400 * kFramesPerMs)));
}

// Wine's console redraws its screen on the terminal: it hides the cursor around every character
// it writes, and may draw a run of blanks as "erase, move right". Both are taken out, so that
// what remains reads like the text and the colours.
std::string consoleText(std::string text) {
    const auto replaceAll = [&text](const std::string& from, const std::string& to) {
        for (size_t at = text.find(from); at != std::string::npos;
             at = text.find(from, at + to.size())) {
            text.replace(at, from.size(), to);
        }
    };
    replaceAll("\x1b[?25l", "");
    replaceAll("\x1b[?25h", "");
    replaceAll("\x1b[K\x1b[1C", " ");
    return text;
}

TEST_F(WindowsProgramEndToEnd, InAConsoleTheTitleColoursAndRussianTextsShowAsTheUserSeesThem) {
    // The terminal's encoding, into which Wine's console turns code page 1251.
    EnvironmentGuard utf8("LC_ALL", "C.UTF-8");
    TerminalChild tonarium(command());
    Transcript transcript(tonarium.terminalFd());
    // Typed once the prompt shows, as a user would.
    ASSERT_TRUE(transcript.waitUntil(
        [](const std::string& text) {
            return consoleText(text).find("Введите количество тонов:") != std::string::npos;
        },
        kStartLimit))
        << transcript.text();
    tonarium.type("-1\r");
    EXPECT_EQ(tonarium.waitForExit(kHearingLimit), std::optional<int>(0));
    transcript.waitForEnd(kHearingLimit);

    // Colours as the console draws them: light green 92, dark cyan 36, grey is the terminal's
    // default, black 30 on dark yellow 43, white 97.
    const std::string text = consoleText(transcript.text());
    for (const char* piece : {
             "\x1b]0;Tonarium\a",
             "\x1b[92mУстройство вывода звука успешно инициализировано.",
             "\x1b[36mКоличество каналов: \x1b[m2",
             "\x1b[36mЧастота дискретизации: \x1b[m192000\x1b[36m Гц",
             "Глубина квантования: \x1b[m32\x1b[36m бит",
             "\x1b[30m\x1b[43mдля возврата к предыдущему параметру наберите\x1b[97m -1",
         }) {
        EXPECT_NE(text.find(piece), std::string::npos) << "missing " << piece << " in " << text;
    }
}

}  // namespace
