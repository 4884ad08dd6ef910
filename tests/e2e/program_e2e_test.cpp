// The tonarium binary end to end, each test under a private PulseAudio server of its own
// (scripts/with-pulse.sh): what the default device plays, recorded from the sink's monitor; the
// output stalled, lost and replaced; the sound files it writes, read back with libsndfile.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "tests/support/recording.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kReport =
    "Устройство вывода звука успешно инициализировано.\nКоличество каналов: 2\n"
    "Частота дискретизации: 192000 Гц\nГлубина квантования: 32 бит\n";
const std::string kAskCount = "\nВведите количество тонов: ";
const std::string kAskHz = "Введите частоту основного тона (Гц): ";
const std::string kLost =
    "Ошибка: Связь с устройством вывода звука потеряна, идёт переподключение.\n";
const std::string kBack = "Связь с устройством вывода звука восстановлена.\n";
constexpr size_t kBufferFrames = 5760;  // 46080 bytes of 32-bit stereo
constexpr auto kLimit = 15s;            // a new stream may stall two seconds before it plays
const ChildPipes kPiped{.input = true, .output = true, .errorToOutput = true};

std::vector<std::string> tonarium(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TONARIUM_BINARY);
    return arguments;
}

int runTool(const std::vector<std::string>& argv) {
    return ChildProcess(argv).waitForExit(kLimit).value_or(-1);
}

bool toneHeardWithin(std::chrono::milliseconds limit) {
    SilentStream silence;
    MonitorRecording recording(monitorSourceFromEnvironment());
    const auto tone440 = [](std::span<const double> s) {
        return amplitudeAt(s, 440, 48000) > 0.5 && std::abs(zeroCrossingHz(s, 48000) - 440) < 9;
    };
    return recording.waitForWindow(0, 100, tone440, limit).has_value();
}

class ProgramEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(monitorSourceFromEnvironment().empty()) << "run under scripts/with-pulse.sh";
        fs::create_directories(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    const fs::path folder = fs::path(testing::TempDir()) / ("tonarium-" + std::to_string(getpid()));
};

TEST_F(ProgramEndToEnd, TimedRunPlaysTheTonesOnTheDefaultDeviceForItsDuration) {
    SilentStream silence;
    MonitorRecording recording(monitorSourceFromEnvironment());
    ASSERT_TRUE(recording.waitForFrames(1, kLimit));
    const size_t before = recording.frameCount();
    ChildProcess program(tonarium({"-n", "3", "-f", "440", "-d", "1"}), kPiped);
    EXPECT_EQ(program.waitForExit(kLimit), 0);
    EXPECT_EQ(program.output(kLimit), kReport);
    const size_t ended = recording.framesArrivedBy(MonitorRecording::Clock::now());
    ASSERT_TRUE(recording.waitForFrames(ended + 24000, kLimit));
    const std::vector<double> s =
        channelOf(recording.samples(before, recording.frameCount()), 2, 0);
    const auto loud = [](double x) { return std::abs(x) > 0.05; };
    const auto first = std::find_if(s.begin(), s.end(), loud);
    const auto last = std::find_if(s.rbegin(), s.rend(), loud).base();
    ASSERT_NEAR(static_cast<double>(last - first) / 48000, 1.0, 0.05) << "not a second of tone";
    EXPECT_NEAR(amplitudeAt({first + 14400, 19200}, 1760, 48000), 0.707 / 3, 0.01);
}

// Every channel count and depth, at the lowest and the highest rates too, keeps the server fed
// for 10 s: the buffers play 30 ms in every format, so none of them runs the server dry.
TEST_F(ProgramEndToEnd, EveryFormatPlaysTenSecondsWithoutAnUnderrun) {
    const std::string stats = folder / "stats";
    setenv("TONARIUM_STATS", stats.c_str(), 1);
    for (const auto& [channels, bits, rate] : {std::tuple{"8", "32", "192000"},
                                               {"6", "24", "192000"},
                                               {"4", "16", "192000"},
                                               {"8", "16", "96000"},
                                               {"2", "32", "384000"},
                                               {"2", "16", "44100"}}) {
        SCOPED_TRACE(testing::Message() << channels << " channels, " << bits << " bits, " << rate);
        ChildProcess program(
            tonarium({"-q", "-f", "440", "-d", "10", "-c", channels, "-b", bits, "-r", rate}),
            kPiped);
        EXPECT_EQ(program.waitForExit(kLimit + 10s), 0) << program.output();
        std::ifstream played(stats);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(played), {}), "underruns 0\n");
    }
    unsetenv("TONARIUM_STATS");
}

