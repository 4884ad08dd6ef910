// The tonarium binary end to end, each test under a private PulseAudio server of its own
// (scripts/with-pulse.sh): what the default device plays, recorded from the sink's monitor; the
// output stalled, lost and replaced; the sound files it writes, read back with libsndfile.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <tuple>

#include "tests/support/recording.h"
#include "tests/support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kFormat =
    "Количество каналов: 2\nЧастота дискретизации: 192000 Гц\nГлубина квантования: 32 бит\n";
const std::string kReport = "Устройство вывода звука успешно инициализировано.\n" + kFormat;
const std::string kHint = "\nдля возврата к предыдущему параметру наберите -1\n";
const std::string kAskCount = "\nВведите количество тонов: ";
const std::string kAskHz = "Введите частоту основного тона (Гц): ";
const std::string kNoDevice = "Ошибка: Подходящее устройство вывода звука не найдено.\n";
const std::string kLost =
    "Ошибка: Связь с устройством вывода звука потеряна, идёт переподключение.\n";
const std::string kRestored = "Связь с устройством вывода звука восстановлена.\n";

constexpr double kRecordHz = MonitorRecording::kRateHz;
constexpr double kFileHz = 192000;
constexpr size_t kBufferFrames = 5760;  // 46080 bytes of 32-bit stereo
constexpr auto kStart = 15s;            // a new stream may stall two seconds before it plays
constexpr auto kLimit = 10s;
const ChildPipes kPiped{.input = true, .output = true, .errorToOutput = true};

std::vector<std::string> tonarium(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TONARIUM_BINARY);
    return arguments;
}

std::string env(const char* name) {
    return std::getenv(name) != nullptr ? std::getenv(name) : "";
}

int runTool(const std::vector<std::string>& argv) {
    return ChildProcess(argv).waitForExit(kLimit).value_or(-1);
}

bool toneHeardWithin(std::chrono::milliseconds limit) {
    SilentStream silence;
    MonitorRecording recording(monitorSourceFromEnvironment());
    const auto tone440 = [](std::span<const double> s) {
        return amplitudeAt(s, 440, kRecordHz) > 0.5 &&
               std::abs(zeroCrossingHz(s, kRecordHz) - 440) < 9;
    };
    return recording.waitForWindow(0, 100, tone440, limit).has_value();
}

// Stops the server (SIGSTOP) until the end of the scope.
struct Stopped {
    explicit Stopped(pid_t server) : server(server) { kill(server, SIGSTOP); }
    ~Stopped() { kill(server, SIGCONT); }
    pid_t server;
};

class ProgramEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(monitorSourceFromEnvironment().empty()) << "run under scripts/with-pulse.sh";
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    const pid_t server = std::atoi(env("TONARIUM_PULSE_PID").c_str());
    const fs::path folder = fs::path(testing::TempDir()) / ("tonarium-" + std::to_string(getpid()));
};

TEST_F(ProgramEndToEnd, TimedRunPlaysTheTonesOnTheDefaultDeviceForItsDuration) {
    SilentStream silence;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ASSERT_TRUE(recording.waitForFrames(1, kStart));
    const size_t before = recording.frameCount();
    ChildProcess program(tonarium({"-n", "3", "-f", "440", "-d", "1"}), kPiped);
    EXPECT_EQ(program.waitForExit(kStart), 0);
    EXPECT_EQ(program.output(kLimit), kReport);
    const size_t ended = recording.framesArrivedBy(MonitorRecording::Clock::now());
    ASSERT_TRUE(recording.waitForFrames(ended + 24000, kLimit));
    const std::vector<double> s = recording.left(before, recording.frameCount() - before);
    const auto loud = [](double x) { return std::abs(x) > 0.05; };
    const auto first = std::find_if(s.begin(), s.end(), loud);
    const auto last = std::find_if(s.rbegin(), s.rend(), loud).base();
    ASSERT_GT(last - first, 24000) << "no tone";
    EXPECT_NEAR(static_cast<double>(last - first) / kRecordHz, 1.0, 0.05);
    for (double hz : {440.0, 880.0, 1760.0}) {
        EXPECT_NEAR(amplitudeAt({first + 14400, 19200}, hz, kRecordHz), 0.707 / 3, 0.01) << hz;
    }
    // The outputs listed, and a missing one refused.
    ChildProcess list(tonarium({"-l"}), kPiped);
    EXPECT_NE(list.output(kLimit).find("pulse\n    PulseAudio Sound Server\n"), std::string::npos);
    ChildProcess missing(tonarium({"-D", "no-such-output", "-f", "440", "-d", "1"}), kPiped);
    EXPECT_EQ(missing.waitForExit(kLimit), 1);
    EXPECT_EQ(missing.output(kLimit), kNoDevice);
}

