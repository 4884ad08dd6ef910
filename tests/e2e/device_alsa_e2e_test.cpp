// The ALSA device layer through a real sound server: run under scripts/with-pulse.sh, it plays
// on ALSA's "default" (which the script points at a private PulseAudio server with a null sink)
// and records the sink's monitor, then checks what was heard and when.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <numbers>
#include <thread>
#include <vector>

#include "output/device_alsa.h"
#include "tests/support/device_harness.h"
#include "tests/support/recording.h"
#include "tests/support/signal_analysis.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kToneHz = 440.0;
constexpr double kAmplitude = 0.5;
constexpr uint32_t kDeviceRate = 192000;
constexpr uint32_t kBufferBytes = 46080;  // 5760 frames of 32-bit stereo: 30 ms
constexpr size_t kRecordRate = MonitorRecording::kRateHz;
constexpr double kSoundRms = 0.05;
constexpr double kSilenceRms = 0.001;
constexpr auto kSoundLimit = 10s;  // PulseAudio may hold a new stream back for about 2 s

size_t recordFrames(std::chrono::milliseconds d) {
    return static_cast<size_t>(d.count()) * kRecordRate / 1000;
}

// Plays a sine as the output module does: 32-bit stereo buffers, each header written again once
// its finished notice has come.
class TonePlayer {
  public:
    TonePlayer(WaveOutDevice& device, NoticeLog& log, size_t headerCount)
        : device(device), log(log), memory(headerCount), headers(headerCount) {
        for (size_t i = 0; i < headerCount; ++i) {
            memory[i].resize(kBufferBytes);
            headers[i].lpData = memory[i].data();
            headers[i].dwBufferLength = kBufferBytes;
        }
    }

    // Writes `count` buffers in all, at most one per header at a time; false when a finished
    // notice does not come in time.
    bool play(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            if (written >= headers.size() &&
                !log.waitForDone(written - headers.size() + 1, kSoundLimit)) {
                return false;
            }
            WaveHeader& h = headers[written % headers.size()];
            device.unprepareHeader(h);
            fill(h);
            device.prepareHeader(h);
            if (device.write(h) != kWaveNoError) {
                return false;
            }
            ++written;
        }
        return true;
    }

    bool waitUntilAllFinished() { return log.waitForDone(written, kSoundLimit); }
    size_t writtenCount() const { return written; }

  private:
    void fill(WaveHeader& h) {
        auto* samples = reinterpret_cast<int32_t*>(h.lpData);
        const size_t frames = h.dwBufferLength / 8;
        for (size_t f = 0; f < frames; ++f, ++frame) {
            const double x = kAmplitude * std::sin(2.0 * std::numbers::pi * kToneHz *
                                                   static_cast<double>(frame) / kDeviceRate);
            samples[2 * f] = samples[2 * f + 1] = static_cast<int32_t>(x * 2147483648.0);
        }
    }

    WaveOutDevice& device;
    NoticeLog& log;
    std::vector<std::vector<char>> memory;
    std::vector<WaveHeader> headers;
    size_t written = 0;
    uint64_t frame = 0;
};

class AlsaThroughServerTest : public testing::Test {
  protected:
    void SetUp() override {
        if (monitorSourceFromEnvironment().empty()) {
            GTEST_SKIP() << "run under scripts/with-pulse.sh";
        }
        recording = std::make_unique<MonitorRecording>(monitorSourceFromEnvironment());
        ASSERT_TRUE(recording->waitForFrames(recordFrames(50ms), kSoundLimit));
        ASSERT_EQ(device.open(makeWaveFormat(2, 0x03, 32, kDeviceRate), &NoticeLog::callback,
                              log.instance()),
                  kWaveNoError);
    }

    void TearDown() override { device.close(); }

    // Interleaved frames [from, from + length) once they have been recorded.
    std::vector<int16_t> recorded(size_t from, size_t length) {
        EXPECT_TRUE(recording->waitForFrames(from + length, kSoundLimit));
        return recording->samples(from, from + length);
    }

    SilentStream silence;  // keeps the monitor's timeline running
    std::unique_ptr<MonitorRecording> recording;
    AlsaWaveOutDevice device;
    NoticeLog log;
};

