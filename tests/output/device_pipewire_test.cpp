// The PipeWire device layer through a real server: run under scripts/with-pipewire.sh, it plays
// on the server's default sink (the script's null sink) and records the sink's monitor, then
// checks what was heard and when; a server that goes away or stops answering ends nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <optional>
#include <thread>

#include "output/pipewire/device_pipewire.h"
#include "tests/support/device_harness.h"
#include "tests/support/recording.h"
#include "tests/support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
constexpr double kToneHz = 440.0, kAmplitude = 0.5;
constexpr uint32_t kDeviceRate = 192000, kBufferFrames = 5760;  // 30 ms of 32-bit stereo
constexpr size_t kHeaders = 3;                                  // as the output module keeps
constexpr auto kSoundLimit = 5s;

size_t recordFrames(std::chrono::milliseconds d) {
    return static_cast<size_t>(d.count()) * MonitorRecording::kRateHz / 1000;
}

pid_t serverPid() {
    const char* pid = std::getenv("TONARIUM_PIPEWIRE_PID");
    return pid != nullptr ? static_cast<pid_t>(std::atoi(pid)) : 0;
}

// Plays a sine as the output module does: kHeaders buffers of 30 ms, each written again once its
// finished notice has come.
class PipewireThroughServerTest : public testing::Test {
  protected:
    void SetUp() override {
        if (monitorSourceFromEnvironment().empty() || serverPid() == 0 ||
            !pipewireServerAnswers()) {
            GTEST_SKIP() << "run under scripts/with-pipewire.sh";
        }
        recording.emplace(monitorSourceFromEnvironment());
        ASSERT_TRUE(recording->waitForFrames(recordFrames(50ms), kSoundLimit));
        device.planQueue(kHeaders, 30ms);
        ASSERT_EQ(
            device.open(makeWaveFormat(2, 32, kDeviceRate), &NoticeLog::callback, log.instance()),
            kWaveNoError);
    }
    void TearDown() override { device.close(); }

    bool play(size_t count) { return sine.play(device, log, count, kSoundLimit); }

    SilentStream silence;  // keeps the monitor's timeline running
    std::optional<MonitorRecording> recording;
    NoticeLog log;
    PipewireWaveOutDevice device;
    SinePlayer sine{kHeaders, kBufferFrames, kDeviceRate, kToneHz, kAmplitude};
};

TEST(PipewireServer, AnswersAndListsItsSinksButNotWhereItHasNoSocket) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (monitorSourceFromEnvironment().empty() || serverPid() == 0 || runtime == nullptr) {
        GTEST_SKIP() << "run under scripts/with-pipewire.sh";
    }
    EXPECT_TRUE(pipewireServerAnswers());
    bool listed = false;
    for (const OutputDeviceInfo& sink : listPipewireSinks()) {
        listed = listed || sink.name == "pipewire:" + std::string(std::getenv("TONARIUM_SINK"));
    }
    EXPECT_TRUE(listed);

    const std::string saved = runtime;
    setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
    const auto asking = std::chrono::steady_clock::now();
    EXPECT_FALSE(pipewireServerAnswers());
    EXPECT_TRUE(listPipewireSinks().empty());
    EXPECT_LT(std::chrono::steady_clock::now() - asking, 10ms);
    setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
}

// What the report and the speaker walk take from the open stream: the graph's rate and where
// each channel plays. (The tone and the timing of the notices are the device contract's test, on
// this layer as on the others.)
TEST_F(PipewireThroughServerTest, TellsTheGraphsRateAndWhereEachChannelPlays) {
    EXPECT_EQ(device.serverRateHz(), 48000u);
    EXPECT_EQ(device.channelSpeakers(), (std::vector<uint32_t>{0x1, 0x2}));
    ASSERT_TRUE(play(10));
    EXPECT_EQ(device.underrunCount(), 0u);
}

TEST_F(PipewireThroughServerTest, ResetHandsEverythingBackAtOnceAndPlayingGoesOn) {
    ASSERT_TRUE(play(5));
    for (WaveHeader& h : sine.headers) {
        device.unprepareHeader(h);
        device.prepareHeader(h);
        ASSERT_EQ(device.write(h), kWaveNoError);
    }
    const auto resetting = std::chrono::steady_clock::now();
    EXPECT_EQ(device.reset(), kWaveNoError);
    EXPECT_LT(std::chrono::steady_clock::now() - resetting, 100ms);
    EXPECT_EQ(log.doneCount(), 5 + kHeaders);
    sine.written += kHeaders;
    EXPECT_TRUE(play(10));
}

// Runs on its own server (see CMakeLists.txt): it stops the server, then takes it away.
TEST_F(PipewireThroughServerTest, AServerThatStopsAnsweringOrDisappearsEndsNothing) {
    PipewireWaveOutDevice second;
    ASSERT_EQ(kill(serverPid(), SIGSTOP), 0);
    const auto opening = std::chrono::steady_clock::now();
    EXPECT_EQ(second.open(makeWaveFormat(2, 16, 48000), &NoticeLog::callback, log.instance()),
              kWaveBadDevice);
    EXPECT_LT(std::chrono::steady_clock::now() - opening, 4s);
    ASSERT_EQ(kill(serverPid(), SIGCONT), 0);

    ASSERT_TRUE(play(3));
    for (WaveHeader& h : sine.headers) {
        device.unprepareHeader(h);
        device.prepareHeader(h);
        ASSERT_EQ(device.write(h), kWaveNoError);
    }
    ASSERT_EQ(kill(serverPid(), SIGKILL), 0);
    EXPECT_TRUE(log.waitForDone(3 + kHeaders, 5s));
    EXPECT_TRUE(device.deviceLost());
    EXPECT_NE(device.write(sine.headers[0]), kWaveNoError);
    const auto closing = std::chrono::steady_clock::now();
    device.close();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 500ms);
    EXPECT_EQ(device.open(makeWaveFormat(2, 16, 48000), &NoticeLog::callback, log.instance()),
              kWaveBadDevice);
}

}  // namespace