TEST_F(ProgramEndToEnd, WithoutAServerTheFailureIsReportedUntilAKeyOrTheEndOfInput) {
    for (bool endOfInput : {false, true}) {
        ChildProcess program({"env", "PULSE_SERVER=unix:/nonexistent", TONARIUM_BINARY}, kPiped);
        ASSERT_TRUE(program.waitForOutput(kNoDevice, kStart)) << program.output();
        EXPECT_FALSE(program.waitForExit(0ms).has_value());
        endOfInput ? program.closeInput() : void(program.writeInput("x"));
        EXPECT_EQ(program.waitForExit(kLimit), 0) << endOfInput;
        EXPECT_EQ(program.output(kLimit), kNoDevice + "нажмите любую клавишу для выхода.\n");
    }
}

TEST_F(ProgramEndToEnd, AStalledServerIsWaitedForAndEveryWayOutEndsAtOnceWhileItIsStopped) {
    ChildProcess playing(tonarium({"-f", "440"}), kPiped);
    ChildProcess asking(tonarium({}), kPiped);
    ASSERT_TRUE(playing.waitForOutput(kAskCount, kStart) &&
                asking.waitForOutput(kAskCount, kStart));
    ASSERT_TRUE(toneHeardWithin(kStart));
    {
        Stopped stopped(server);
        std::this_thread::sleep_for(3s);
    }
    EXPECT_TRUE(toneHeardWithin(5s)) << "no tone after the server went on";
    EXPECT_EQ(playing.output().find(kLost), std::string::npos) << "a slow server is not lost";

    Stopped stopped(server);
    std::this_thread::sleep_for(300ms);  // both streams are stuck by now
    kill(playing.pid(), SIGINT);
    asking.closeInput();
    EXPECT_EQ(playing.waitForExit(1s), 128 + SIGINT);
    EXPECT_EQ(asking.waitForExit(1s), 0);
}

