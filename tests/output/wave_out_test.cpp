// The output module over the scripted test device, and its sample conversion. Every wait is
// bounded by kLimit.
#include "output/wave_out.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <limits>

#include "engine/audio_module_container.h"
#include "output/sample_conversion.h"
#include "tests/output/test_wave_device.h"
#include "tests/support/device_harness.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = 20s;
constexpr std::chrono::microseconds kBufferDuration = 120ms;  // 11520 frames at 96 kHz
using Format = std::tuple<int, int, int>;  // channels, bits, rate; zeros for none

TestWaveDevice::FormatFilter only(Format f) {
    return [=](const WaveFormatExtensible& w) {
        return f == Format(w.nChannels, w.wBitsPerSample, w.nSamplesPerSec);
    };
}

// A module that counts the frames it renders, playing into a scripted device.
struct Rig : AudioModule {
    explicit Rig(TestWaveDevice::FormatFilter accepts)
        : AudioModule(0, 0),
          device(new TestWaveDevice(std::move(accepts))),
          waveOut(3, kBufferDuration, std::unique_ptr<WaveOutDevice>(device)) {
        add(add(graph, *this), waveOut);
    }
    ~Rig() override { g_sampleRate = kDefaultSampleRate; }
    void process() override { ++frames; }
    std::atomic<int64_t> frames{0};
    AudioModuleContainer graph{0, 0};
    TestWaveDevice* device;
    M_WaveOut waveOut;
};

