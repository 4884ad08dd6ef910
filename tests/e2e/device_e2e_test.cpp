// A device layer through a real sound server: run under scripts/with-pulse.sh or
// scripts/with-pipewire.sh, it plays on the output that TONARIUM_TEST_OUTPUT names as --device
// takes it ("pulse", "pipewire", "alsa:default", "alsa:pipewire"; ALSA's default where unset) into
// the script's null sink, records the sink's monitor, then checks what was heard and when.
#include <gtest/gtest.h>
#include <signal.h>

#include <ctime>
#include <optional>
#include <thread>

#include "output/device_factory.h"
#include "tests/support/device_harness.h"
#include "tests/support/recording.h"
#include "tests/support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
constexpr double kToneHz = 440.0, kAmplitude = 0.5, kSoundRms = 0.05;
constexpr uint32_t kDeviceRate = 192000, kBufferFrames = 5760;  // 30 ms of 32-bit stereo
constexpr size_t kHeaders = 30;
constexpr auto kSoundLimit = 10s;  // PulseAudio may hold a new stream back for about 2 s

size_t recordFrames(std::chrono::milliseconds d) {
    return static_cast<size_t>(d.count()) * MonitorRecording::kRateHz / 1000;
}

// Plays a sine as the output module does: 32-bit stereo buffers through kHeaders headers, each
// written again once its finished notice has come.
class OutputThroughServerTest : public testing::Test {
  protected:
    void SetUp() override {
        if (monitorSourceFromEnvironment().empty()) {
            GTEST_SKIP() << "run under scripts/with-pulse.sh or scripts/with-pipewire.sh";
        }
        const char* output = std::getenv("TONARIUM_TEST_OUTPUT");
        device = makeWaveOutDevice(output != nullptr ? output : "alsa:default");
        ASSERT_NE(device, nullptr);
        recording.emplace(monitorSourceFromEnvironment());
        ASSERT_TRUE(recording->waitForFrames(recordFrames(50ms), kSoundLimit));
        ASSERT_EQ(
            device->open(makeWaveFormat(2, 32, kDeviceRate), &NoticeLog::callback, log.instance()),
            kWaveNoError);
    }
    void TearDown() override {
        if (device != nullptr) {
            device->close();
        }
    }

    bool play(size_t count) { return sine.play(*device, log, count, kSoundLimit); }

    SilentStream silence;  // keeps the monitor's timeline running
    std::optional<MonitorRecording> recording;
    NoticeLog log;
    std::unique_ptr<WaveOutDevice> device;
    SinePlayer sine{kHeaders, kBufferFrames, kDeviceRate, kToneHz, kAmplitude};
};

TEST_F(OutputThroughServerTest,
       PlaysTheToneFinishesEachBufferWhenItIsHeardAndRecoversFromRunningDry) {
    const std::clock_t cpuBefore = std::clock();
    const auto wallBefore = std::chrono::steady_clock::now();
    ASSERT_TRUE(play(100));  // 3 s
    // A worker that does not sleep between buffers burns a core; one that does, almost nothing.
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallBefore;
    EXPECT_LT(static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC, 0.5 * wall.count());

    const auto start = recording->waitForSound(0, kSoundRms, kSoundLimit);
    ASSERT_TRUE(start.has_value());
    const size_t steady = *start + recordFrames(500ms);
    ASSERT_TRUE(recording->waitForFrames(steady + recordFrames(1500ms), kSoundLimit));
    const auto frames = recording->samples(steady, steady + recordFrames(1500ms));
    const auto left = channelOf(frames, 2, 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // An unbroken tone: a sanitizer's slowdown is no measure of keeping a server fed.
    EXPECT_NEAR(zeroCrossingHz(left, MonitorRecording::kRateHz), kToneHz, 0.5);
    EXPECT_NEAR(amplitudeAt(left, kToneHz, MonitorRecording::kRateHz), kAmplitude, 0.025);
#endif
    EXPECT_NEAR(rmsOf(channelOf(frames, 2, 1)), rmsOf(left), 0.001);
    // A buffer is finished when its end is heard, not when the device took it in.
    const auto notices = log.all();
    ASSERT_TRUE(recording->waitForFrames(*start + 101 * recordFrames(30ms), kSoundLimit));
    for (size_t k = 10; k < 100; ++k) {
        const auto heard = recording->arrivalOf(*start + (k + 1) * recordFrames(30ms));
        ASSERT_TRUE(heard.has_value());
        const auto early = *heard - notices[k + 1].time;
        EXPECT_TRUE(early < 50ms && early > -80ms) << "buffer " << k;
    }
    // Nothing queued for a while: the ring runs dry, and the next buffers play all the same.
    std::this_thread::sleep_for(300ms);
    const size_t gapEnd = recording->frameCount();
    ASSERT_TRUE(play(10));
    EXPECT_TRUE(recording->waitForSound(gapEnd, kSoundRms, kSoundLimit).has_value());
    EXPECT_GE(device->underrunCount(), 1u);
}

// Runs on its own server (see CMakeLists.txt): it takes the server away.
TEST_F(OutputThroughServerTest, HandsEverythingBackWhenTheServerDisappears) {
    // PipeWire itself where it runs (its PulseAudio service goes with it), else PulseAudio.
    const char* pid = std::getenv("TONARIUM_PIPEWIRE_PID");
    pid = pid != nullptr ? pid : std::getenv("TONARIUM_PULSE_PID");
    if (pid == nullptr) {
        GTEST_SKIP() << "no server process to take away";
    }
    for (WaveHeader& h : sine.headers) {
        h = {reinterpret_cast<char*>(sine.samples.data()), kBufferFrames * 8};
        device->prepareHeader(h);
        ASSERT_EQ(device->write(h), kWaveNoError);
    }
    ASSERT_EQ(kill(std::atoi(pid), SIGKILL), 0);
    EXPECT_TRUE(log.waitForDone(kHeaders, 15s));
    EXPECT_NE(device->write(sine.headers[0]), kWaveNoError);
    const auto closing = std::chrono::steady_clock::now();
    device->close();
    EXPECT_LT(std::chrono::steady_clock::now() - closing, 6s);
}

}  // namespace