TEST_F(ProgramEndToEnd, ALostOutputIsToldOnceAndTheToneComesBackOnTheNewSinkAndServer) {
    ChildProcess program(tonarium({}), kPiped);
    ASSERT_TRUE(program.waitForOutput(kAskCount, kStart)) << program.output();
    program.writeInput("1\n440\n");
    ASSERT_TRUE(toneHeardWithin(kStart));

    const std::string sink = env("TONARIUM_SINK");
    ASSERT_EQ(runTool({"pactl", "unload-module", "module-null-sink"}), 0);
    ASSERT_TRUE(program.waitForOutput(kLost, kStart)) << program.output();
    ASSERT_EQ(runTool({"pactl", "load-module", "module-null-sink", "sink_name=" + sink}), 0);
    ASSERT_EQ(runTool({"pactl", "set-default-sink", sink}), 0);
    EXPECT_TRUE(toneHeardWithin(5s)) << "no tone on the new sink";
    EXPECT_TRUE(program.waitForOutput(kRestored, kLimit)) << program.output();

    ASSERT_EQ(kill(server, SIGKILL), 0);
    ASSERT_TRUE(program.waitForOutput(kLost, kStart, 2)) << program.output();
    ChildProcess newServer({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                            "--use-pid-file=no", "--log-target=file:/dev/null", "-F",
                            env("TONARIUM_PULSE_CONFIG")});
    for (int tries = 0; runTool({"pactl", "info"}) != 0; ++tries) {
        ASSERT_LT(tries, 100) << "the new server does not answer";
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(toneHeardWithin(5s)) << "no tone from the new server";
    EXPECT_TRUE(program.waitForOutput(kRestored, kLimit, 2)) << program.output();
    program.writeInput("-1\n-1\n");
    EXPECT_EQ(program.waitForExit(kLimit), 0);
    EXPECT_EQ(program.output(kLimit), kReport + kHint + kAskCount + kAskHz + kAskHz + kLost +
                                          kRestored + kLost + kRestored + kAskCount);
}

TEST_F(ProgramEndToEnd, TimedFilesHoldExactlyTheirFramesOfTheTonesInEveryKind) {
    for (const auto& [extension, subtype, bits] : {std::tuple{".wav", SF_FORMAT_PCM_32, "32"},
                                                   {".flac", SF_FORMAT_PCM_24, "24"},
                                                   {".aiff", SF_FORMAT_PCM_32, "32"},
                                                   {".caf", SF_FORMAT_PCM_32, "32"},
                                                   {".w64", SF_FORMAT_PCM_32, "32"},
                                                   {".rf64", SF_FORMAT_PCM_32, "32"}}) {
        const std::string path = folder / (std::string("tone") + extension);
        ChildProcess program(tonarium({"-o", path, "-n", "3", "-f", "440", "-d", "0.25"}), kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), 0);
        EXPECT_EQ(
            program.output(kLimit),
            "Файл: " + path + "\n" + kFormat.substr(0, kFormat.size() - 10) + bits + " бит\n");
        const SoundFile file = readSoundFile(path).value_or(SoundFile());
        EXPECT_EQ(std::tuple(file.left.size(), file.rate, file.channels, file.format & 0xffff),
                  std::tuple(48000u, 192000, 2, subtype));
        for (double hz : {440.0, 880.0, 1760.0, 3520.0}) {
            EXPECT_NEAR(amplitudeAt(file.left, hz, kFileHz), hz < 2000 ? 0.707 / 3 : 0, 0.002);
        }
    }
}

// True once the file has grown by `bytes` from now; false after `limit`.
bool waitForGrowth(const fs::path& path, uintmax_t bytes, std::chrono::milliseconds limit) {
    std::error_code absent;
    const uintmax_t target = fs::file_size(path) + bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fs::file_size(path, absent) < target && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return fs::file_size(path, absent) >= target;
}

// The tones of each whole buffer (those of 440, 660, 880 and 1320 Hz sounding at equal shares
// of the amplitude, "" for exact silence, "mixed" for anything else), repeats left out.
std::vector<std::string> buffersOf(const std::vector<double>& s) {
    constexpr int kHz[] = {440, 660, 880, 1320};
    std::vector<std::string> states;
    for (size_t at = 0; at + kBufferFrames <= s.size(); at += kBufferFrames) {
        const std::span<const double> buffer(s.data() + at, kBufferFrames);
        std::vector<double> levels;
        for (int hz : kHz) {
            levels.push_back(amplitudeAt(buffer, hz, kFileHz));
        }
        const auto tones =
            std::count_if(levels.begin(), levels.end(), [](double a) { return a > 0.05; });
        bool pure =
            tones > 0 || std::all_of(buffer.begin(), buffer.end(), [](double x) { return x == 0; });
        std::string state;
        for (size_t i = 0; i < levels.size(); ++i) {
            pure &= levels[i] < 0.01 || std::abs(levels[i] - 0.707 / tones) < 0.02;
            state += levels[i] > 0.05 ? std::to_string(kHz[i]) + " " : "";
        }
        if (states.empty() || states.back() != (pure ? state : "mixed")) {
            states.push_back(pure ? state : "mixed");
        }
    }
    return states;
}

