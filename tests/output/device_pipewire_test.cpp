// The PipeWire device layer through a real server: run under scripts/with-pipewire.sh, it plays
// on the server's default sink (the script's null sink) and records the sink's monitor, then
// checks what was heard and when; a server that goes away or stops answering ends nothing.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <numbers>
#include <optional>
#include <thread>

#include "output/pipewire/device_pipewire.h"
#include "tests/support/device_harness.h"
#include "tests/support/recording.h"
#include "tests/support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
constexpr double kToneHz = 440.0, kAmplitude = 0.5, kSoundRms = 0.05;
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

    // Writes `count` more buffers; false when a notice does not come in time or a write fails.
    bool play(size_t count) {
        for (const size_t end = written + count; written < end; ++written) {
            WaveHeader& h = headers[written % kHeaders];
            if (written >= kHeaders && !log.waitForDone(written - kHeaders + 1, kSoundLimit)) {
                return false;
            }
            device.unprepareHeader(h);
            h = {reinterpret_cast<char*>(&samples[written % kHeaders * 2 * kBufferFrames]),
                 kBufferFrames * 8};
            for (size_t f = 0; f < kBufferFrames; ++f, ++frame) {
                const double x = std::sin(2 * std::numbers::pi * kToneHz * frame / kDeviceRate);
                reinterpret_cast<int32_t*>(h.lpData)[2 * f] =
                    reinterpret_cast<int32_t*>(h.lpData)[2 * f + 1] = kAmplitude * x * 2147483648.0;
            }
            device.prepareHeader(h);
            if (device.write(h) != kWaveNoError) {
                return false;
            }
        }
        return log.waitForDone(written, kSoundLimit);
    }

    SilentStream silence;  // keeps the monitor's timeline running
    std::optional<MonitorRecording> recording;
    NoticeLog log;
    PipewireWaveOutDevice device;
    std::vector<int32_t> samples = std::vector<int32_t>(kHeaders * 2 * kBufferFrames);
    WaveHeader headers[kHeaders];
    size_t written = 0;
    uint64_t frame = 0;
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

TEST_F(PipewireThroughServerTest, PlaysTheToneAndFinishesEachBufferWhenItIsHeardToTheLast) {
    EXPECT_EQ(device.serverRateHz(), 48000u);
    EXPECT_EQ(device.channelSpeakers(), (std::vector<uint32_t>{0x1, 0x2}));
    ASSERT_TRUE(play(100));  // 3 s, and the last notices come though nothing follows them

    const auto start = recording->waitForSound(0, kSoundRms, kSoundLimit);
    ASSERT_TRUE(start.has_value());
    const size_t steady = *start + recordFrames(500ms);
    // A short window: the test's data thread is not a real-time one, and on a busy machine the
    // graph may play a cycle without it now and then.
    ASSERT_TRUE(recording->waitForFrames(steady + recordFrames(500ms), kSoundLimit));
    const auto frames = recording->samples(steady, steady + recordFrames(500ms));
    const auto left = channelOf(frames, 2, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // An unbroken tone: a sanitizer's slowdown is no measure of keeping a server fed.
    EXPECT_NEAR(zeroCrossingHz(left, MonitorRecording::kRateHz), kToneHz, 1.0);
    EXPECT_NEAR(amplitudeAt(left, kToneHz, MonitorRecording::kRateHz), kAmplitude, 0.025);
#endif
    // A buffer is finished when its end is heard, not when the server took it in.
    ASSERT_TRUE(recording->waitForFrames(*start + recordFrames(3100ms), kSoundLimit));
    const auto notices = log.all();
    for (size_t k = 10; k < 100; ++k) {
        const auto heard = recording->arrivalOf(*start + (k + 1) * recordFrames(30ms));
        ASSERT_TRUE(heard.has_value());
        const auto early = *heard - notices[k + 1].time;
        EXPECT_TRUE(early < 50ms && early > -80ms)
            << "buffer " << k << ": "
            << std::chrono::duration_cast<std::chrono::milliseconds>(early).count() << " ms early";
    }
    EXPECT_EQ(device.underrunCount(), 0u);

    // Nothing queued for a while: the stream runs dry, and the next buffers play all the same.
    std::this_thread::sleep_for(300ms);
    const size_t gapEnd = recording->frameCount();
    ASSERT_TRUE(play(10));
    EXPECT_TRUE(recording->waitForSound(gapEnd, kSoundRms, kSoundLimit).has_value());
    EXPECT_EQ(device.underrunCount(), 1u);
}

TEST_F(PipewireThroughServerTest, ResetHandsEverythingBackAtOnceAndPlayingGoesOn) {
    ASSERT_TRUE(play(5));
    for (WaveHeader& h : headers) {
        device.unprepareHeader(h);
        device.prepareHeader(h);
        ASSERT_EQ(device.write(h), kWaveNoError);
    }
    const auto resetting = std::chrono::steady_clock::now();
    EXPECT_EQ(device.reset(), kWaveNoError);
    EXPECT_LT(std::chrono::steady_clock::now() - resetting, 100ms);
    EXPECT_EQ(log.doneCount(), 5 + kHeaders);
    written += kHeaders;
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
    for (WaveHeader& h : headers) {
        device.unprepareHeader(h);
        device.prepareHeader(h);
        ASSERT_EQ(device.write(h), kWaveNoError);
    }
    ASSERT_EQ(kill(serverPid(), SIGKILL), 0);
    EXPECT_TRUE(log.waitForDone(3 + kHeaders, 5s));
    EXPECT_TRUE(device.deviceLost());
    EXPECT_NE(device.write(headers[0]), kWaveNoError);
    const auto closing = std::chrono::steady_clock::now();
    device.close();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 500ms);
    EXPECT_EQ(device.open(makeWaveFormat(2, 16, 48000), &NoticeLog::callback, log.instance()),
              kWaveBadDevice);
}

}  // namespace