// Scaling, truncation toward zero, saturation and NaN per depth, and the bytes stored.
TEST(SampleConversion, ScalesTruncatesAndSaturatesAtEachDepth) {
    constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    // clang-format off
    const std::vector<std::tuple<int32_t, double, std::vector<unsigned char>>> table = {
        {16, 0.5, {0xFF, 0x3F}}, {16, -0.5, {0x01, 0xC0}}, {16, 1.0, {0xFF, 0x7F}}, {16, -1.0, {0x01, 0x80}},
        {16, -0.5 / 32767, {0, 0}}, {16, 1.5, {0xFF, 0x7F}}, {16, -kInf, {0x00, 0x80}}, {16, kNan, {0, 0}},
        {24, 0.5, {0xFF, 0xFF, 0x3F}}, {24, -0.25, {0x01, 0x00, 0xE0}}, {24, 2.0, {0xFF, 0xFF, 0x7F}},
        {24, -2.0, {0, 0, 0x80}}, {32, -0.5, {0, 0, 0, 0xC0}}, {32, -1.0, {0, 0, 0, 0x80}},
        {32, 1.0, {0xFF, 0xFF, 0xFF, 0x7F}}, {32, std::nextafter(1.0, 0.0), {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, kInf, {0xFF, 0xFF, 0xFF, 0x7F}}, {32, -kNan, {0, 0, 0, 0}}};
    // clang-format on
    for (const auto& [bits, value, bytes] : table) {
        SCOPED_TRACE(testing::Message() << bits << " bits, value " << value);
        std::vector<unsigned char> out(bytes.size() + 1, 0xAA);  // a guard byte after it
        EXPECT_EQ(storeSampleBytes(bits, value, reinterpret_cast<char*>(out.data())), bytes.size());
        auto guarded = bytes;
        guarded.push_back(0xAA);
        EXPECT_EQ(out, guarded);
        int64_t sample = bytes.back() >= 0x80 ? -1 : 0;  // sign-extended, high byte first
        for (size_t b = bytes.size(); b-- > 0;) {
            sample = sample * 256 + bytes[b];
        }
        EXPECT_EQ(sampleValue(bits, value), sample);
    }
}

TEST(WaveOutTest, OpensTheFirstAcceptedFormatOfTheNarrowedSearch) {
    const auto all = TestWaveDevice::acceptAll(), none = TestWaveDevice::refuseAll();
    const auto s16 = only({2, 16, 96000}), q24 = only({4, 24, 96000}), s32 = only({2, 32, 192000});
    // accepts, maxChannels, narrowing, attempts made, format opened
    // clang-format off
    const std::vector<std::tuple<TestWaveDevice::FormatFilter, int32_t, FormatFilter, size_t, Format>> table = {
        {all, 2, {}, 1, {2, 32, 192000}}, {all, 8, {}, 1, {8, 32, 192000}}, {s16, 2, {}, 6, {2, 16, 96000}},
        {q24, 8, {}, 16, {4, 24, 96000}}, {s32, INT_MAX, {}, 19, {2, 32, 192000}}, {none, 8, {}, 24, {}},
        {none, 7, {}, 18, {}}, {none, 5, {}, 12, {}}, {none, 3, {}, 6, {}}, {none, 1, {}, 0, {}},
        {none, INT_MIN, {}, 0, {}}, {all, 8, {4, {}, {}}, 1, {4, 32, 192000}}, {none, 8, {{}, 24, {}}, 8, {}},
        {all, 8, {{}, 16, 44100}, 1, {8, 16, 44100}}, {none, 8, {{}, {}, 44100}, 12, {}},
        {none, 2, {8, {}, {}}, 0, {}}, {only({2, 16, 48000}), 8, {{}, {}, 48000}, 12, {2, 16, 48000}}};
    // clang-format on
    for (const auto& [accepts, maxChannels, filter, attempts, opened] : table) {
        SCOPED_TRACE(testing::Message() << maxChannels << " channels, " << attempts << " attempts");
        Rig rig(accepts);
        const auto [channels, bits, rate] = opened;
        EXPECT_EQ(rig.waveOut.open(maxChannels, filter), channels != 0);
        EXPECT_EQ(rig.device->count("open"), attempts);
        EXPECT_EQ(
            Format(rig.waveOut.deviceChannels, rig.waveOut.deviceBits, rig.waveOut.deviceRate),
            opened);
        EXPECT_EQ(g_sampleRate, rate);
        const auto expected = makeWaveFormat(channels, bits, rate);
        EXPECT_TRUE(channels == 0 ||
                    std::memcmp(&rig.waveOut.format, &expected, sizeof expected) == 0);
        // Every format's buffers play the same time, whatever the frame size: 120 ms.
        EXPECT_EQ(rig.waveOut.headers[0].dwBufferLength,
                  channels == 0 ? 0 : rate * 3 / 25 * expected.nBlockAlign);
        if (channels != 0) {
            EXPECT_TRUE(rig.device->waitForCount("write", 3, kLimit));
        }
    }
}

TEST(WaveOutTest, EachFinishedBufferLetsOnePassRenderAndHandOverTheOldestHeader) {
    Rig rig(only({2, 16, 96000}));
    EXPECT_TRUE(rig.waveOut.close());  // a closed module touches no device
    ASSERT_TRUE(rig.waveOut.open(2));
    ASSERT_TRUE(rig.device->waitForCount("write", 3, kLimit));
    for (size_t n = 0; n < 4; ++n) {
        ASSERT_TRUE(rig.device->finishOldest());
        ASSERT_TRUE(rig.device->waitForCount("write", 4 + n, kLimit));
    }
    // Closing while the loop waits for a free buffer ends it without another pass.
    EXPECT_TRUE(rig.waveOut.close());
    EXPECT_TRUE(rig.waveOut.close());
    std::vector<TestWaveDevice::Call> expected(6, {"open", nullptr});
    for (size_t i = 0; i < 7; ++i) {
        const WaveHeader* h = &rig.waveOut.headers[i % 3];
        if (i >= 3) {
            expected.push_back({"unprepareHeader", h});
        }
        expected.insert(expected.end(), {{"prepareHeader", h}, {"write", h}});
    }
    expected.insert(expected.end(), {{"reset", nullptr}, {"close", nullptr}});
    EXPECT_EQ(rig.device->calls(), expected);
    EXPECT_EQ(rig.frames, 7 * 11520);
    EXPECT_TRUE(rig.device->violations().empty());
}

TEST(WaveOutTest, ReopensALostDeviceInItsFormatAndReportsTheLossAndTheReturnOnce) {
    Rig rig(only({2, 24, 96000}));
    std::vector<WaveOutEvent> events;  // written on the playback thread, read once it waits
    rig.waveOut.setEventHook([&](WaveOutEvent e) { events.push_back(e); });
    ASSERT_TRUE(rig.waveOut.open(2));
    ASSERT_TRUE(rig.device->waitForCount("write", 3, kLimit));
    const size_t searched = rig.device->count("open");
    EXPECT_FALSE(rig.waveOut.deviceLostSinceOpen());
    rig.device->setLost(true);
    ASSERT_TRUE(rig.device->waitForCount("open", searched + 3, kLimit));  // tried again and again
    EXPECT_TRUE(rig.waveOut.deviceLostSinceOpen());
    const int64_t framesWhileAway = rig.frames;
    const size_t writes = rig.device->count("write");
    rig.device->setLost(false);  // it takes its one format only
    ASSERT_TRUE(rig.device->waitForCount("write", writes + 3, kLimit));
    EXPECT_EQ(events, (std::vector{WaveOutEvent::DeviceLost, WaveOutEvent::DeviceRestored}));
    EXPECT_GT(rig.frames, framesWhileAway);  // the graph renders on
    // Lost again: close ends the reopening.
    rig.device->setLost(true);
    ASSERT_TRUE(rig.device->waitForCount("open", rig.device->count("open") + 1, kLimit));
    rig.waveOut.close();
    EXPECT_FALSE(rig.device->isOpen());
    EXPECT_TRUE(rig.waveOut.deviceLostSinceOpen());
    EXPECT_TRUE(rig.device->violations().empty());
    rig.device->setLost(false);
    ASSERT_TRUE(rig.waveOut.open(2));
    EXPECT_FALSE(rig.waveOut.deviceLostSinceOpen());
}

TEST(WaveOutTest, ALimitedPlaybackHandsOverExactlyItsFramesAndEndsWithTheDevice) {
    Rig rig(only({2, 16, 96000}));
    rig.waveOut.limitPlayback(0.25);  // 24000 frames: two buffers of 11520, then 960
    ASSERT_TRUE(rig.waveOut.open(2));
    ASSERT_TRUE(rig.device->waitForCount("write", 3, kLimit));
    EXPECT_EQ(rig.waveOut.headers[2].dwBufferLength, 960u * 4);
    EXPECT_FALSE(rig.waveOut.waitUntilPlayedOut(20ms));  // not before the device is done
    while (rig.device->finishOldest()) {
    }
    EXPECT_TRUE(rig.waveOut.waitUntilPlayedOut(kLimit));
    EXPECT_EQ(rig.device->count("write"), 3u);
}

}  // namespace