TEST_F(ProgramEndToEnd, TheDialogueChangesTheToneBetweenBuffersAndWithSmoothWithoutAClick) {
    for (bool smooth : {false, true}) {
        SCOPED_TRACE(smooth ? "smooth" : "plain");
        const std::string path = folder / (smooth ? "smooth.wav" : "plain.wav");
        ChildProcess program(
            tonarium({"-q", "-o", path, "-f", "440", smooth ? "--smooth=5" : "--tones=1"}), kPiped);
        ASSERT_TRUE(program.waitForOutput(kAskCount, kLimit)) << program.output();
        // Each answer once four more buffers are written and the last answer has been taken.
        for (const auto& [answer, prompt, count] : {std::tuple{"2\n", &kAskHz, 1},
                                                    {"660\n", &kAskHz, 2},
                                                    {"0\n", &kAskHz, 3},
                                                    {"440\n", &kAskHz, 4},
                                                    {"-1\n", &kAskCount, 2}}) {
            ASSERT_TRUE(waitForGrowth(path, 4 * kBufferFrames * 8, kLimit));
            program.writeInput(answer);
            ASSERT_TRUE(program.waitForOutput(*prompt, kLimit, count)) << program.output();
        }
        ASSERT_TRUE(waitForGrowth(path, 4 * kBufferFrames * 8, kLimit));
        // The plain run ends at the dialogue's end, the smooth one by an interrupt.
        smooth ? void(kill(program.pid(), SIGINT)) : void(program.writeInput("-1\n"));
        EXPECT_EQ(program.waitForExit(1s), smooth ? 128 + SIGINT : 0);
        const std::vector<double> s = readSoundFile(path).value_or(SoundFile()).left;
        std::vector<std::string> states = buffersOf(s);
        if (smooth) {
            std::erase(states, "mixed");
            double step = 0;
            for (size_t i = 1; i < s.size(); ++i) {
                step = std::max(step, std::abs(s[i] - s[i - 1]));
            }
            EXPECT_LT(step, 0.026);  // 660 and 1320 Hz, the steepest steady sound, step 0.023
        }
        EXPECT_EQ(states,
                  (std::vector<std::string>{"440 ", "440 880 ", "660 1320 ", "", "440 880 ", ""}));
    }
}

TEST_F(ProgramEndToEnd, UnwritableFilesEndWithOneErrorLineAndStatusOne) {
    fs::create_symlink("/dev/full", folder / "full.wav");
    for (const auto& [name, line] : {std::pair{"full.wav", "Не удаётся записать файл «"},
                                     {"missing/t.wav", "Не удаётся создать файл «"}}) {
        const std::string path = folder / name;
        ChildProcess program(tonarium({"-q", "-o", path, "-f", "440", "-d", "1"}), kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), 1);
        EXPECT_EQ(program.output(kLimit), "Ошибка: " + std::string(line) + path + "».\n");
    }
}

// Started with its standard streams closed, it must not read whatever it opens next.
TEST_F(ProgramEndToEnd, WithClosedStandardStreamsItEndsAtTheEndOfInput) {
    const std::string path = folder / "closed.wav";
    const std::string shown = "Файл: " + path + "\n" + kFormat + kHint + kAskCount;
    for (const auto& [closing, text] : {std::pair{"<&-", shown}, {"<&- >&- 2>&-", std::string()}}) {
        ChildProcess program(
            {"sh", "-c", std::string("exec \"$0\" -o \"$1\" ") + closing, TONARIUM_BINARY, path},
            kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), 0) << closing;
        EXPECT_EQ(program.output(kLimit), text) << closing;
    }
}

}  // namespace
