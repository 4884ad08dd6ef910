// The program while the sound server misbehaves, over the private PulseAudio server of
// scripts/with-pulse.sh: a server stopped for a while, killed and replaced, or whose sink is
// unloaded and loaded again; the tone must come back by itself, and every way out must end the
// program at once even while the server does not answer.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
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
constexpr auto kStartLimit = 15s;
constexpr auto kReturnLimit = 3s;  // from the moment the server can play again
constexpr auto kExitLimit = 500ms;

bool tone440(std::span<const double> s) {
    return amplitudeAt(s, 440.0, kRateHz) > 0.5 &&
           std::abs(zeroCrossingHz(s, kRateHz) - 440.0) < 440.0 * 0.02;
}

// Runs a tool to its end; its exit status, or -1 when it did not end within the limit.
int runTool(const std::vector<std::string>& argv) {
    ChildProcess tool(argv);
    return tool.waitForExit(10s).value_or(-1);
}

bool serverAnswers() {
    return runTool({"pactl", "info"}) == 0;
}

// Resumes a stopped server when the test ends, however it ends.
class Stopped {
  public:
    explicit Stopped(pid_t server) : server(server) { kill(server, SIGSTOP); }
    ~Stopped() { resume(); }
    void resume() { kill(server, SIGCONT); }

  private:
    pid_t server;
};

// The program playing one 440 Hz tone, recorded from the sink.
class DeviceLossTest : public testing::Test {
  protected:
    void SetUp() override {
        const char* pid = std::getenv("TONARIUM_PULSE_PID");
        if (monitorSourceFromEnvironment().empty() || pid == nullptr) {
            GTEST_SKIP() << "needs the private server of scripts/with-pulse.sh";
        }
        server = std::atoi(pid);
        startRecording();
        program = std::make_unique<ChildProcess>(std::vector<std::string>{TONARIUM_BINARY},
                                                 ChildPipes{.input = true, .output = true});
        transcript = std::make_unique<Transcript>(program->outputFd());
        ASSERT_TRUE(transcript->waitFor(kAskCount, 1, kStartLimit)) << transcript->text();
        program->writeInput("1\n440\n");
        ASSERT_TRUE(toneWithin(kStartLimit)) << "no tone at the start";
    }

    void startRecording() {
        recording.reset();
        silence.reset();
        silence = std::make_unique<SilentStream>();
        recording = std::make_unique<MonitorRecording>(monitorSourceFromEnvironment());
    }

    bool toneWithin(std::chrono::milliseconds limit) {
        return waitForWindow(*recording, recording->frameCount(), 100, tone440, limit).has_value();
    }

    pid_t server = 0;
    std::unique_ptr<SilentStream> silence;
    std::unique_ptr<MonitorRecording> recording;
    std::unique_ptr<ChildProcess> program;
    std::unique_ptr<Transcript> transcript;
};

TEST_F(DeviceLossTest, AServerStoppedForEightSecondsIsWaitedForAndTheToneComesBack) {
    {
        Stopped stopped(server);
        std::this_thread::sleep_for(8s);
    }
    EXPECT_TRUE(toneWithin(kReturnLimit)) << "no tone after the server went on";
    // A slow server is not a lost one.
    EXPECT_EQ(transcript->text().find(kDeviceLost), std::string::npos) << transcript->text();
}

TEST_F(DeviceLossTest, ANewServerOnTheSameSocketGetsTheToneBackAndTheUserIsToldOnce) {
    const char* config = std::getenv("TONARIUM_PULSE_CONFIG");
    ASSERT_NE(config, nullptr);
    ASSERT_EQ(kill(server, SIGKILL), 0);
    ASSERT_TRUE(transcript->waitFor(kDeviceLost, 1, kStartLimit)) << transcript->text();

    ChildProcess newServer({"pulseaudio", "-n", "--daemonize=no", "--system=no",
                            "--exit-idle-time=-1", "--use-pid-file=no", "--disallow-exit=no", "-F",
                            config, "--log-target=stderr"});
    const auto deadline = Clock::now() + 10s;
    while (!serverAnswers()) {
        ASSERT_LT(Clock::now(), deadline) << "the new server does not answer";
        std::this_thread::sleep_for(100ms);
    }
    startRecording();
    EXPECT_TRUE(toneWithin(kReturnLimit)) << "no tone from the new server";
    EXPECT_TRUE(transcript->waitFor(kDeviceRestored, 1, kReturnLimit)) << transcript->text();
    EXPECT_EQ(transcript->text(), kDeviceReport + kAskCount + kAskFrequency + kAskFrequency +
                                      kDeviceLost + kDeviceRestored);

    program->writeInput("-1\n-1\n");
    EXPECT_EQ(program->waitForExit(kStartLimit), std::optional<int>(0));
    newServer.terminate();
}

TEST_F(DeviceLossTest, ASinkUnloadedAndLoadedAgainGetsTheToneBack) {
    const std::string sink = std::getenv("TONARIUM_SINK");
    ASSERT_EQ(runTool({"pactl", "unload-module", "module-null-sink"}), 0);
    ASSERT_TRUE(transcript->waitFor(kDeviceLost, 1, kStartLimit)) << transcript->text();
    ASSERT_EQ(runTool({"pactl", "load-module", "module-null-sink", "sink_name=" + sink,
                       "rate=48000", "channels=2"}),
              0);
    ASSERT_EQ(runTool({"pactl", "set-default-sink", sink}), 0);
    startRecording();
    EXPECT_TRUE(toneWithin(kReturnLimit)) << "no tone on the new sink";
    EXPECT_TRUE(transcript->waitFor(kDeviceRestored, 1, kReturnLimit)) << transcript->text();
}

TEST_F(DeviceLossTest, EveryWayOutEndsAtOnceWhileTheServerIsStopped) {
    Stopped stopped(server);
    std::this_thread::sleep_for(300ms);  // the program's stream is stuck by now

    const auto interrupted = Clock::now();
    kill(program->pid(), SIGINT);
    EXPECT_EQ(program->waitForExit(kExitLimit), std::optional<int>(128 + SIGINT))
        << "after " << std::chrono::duration<double>(Clock::now() - interrupted).count() << " s";

    // A second program, started while the server ran, ended by the end of its input.
    stopped.resume();
    ChildProcess second({TONARIUM_BINARY}, {.input = true, .output = true});
    Transcript secondText(second.outputFd());
    ASSERT_TRUE(secondText.waitFor(kAskCount, 1, kStartLimit)) << secondText.text();
    second.writeInput("1\n440\n");
    ASSERT_TRUE(secondText.waitFor(kAskFrequency, 2, kStartLimit)) << secondText.text();
    Stopped again(server);
    std::this_thread::sleep_for(300ms);
    second.closeInput();
    const auto ending = Clock::now();
    EXPECT_EQ(second.waitForExit(kExitLimit), std::optional<int>(0))
        << "after " << std::chrono::duration<double>(Clock::now() - ending).count() << " s";
}

}  // namespace
