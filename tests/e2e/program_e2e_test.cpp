// The program end to end, over the private PulseAudio server of scripts/with-pulse.sh: the real
// tonarium binary answered through its standard input over time, its transcript checked byte for
// byte, and the server's sink recorded to check what it plays; then the exits without a server,
// an interrupt during the dialogue, and the colours under a pseudo-terminal.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/e2e_session.h"
#include "tests/support/program_texts.h"
#include "tests/support/recording.h"
#include "tests/support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kRateHz = MonitorRecording::kRateHz;
constexpr size_t kFramesPerMs = MonitorRecording::kRateHz / 1000;

// The bounds of every wait: the program's start (the server's stream may stall for two seconds
// before it plays), and the time for a change of the sound to be heard.
constexpr auto kStartLimit = 15s;
constexpr auto kHearingLimit = 10s;

// The level above which a tone counts as sounding.
constexpr double kAudible = 0.05;
// Quieter than one step of 16-bit samples in RMS: silence.
constexpr double kSilent = 1.0 / 32768.0;

// One tone at `hz` (within 2 %), loud, without its octave.
bool singleTone(std::span<const double> s, double hz) {
    return amplitudeAt(s, hz, kRateHz) > 0.5 && amplitudeAt(s, 2 * hz, kRateHz) < 0.01 &&
           std::abs(zeroCrossingHz(s, kRateHz) - hz) < hz * 0.02;
}

bool silent(std::span<const double> s) {
    return rmsOf(s) < kSilent;
}

class ProgramEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        if (monitorSourceFromEnvironment().empty()) {
            GTEST_SKIP() << "needs the private server of scripts/with-pulse.sh";
        }
    }

    const std::vector<std::string> command{TONARIUM_BINARY};
};

TEST_F(ProgramEndToEnd, PlaysWhatTheUserAsksForAndEndsWithStatusZero) {
    SilentStream keepMonitorRunning;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ASSERT_TRUE(recording.waitForFrames(1, kStartLimit));

    ChildProcess program(command, {.input = true, .output = true});
    Transcript transcript(program.outputFd());
    ASSERT_TRUE(transcript.waitFor(kAskCount, 1, kStartLimit)) << transcript.text();
    EXPECT_EQ(transcript.text(), kDeviceReport + kAskCount);

    // Before any frequency: silence while the program's stream starts and plays.
    const size_t started = recording.frameCount();
    ASSERT_TRUE(recording.waitForFrames(started + 500 * kFramesPerMs, kStartLimit));
    EXPECT_TRUE(silent(leftChannel(recording, 0, recording.frameCount())));

    // One tone at 440 Hz.
    program.writeInput("1\n440\n");
    ASSERT_TRUE(transcript.waitFor(kAskFrequency, 2, kHearingLimit));
    const size_t asked = recording.frameCount();
    const auto oneTone = waitForWindow(
        recording, asked, 100, [](auto s) { return singleTone(s, 440.0); }, kHearingLimit);
    ASSERT_TRUE(oneTone.has_value()) << "no 440 Hz tone";
    ASSERT_TRUE(recording.waitForFrames(*oneTone + 200 * kFramesPerMs, kHearingLimit));
    EXPECT_NEAR(amplitudeAt(leftChannel(recording, *oneTone, 200 * kFramesPerMs), 440.0, kRateHz),
                0.707, 0.05);

    // Three tones: 440, 880 and 1760 Hz at equal levels.
    program.writeInput("-1\n3\n440\n");
    ASSERT_TRUE(transcript.waitFor(kAskFrequency, 4, kHearingLimit));
    const auto threeTones = waitForWindow(
        recording, *oneTone, 100,
        [](auto s) {
            return amplitudeAt(s, 880.0, kRateHz) > kAudible &&
                   amplitudeAt(s, 1760.0, kRateHz) > kAudible;
        },
        kHearingLimit);
    ASSERT_TRUE(threeTones.has_value()) << "no three tones";
    // Past the window in which the change landed.
    const size_t chord = *threeTones + 100 * kFramesPerMs;
    ASSERT_TRUE(recording.waitForFrames(chord + 200 * kFramesPerMs, kHearingLimit));
    const std::vector<double> s = leftChannel(recording, chord, 200 * kFramesPerMs);
    for (double hz : {440.0, 880.0, 1760.0}) {
        EXPECT_NEAR(amplitudeAt(s, hz, kRateHz), 0.707 / 3, 0.01) << hz;
    }
    EXPECT_LT(amplitudeAt(s, 3520.0, kRateHz), 0.01);

    // Stepping back silences it, and it stays silent.
    program.writeInput("-1\n");
    ASSERT_TRUE(transcript.waitFor(kAskCount, 3, kHearingLimit));
    const auto quiet = waitForWindow(recording, chord, 100, silent, kHearingLimit);
    ASSERT_TRUE(quiet.has_value()) << "no silence after stepping back";
    ASSERT_TRUE(recording.waitForFrames(*quiet + 400 * kFramesPerMs, kHearingLimit));
    EXPECT_TRUE(silent(leftChannel(recording, *quiet, 400 * kFramesPerMs)));

    program.writeInput("-1\n");
    EXPECT_EQ(program.waitForExit(kHearingLimit), std::optional<int>(0));
    ASSERT_TRUE(transcript.waitForEnd(kHearingLimit));
    EXPECT_EQ(transcript.text(), kDeviceReport + kAskCount + kAskFrequency + kAskFrequency +
                                     kAskCount + kAskFrequency + kAskFrequency + kAskCount);
}