TEST_F(AlsaThroughServerTest, PlaysTheToneAtItsFrequencyAndLevelAlikeOnBothSides) {
    TonePlayer player(device, log, 3);
    ASSERT_TRUE(player.play(100));  // 3 s
    ASSERT_TRUE(player.waitUntilAllFinished());

    const auto start = recording->waitForSound(0, kSoundRms, kSoundLimit);
    ASSERT_TRUE(start.has_value());
    // One and a half seconds from the steady middle of the tone.
    const auto frames = recorded(*start + recordFrames(500ms), recordFrames(1500ms));
    const auto left = channelOf(frames, 2, 0);
    const auto right = channelOf(frames, 2, 1);
    EXPECT_NEAR(zeroCrossingHz(left, kRecordRate), kToneHz, 0.5);
    EXPECT_NEAR(amplitudeAt(left, kToneHz, kRecordRate), kAmplitude, kAmplitude * 0.05);
    EXPECT_NEAR(rmsOf(left), kAmplitude / std::numbers::sqrt2, kAmplitude * 0.05);
    int worst = 0;
    for (size_t i = 0; i + 1 < frames.size(); i += 2) {
        worst = std::max(worst, std::abs(frames[i] - frames[i + 1]));
    }
    EXPECT_LE(worst, 1) << "left and right differ";

    // A buffer counts as finished when its end is heard, not when the device took it in (a
    // whole ring earlier), and notices keep the pace at which the buffers play.
    const auto done = log.doneNotices();
    ASSERT_EQ(done.size(), 100u);
    const size_t framesPerBuffer = recordFrames(30ms);
    for (size_t k = 10; k < done.size(); ++k) {
        const auto heard = recording->arrivalOf(*start + (k + 1) * framesPerBuffer);
        ASSERT_TRUE(heard.has_value());
        const auto early =
            std::chrono::duration_cast<std::chrono::milliseconds>(*heard - done[k].time);
        EXPECT_LT(early, 50ms) << "buffer " << k;
        EXPECT_GT(early, -80ms) << "buffer " << k;
    }
    const double seconds = std::chrono::duration<double>(done.back().time - done[10].time).count();
    EXPECT_NEAR(seconds, (done.size() - 11) * 0.030, 0.1);
}

struct StopCase {
    const char* name;
    std::function<WaveResult(AlsaWaveOutDevice&)> stop;
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class AlsaStopTest : public AlsaThroughServerTest, public testing::WithParamInterface<StopCase> {};

TEST_P(AlsaStopTest, SilencesTheToneAtOnceAndHandsEveryBufferBack) {
    TonePlayer player(device, log, 30);
    ASSERT_TRUE(player.play(30));  // 900 ms queued at once
    const auto start = recording->waitForSound(0, kSoundRms, kSoundLimit);
    ASSERT_TRUE(start.has_value());
    ASSERT_TRUE(recording->waitForFrames(*start + recordFrames(150ms), kSoundLimit));
    ASSERT_LT(log.doneCount(), 30u) << "the tone ended before it could be stopped";

    const auto stopping = Clock::now();
    ASSERT_EQ(GetParam().stop(device), kWaveNoError);
    EXPECT_EQ(log.doneCount(), 30u);

    // Only what was already on its way through the server may still be heard. The ring alone
    // holds 80 ms: kept playing, it would be heard in the stretch checked.
    const size_t stopFrame = recording->framesArrivedBy(stopping);
    const auto after = recorded(stopFrame + recordFrames(60ms), recordFrames(400ms));
    EXPECT_LT(rmsOf(channelOf(after, 2, 0)), kSilenceRms);
}

INSTANTIATE_TEST_SUITE_P(
    Stops, AlsaStopTest,
    testing::Values(StopCase{"Reset", [](AlsaWaveOutDevice& d) { return d.reset(); }},
                    StopCase{"Close", [](AlsaWaveOutDevice& d) { return d.close(); }}),
    [](const testing::TestParamInfo<StopCase>& info) { return info.param.name; });

TEST_F(AlsaThroughServerTest, CountsRunningDryAndPlaysOn) {
    TonePlayer player(device, log, 3);
    ASSERT_TRUE(player.play(5));
    ASSERT_TRUE(player.waitUntilAllFinished());
    const auto firstSound = recording->waitForSound(0, kSoundRms, kSoundLimit);
    ASSERT_TRUE(firstSound.has_value());

    // Nothing queued for a while: the ring runs dry. The device must then play the next buffers.
    std::this_thread::sleep_for(300ms);
    const size_t gapEnd = recording->frameCount();
    ASSERT_TRUE(player.play(10));
    ASSERT_TRUE(player.waitUntilAllFinished());
    EXPECT_TRUE(recording->waitForSound(gapEnd, kSoundRms, kSoundLimit).has_value());
    EXPECT_GE(device.underrunCount(), 1u);
}

// Runs on its own server (see CMakeLists.txt): it takes the server away.
TEST_F(AlsaThroughServerTest, HandsEverythingBackWhenTheServerDisappears) {
    const char* pid = std::getenv("TONARIUM_PULSE_PID");
    if (pid == nullptr) {
        GTEST_SKIP() << "no server process to take away";
    }
    TonePlayer player(device, log, 30);
    ASSERT_TRUE(player.play(30));
    ASSERT_TRUE(recording->waitForSound(0, kSoundRms, kSoundLimit).has_value());
    ASSERT_EQ(kill(std::atoi(pid), SIGKILL), 0);

    EXPECT_TRUE(log.waitForDone(30, 15s));
    EXPECT_TRUE(device.deviceLost());
    WaveHeader h;
    h.dwFlags = kWhdrPrepared;
    EXPECT_NE(device.write(h), kWaveNoError);
    const auto closing = Clock::now();
    device.close();
    EXPECT_LT(Clock::now() - closing, 6s);
}

}  // namespace
