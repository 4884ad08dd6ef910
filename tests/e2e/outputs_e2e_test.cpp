// The program's outputs on the sound server of the desktop it runs on, under
// scripts/with-pulse.sh (a PulseAudio server) or scripts/with-pipewire.sh (PipeWire with its
// PulseAudio service): which output the default is, how the stream introduces itself and follows
// the dialogue, and that every way to the server plays a timed run to its end.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "tests/support/recording.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kLimit = 15s;  // a new stream may stall two seconds before it plays
const ChildPipes kPiped{.input = true, .output = true, .errorToOutput = true};

bool onPipewire() {
    const char* server = std::getenv("TONARIUM_SERVER");
    return server != nullptr && std::string(server) == "pipewire";
}

std::vector<std::string> tonarium(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), TONARIUM_BINARY);
    return arguments;
}

// What a tool prints, once it has ended (empty when it does not end in time).
std::string outputOf(const std::vector<std::string>& argv) {
    ChildProcess tool(argv, {.output = true});
    return tool.waitForExit(kLimit) ? tool.output(kLimit) : "";
}

// The server's description of the stream of process `pid`, as pactl lists sink inputs; empty
// when it has none.
std::string sinkInputOf(pid_t pid) {
    const std::string all = outputOf({"pactl", "list", "sink-inputs"});
    const std::string mark = "application.process.id = \"" + std::to_string(pid) + "\"";
    const size_t at = all.find(mark);
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = all.rfind("Sink Input #", at);
    const size_t end = all.find("Sink Input #", at);
    return all.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// Waits, with a limit, for the stream of `pid` to be listed with `piece` in its description.
bool streamShows(pid_t pid, const std::string& piece) {
    for (const auto deadline = Clock::now() + kLimit; Clock::now() < deadline;) {
        if (sinkInputOf(pid).find(piece) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

class OutputsEndToEnd : public testing::Test {
  protected:
    void SetUp() override {
        if (monitorSourceFromEnvironment().empty()) {
            GTEST_SKIP() << "run under scripts/with-pulse.sh or scripts/with-pipewire.sh";
        }
    }
};

TEST_F(OutputsEndToEnd, TheDefaultIsTheServersOwnOutputAndItsStreamSaysWhatPlays) {
    ChildProcess program(tonarium({"-n", "3", "-f", "440"}), kPiped);
    const std::string output = onPipewire() ? "PipeWire" : "PulseAudio";
    ASSERT_TRUE(program.waitForOutput("Введите количество тонов: ", kLimit)) << program.output();
    EXPECT_NE(program.output().find("Вывод: " + output + "\n"), std::string::npos)
        << program.output();
    // The null sink plays at 48 kHz: the server resamples the stream's 192 kHz, and says so.
    EXPECT_NE(program.output().find("Частота дискретизации: 192000 Гц\n"), std::string::npos);
    EXPECT_NE(program.output().find("Сервер воспроизводит с частотой: 48000 Гц\n"),
              std::string::npos);

    ASSERT_TRUE(streamShows(program.pid(), "media.name = \"3 тона от 440 Гц\""))
        << sinkInputOf(program.pid());
    const std::string stream = sinkInputOf(program.pid());
    EXPECT_NE(stream.find("application.name = \"Tonarium\""), std::string::npos) << stream;
    EXPECT_NE(stream.find("application.icon_name = \"audio-card\""), std::string::npos) << stream;
    EXPECT_TRUE(std::regex_search(stream, std::regex("media.role = \"[Tt]est\""))) << stream;
    EXPECT_NE(stream.find("Channel Map: front-left,front-right\n"), std::string::npos) << stream;

    ASSERT_TRUE(program.writeInput("5\n220\n"));
    EXPECT_TRUE(streamShows(program.pid(), "media.name = \"5 тонов от 220 Гц\""))
        << sinkInputOf(program.pid());
    const auto interrupted = Clock::now();
    kill(program.pid(), SIGINT);
    EXPECT_EQ(program.waitForExit(1s), 128 + SIGINT);
    EXPECT_LT(Clock::now() - interrupted, 500ms);
}

// Natively and through ALSA's plugins: the timed run is heard and ends on time with status 0.
TEST_F(OutputsEndToEnd, EveryWayToTheServerPlaysATimedRunToItsEnd) {
    std::vector<std::string> outputs = {"pulse", "alsa:default"};
    if (onPipewire()) {
        outputs.insert(outputs.end(), {"pipewire", "alsa:pipewire"});
    }
    for (const std::string& output : outputs) {
        SCOPED_TRACE(output);
        SilentStream silence;
        MonitorRecording recording(monitorSourceFromEnvironment());
        ASSERT_TRUE(recording.waitForFrames(1, kLimit));
        const size_t before = recording.frameCount();
        const auto started = Clock::now();
        ChildProcess program(tonarium({"-q", "-D", output, "-f", "440", "-d", "1"}), kPiped);
        EXPECT_EQ(program.waitForExit(kLimit), 0) << program.output();
        // One second of tone, plus the two seconds a server may hold a new stream back.
        EXPECT_LT(Clock::now() - started, 4s);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        // A sanitizer's slowdown may break the tone up: there it is enough that it is heard.
        constexpr double kHeardAmplitude = 0.2;
        constexpr size_t kWindowMs = 50;
#else
        constexpr double kHeardAmplitude = 0.5;
        constexpr size_t kWindowMs = 100;
#endif
        const auto tone440 = [](std::span<const double> s) {
            return amplitudeAt(s, 440, MonitorRecording::kRateHz) > kHeardAmplitude;
        };
        EXPECT_TRUE(recording.waitForWindow(before, kWindowMs, tone440, 5s).has_value());
    }
}

// PipeWire, its session manager and its PulseAudio service killed and started again while the
// dialogue plays natively: the loss and the return are told, and the stream is back.
TEST_F(OutputsEndToEnd, APipewireRestartIsToldOfAndTheStreamComesBack) {
    if (!onPipewire()) {
        GTEST_SKIP() << "run under scripts/with-pipewire.sh";
    }
    ChildProcess program(tonarium({"-n", "3", "-f", "440"}), kPiped);
    // The dialogue asks once the output is open; a stream shows on the server before that.
    ASSERT_TRUE(program.waitForOutput("Введите количество тонов: ", kLimit)) << program.output();
    ASSERT_TRUE(streamShows(program.pid(), "application.name = \"Tonarium\""));
    for (const char* server :
         {"TONARIUM_PULSE_PID", "TONARIUM_WIREPLUMBER_PID", "TONARIUM_PIPEWIRE_PID"}) {
        kill(std::atoi(std::getenv(server)), SIGKILL);
    }
    ASSERT_TRUE(program.waitForOutput("потеряна, идёт переподключение.\n", kLimit))
        << program.output();
    const std::string logs = std::getenv("TONARIUM_PIPEWIRE_DIR");
    const auto restarted = Clock::now();
    ChildProcess pipewire({"pipewire"}, {.output = true});
    ChildProcess wireplumber({"wireplumber"}, {.output = true});
    ChildProcess pulse({"pipewire-pulse"}, {.output = true});
    EXPECT_TRUE(program.waitForOutput("Связь с устройством вывода звука восстановлена.\n", kLimit))
        << program.output();
    EXPECT_LT(Clock::now() - restarted, 3s);
    EXPECT_TRUE(streamShows(program.pid(), "media.name = \"3 тона от 440 Гц\""))
        << sinkInputOf(program.pid());
    program.closeInput();
    EXPECT_EQ(program.waitForExit(kLimit), 0);
}

}  // namespace