// A sink or a server that goes, or a server that stops answering, is told of once; the tone
// comes back from the new one; a timed run ends; while a server is stopped every way out ends
// at once.
TEST_F(ProgramEndToEnd, ALostOutputIsToldOfAndComesBackAndAStoppedOneHoldsNothing) {
    ChildProcess program(tonarium({"-f", "440"}), kPiped);
    ChildProcess silent(tonarium({}), kPiped);
    ChildProcess timed(tonarium({"-q", "-a", "0.01", "-f", "1000", "-d", "60"}), kPiped);
    ASSERT_TRUE(toneHeardWithin(kLimit));

    const std::string sink = std::getenv("TONARIUM_SINK");
    ASSERT_EQ(runTool({"pactl", "unload-module", "module-null-sink"}), 0);
    ASSERT_TRUE(program.waitForOutput(kLost, kLimit)) << program.output();
    EXPECT_EQ(timed.waitForExit(kLimit), 1);  // a timed run ends at a loss, with its reason
    EXPECT_EQ(timed.output(kLimit), "Ошибка: Связь с устройством вывода звука потеряна.\n");
    ASSERT_EQ(runTool({"pactl", "load-module", "module-null-sink", "sink_name=" + sink}), 0);
    ASSERT_EQ(runTool({"pactl", "set-default-sink", sink}), 0);
    EXPECT_TRUE(toneHeardWithin(5s)) << "no tone on the new sink";
    EXPECT_TRUE(program.waitForOutput(kBack, kLimit)) << program.output();

    ASSERT_EQ(kill(std::atoi(std::getenv("TONARIUM_PULSE_PID")), SIGKILL), 0);
    ASSERT_TRUE(program.waitForOutput(kLost, kLimit, 2)) << program.output();
    ChildProcess newServer(
        {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
         "--log-level=info", "-F", std::getenv("TONARIUM_PULSE_CONFIG")},
        {.errorToOutput = true});
    ASSERT_TRUE(newServer.waitForOutput("Daemon startup complete", kLimit)) << newServer.output();
    EXPECT_TRUE(toneHeardWithin(5s)) << "no tone from the new server";
    EXPECT_TRUE(program.waitForOutput(kBack, kLimit, 2)) << program.output();
    EXPECT_EQ(program.output(), kReport + "\nдля возврата к предыдущему параметру наберите -1\n" +
                                    kAskCount + kLost + kBack + kLost + kBack);

    kill(newServer.pid(), SIGSTOP);
    std::this_thread::sleep_for(300ms);  // the streams are stuck by now
    kill(program.pid(), SIGINT);
    EXPECT_EQ(program.waitForExit(1s), 128 + SIGINT);
    // A server that stays stopped is lost after a while; the end of input still ends at once.
    EXPECT_TRUE(silent.waitForOutput(kLost, 20s, 3)) << silent.output();
    silent.closeInput();
    EXPECT_EQ(silent.waitForExit(1s), 0);
    kill(newServer.pid(), SIGCONT);
}

TEST_F(ProgramEndToEnd, TimedFilesHoldExactlyTheirFramesOfTheTonesInEveryKind) {
    for (const std::string kind : {".wav", ".flac", ".aiff", ".caf", ".w64", ".rf64"}) {
        const std::string path = folder / ("tone" + kind);
        ChildProcess program(tonarium({"-o", path, "-n", "3", "-f", "440", "-d", "0.25"}), kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), 0);
        SndfileHandle file(path);
        const std::vector<double> left = leftOf(file);
        EXPECT_EQ(
            std::tuple(left.size(), file.samplerate(), file.channels(), file.format() & 0xffff),
            std::tuple(48000u, 192000, 2, kind == ".flac" ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_32));
        for (double hz : {440.0, 880.0, 1760.0, 3520.0}) {
            EXPECT_NEAR(amplitudeAt(left, hz, 192000), hz < 2000 ? 0.707 / 3 : 0, 0.002);
        }
    }
}