TEST_F(ProgramEndToEnd, InterruptDuringTheDialogueStopsTheSoundAndEndsTheProcessAtOnce) {
    SilentStream keepMonitorRunning;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ChildProcess program(command, {.input = true, .output = true});
    Transcript transcript(program.outputFd());
    ASSERT_TRUE(transcript.waitFor(kAskCount, 1, kStartLimit)) << transcript.text();
    program.writeInput("1\n440\n");
    const auto playing = waitForWindow(
        recording, 0, 100, [](auto s) { return singleTone(s, 440.0); }, kStartLimit);
    ASSERT_TRUE(playing.has_value()) << "no 440 Hz tone";

    const auto interrupted = Clock::now();
    kill(program.pid(), SIGINT);
    // ChildProcess reports a death by a signal as 128 + the signal.
    EXPECT_EQ(program.waitForExit(500ms), std::optional<int>(128 + SIGINT));
    const size_t atInterrupt = recording.framesArrivedBy(interrupted);
    const auto quiet = waitForWindow(recording, atInterrupt, 100, silent, kHearingLimit);
    ASSERT_TRUE(quiet.has_value()) << "still sounding after the interrupt";
    ASSERT_TRUE(recording.waitForFrames(*quiet + 400 * kFramesPerMs, kHearingLimit));
    EXPECT_TRUE(silent(leftChannel(recording, *quiet, 400 * kFramesPerMs)));
}

TEST_F(ProgramEndToEnd, WithoutAServerReportsTheFailureAndEndsWithStatusZero) {
    EnvironmentGuard noServer("PULSE_SERVER", "unix:/nonexistent/tonarium-no-server");
    for (bool endOfInput : {false, true}) {
        SCOPED_TRACE(endOfInput ? "at the end of input" : "after one character");
        ChildProcess program(command, {.input = true, .output = true});
        Transcript transcript(program.outputFd());
        ASSERT_TRUE(transcript.waitFor(kFailureReport, 1, kStartLimit)) << transcript.text();
        // It waits for the character: still running once the report is out.
        EXPECT_FALSE(program.waitForExit(0ms).has_value());
        if (endOfInput) {
            program.closeInput();
        } else {
            program.writeInput("x");
        }
        EXPECT_EQ(program.waitForExit(kHearingLimit), std::optional<int>(0));
        ASSERT_TRUE(transcript.waitForEnd(kHearingLimit));
        EXPECT_EQ(transcript.text(), kFailureReport);
    }
}

// Started with standard descriptors closed, the program must not take its input from whatever
// it opens next (the signal descriptor): a closed input is an end of input.
TEST_F(ProgramEndToEnd, StartedWithClosedStandardDescriptorsItEndsAtTheEndOfInput) {
    struct Case {
        const char* closing;
        bool shows;
    };
    for (const Case& c : {Case{"<&-", true}, Case{"<&- >&- 2>&-", false}}) {
        SCOPED_TRACE(c.closing);
        ChildProcess program({"sh", "-c", std::string("exec \"$0\" ") + c.closing, TONARIUM_BINARY},
                             {.input = false, .output = true});
        Transcript transcript(program.outputFd());
        EXPECT_EQ(program.waitForExit(kStartLimit), std::optional<int>(0));
        ASSERT_TRUE(transcript.waitForEnd(kHearingLimit));
        EXPECT_EQ(transcript.text(), c.shows ? kDeviceReport + kAskCount : "");
    }
}

TEST_F(ProgramEndToEnd, UnderATerminalTheTextIsColouredAndTheColoursAreResetAtTheEnd) {
    EnvironmentGuard colours("NO_COLOR", nullptr);
    EnvironmentGuard terminalType("TERM", "xterm");
    // script(1) gives the program a pseudo-terminal and relays it to our pipes.
    ChildProcess run({"script", "-q", "-e", "-c", TONARIUM_BINARY, "/dev/null"},
                     {.input = true, .output = true});
    Transcript transcript(run.outputFd());
    // The prompt's white comes after its text: type only once it is out, so that the echo of
    // the answer follows it.
    ASSERT_TRUE(transcript.waitFor("Введите количество тонов: \x1b[97;40m", 1, kStartLimit))
        << transcript.text();
    run.writeInput("-1\n");
    EXPECT_EQ(run.waitForExit(kHearingLimit), std::optional<int>(0));
    transcript.waitForEnd(kHearingLimit);
    const std::string text = transcript.text();
    // The terminal turns every line end into CR LF.
    for (const char* piece : {
             "\x1b]0;Tonarium\a",
             "\x1b[92;40mУстройство вывода звука успешно инициализировано.\r\n",
             "\x1b[36;40mКоличество каналов: \x1b[37;40m2\r\n",
             "\x1b[36;43m\x1b[30;43mдля возврата к предыдущему параметру наберите"
             "\x1b[97;43m -1\x1b[97;40m\r\n",
             "\r\n\x1b[37;40mВведите количество тонов: \x1b[97;40m",
         }) {
        EXPECT_NE(text.find(piece), std::string::npos) << "missing " << piece << " in " << text;
    }
    // The typed answer is echoed by the terminal; the reset comes after everything else.
    EXPECT_EQ(text.substr(text.size() - 4), "\x1b[0m") << text;
}

// The frames of `s` from the first to the last sample louder than `level`; 0 when none is.
size_t soundingSpan(std::span<const double> s, double level) {
    const auto loud = [level](double x) { return std::abs(x) > level; };
    const auto first = std::find_if(s.begin(), s.end(), loud);
    const auto last = std::find_if(s.rbegin(), s.rend(), loud);
    return first == s.end() ? 0 : static_cast<size_t>(last.base() - first);
}

TEST_F(ProgramEndToEnd, TimedRunPlaysTheAskedTonesForItsDurationAndEndsWithZero) {
    SilentStream keepMonitorRunning;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ASSERT_TRUE(recording.waitForFrames(1, kStartLimit));
    const size_t before = recording.frameCount();
    ChildProcess program({TONARIUM_BINARY, "-n", "3", "-f", "440", "-d", "1", "-q"},
                         {.output = true});
    Transcript transcript(program.outputFd());
    EXPECT_EQ(program.waitForExit(kStartLimit + 1s), std::optional<int>(0));
    const size_t ended = recording.framesArrivedBy(Clock::now());
    ASSERT_TRUE(recording.waitForFrames(ended + 500 * kFramesPerMs, kHearingLimit));
    ASSERT_TRUE(transcript.waitForEnd(kHearingLimit));
    EXPECT_EQ(transcript.text(), "");

    const std::vector<double> s = leftChannel(recording, before, recording.frameCount() - before);
    EXPECT_NEAR(static_cast<double>(soundingSpan(s, 0.05)) / kRateHz, 1.0, 0.05);
    const auto chord = std::find_if(s.begin(), s.end(), [](double x) { return x > 0.05; });
    ASSERT_NE(chord, s.end());
    const std::span<const double> middle(chord + 300 * kFramesPerMs, 400 * kFramesPerMs);
    for (double hz : {440.0, 880.0, 1760.0}) {
        EXPECT_NEAR(amplitudeAt(middle, hz, kRateHz), 0.707 / 3, 0.01) << hz;
    }
}

TEST_F(ProgramEndToEnd, CommandLineListsTheServersOutputAndRefusesAMissingOne) {
    ChildProcess list({TONARIUM_BINARY, "-l"}, {.output = true});
    Transcript listing(list.outputFd());
    EXPECT_EQ(list.waitForExit(kHearingLimit), std::optional<int>(0));
    ASSERT_TRUE(listing.waitForEnd(kHearingLimit));
    EXPECT_NE(listing.text().find("pulse\n    PulseAudio Sound Server\n"), std::string::npos)
        << listing.text();

    ChildProcess missing({TONARIUM_BINARY, "-D", "no-such-output", "-f", "440", "-d", "1"},
                         {.output = true, .errorToOutput = true});
    Transcript refusal(missing.outputFd());
    EXPECT_EQ(missing.waitForExit(kHearingLimit), std::optional<int>(1));
    ASSERT_TRUE(refusal.waitForEnd(kHearingLimit));
    EXPECT_EQ(refusal.text(), "Ошибка: Подходящее устройство вывода звука не найдено.\n");
}

TEST_F(ProgramEndToEnd, InterruptEndsATimedRunAtOnce) {
    SilentStream keepMonitorRunning;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ChildProcess program({TONARIUM_BINARY, "-f", "440", "-d", "30"}, {.output = true});
    Transcript transcript(program.outputFd());
    ASSERT_TRUE(recording.waitForSound(0, kAudible / 2, kStartLimit).has_value());
    kill(program.pid(), SIGINT);
    EXPECT_EQ(program.waitForExit(500ms), std::optional<int>(128 + SIGINT));
}

}  // namespace