// A file that cannot be made or written ends the run with status 1 and the reason.
TEST_F(ProgramEndToEnd, AFileThatCannotBeMadeOrWrittenEndsTheRunWithItsReason) {
    fs::create_symlink("/dev/full", folder / "full.wav");
    for (const auto& [path, reason] : {std::pair{folder / "none" / "x.wav", "создать"},
                                       std::pair{folder / "full.wav", "записать"}}) {
        ChildProcess program(tonarium({"-f", "440", "-d", "0.25", "-o", path}), kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), 1);
        EXPECT_EQ(program.output(kLimit),
                  "Ошибка: Не удаётся " + std::string(reason) + " файл «" + path.string() + "».\n");
    }
}

// True once the file has grown by `bytes` from now; false after `limit`.
bool waitForGrowth(const fs::path& path, uintmax_t bytes, std::chrono::milliseconds limit) {
    const uintmax_t target = fs::file_size(path) + bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fs::file_size(path) < target && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return fs::file_size(path) >= target;
}

// The tones of each whole buffer (those of 440, 660, 880 and 1320 Hz sounding at equal shares
// of the amplitude, "" for exact silence, "mixed" for anything else), repeats left out.
std::vector<std::string> buffersOf(const std::vector<double>& s) {
    std::vector<std::string> states;
    for (size_t at = 0; at + kBufferFrames <= s.size(); at += kBufferFrames) {
        const std::span<const double> buffer(s.data() + at, kBufferFrames);
        std::map<int, double> levels;
        for (int hz : {440, 660, 880, 1320}) {
            levels[hz] = amplitudeAt(buffer, hz, 192000);
        }
        const auto tones =
            std::count_if(levels.begin(), levels.end(), [](auto l) { return l.second > 0.05; });
        bool pure =
            tones > 0 || std::all_of(buffer.begin(), buffer.end(), [](double x) { return x == 0; });
        std::string state;
        for (const auto& [hz, level] : levels) {
            pure &= level < 0.01 || std::abs(level - 0.707 / tones) < 0.02;
            state += level > 0.05 ? std::to_string(hz) + " " : "";
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
        ChildProcess program(tonarium({"-q", "-o", path, "-f", "440", smooth ? "-s" : "-n1"}),
                             kPiped);
        // Each answer once four more buffers are written and the last answer has been taken
        // (its next question is out). The plain run ends by an interrupt, the smooth one at the
        // end of the input, fading out.
        const std::vector<std::string> answers = {"2\n", "660\n", "0\n", "440\n", "-1\n"};
        for (size_t asked = 1; asked <= answers.size() + 1; ++asked) {
            ASSERT_TRUE(program.waitForOutput(": ", kLimit, asked)) << program.output();
            ASSERT_TRUE(waitForGrowth(path, 4 * kBufferFrames * 8, kLimit));
            if (asked == (smooth ? 5 : 6)) {
                smooth ? program.closeInput() : void(kill(program.pid(), SIGINT));
                break;
            }
            program.writeInput(answers[asked - 1]);
        }
        EXPECT_EQ(program.waitForExit(1s), smooth ? 0 : 128 + SIGINT);
        const std::vector<double> s = leftOf(SndfileHandle(path));
        std::vector<std::string> states = buffersOf(s);
        if (smooth) {
            // 660 and 1320 Hz, the steepest steady sound, step by up to 0.023.
            const auto click = [](double a, double b) { return std::abs(b - a) > 0.026; };
            EXPECT_EQ(std::adjacent_find(s.begin(), s.end(), click), s.end());
            std::erase(states, "mixed");
        }
        std::vector<std::string> expected{"440 ", "440 880 ", "660 1320 ", "", "440 880 ", ""};
        expected.resize(smooth ? 5 : 6);  // the smooth run ends fading out from 440 and 880 Hz
        EXPECT_EQ(states, expected);
        EXPECT_EQ(s.back(), 0.0);
    }
}

}  // namespace
