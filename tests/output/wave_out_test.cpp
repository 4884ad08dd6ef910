// The output module over the scripted test device. Every wait is bounded by kLimit.
#include "output/wave_out.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <future>
#include <thread>
#include <tuple>

#include "engine/audio_module_container.h"
#include "output/sample_conversion.h"
#include "tests/output/test_wave_device.h"
#include "tests/support/device_harness.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = 20s;
constexpr int32_t kBufferBytes = 46080;
using Format = std::tuple<int, int, int>;  // channels, bits, rate; zeros for no format

Format formatOf(const WaveFormatExtensible& f) {
    return {f.nChannels, f.wBitsPerSample, static_cast<int>(f.nSamplesPerSec)};
}

TestWaveDevice::FormatFilter only(Format wanted) {
    return [=](const WaveFormatExtensible& f) { return formatOf(f) == wanted; };
}

// Output k holds a value of its own; counts the frames rendered.
class Source : public AudioModule {
  public:
    Source() : AudioModule(0, 8) {
        for (int k = 0; k < 8; ++k) {
            outputs[k].value = (k % 2 == 0 ? 0.1 : -0.1) * (k + 1);
        }
    }
    void process() override { ++frames; }
    std::atomic<int64_t> frames{0};
};

// A module playing a Source into a scripted device that the test reaches through `device`.
struct Rig {
    explicit Rig(TestWaveDevice::FormatFilter accepts, int32_t bufferBytes = kBufferBytes)
        : device(new TestWaveDevice(std::move(accepts))),
          waveOut(3, bufferBytes, std::unique_ptr<WaveOutDevice>(device)) {
        add(graph, source);
        add(graph, waveOut);
        for (int32_t k = 0; k < 8; ++k) {
            source.connect(k, k, waveOut);
        }
    }
    ~Rig() { g_sampleRate = kDefaultSampleRate; }
    AudioModuleContainer graph{0, 0};
    Source source;
    TestWaveDevice* device;
    M_WaveOut waveOut;
};

TEST(WaveOutTest, OpensTheFirstAcceptedFormatOfTheNarrowedSearch) {
    struct Case {
        TestWaveDevice::FormatFilter accepts;
        int32_t maxChannels;
        FormatFilter filter;
        size_t attempts;
        Format opened;
    };
    const auto all = TestWaveDevice::acceptAll();
    const auto none = TestWaveDevice::refuseAll();
    const std::vector<Case> table = {
        {all, 2, {}, 1, {2, 32, 192000}},
        {all, 8, {}, 1, {8, 32, 192000}},
        {only({2, 16, 96000}), 2, {}, 6, {2, 16, 96000}},
        {only({4, 24, 96000}), 8, {}, 16, {4, 24, 96000}},
        {only({2, 32, 192000}), INT_MAX, {}, 19, {2, 32, 192000}},
        {none, 7, {}, 18, {}},
        {none, 5, {}, 12, {}},
        {none, 3, {}, 6, {}},
        {none, 1, {}, 0, {}},
        {none, INT_MIN, {}, 0, {}},
        {all, 8, {4, {}, {}}, 1, {4, 32, 192000}},
        {all, 8, {{}, 16, 44100}, 1, {8, 16, 44100}},
        {none, 8, {{}, 24, {}}, 8, {}},
        {none, 8, {{}, {}, 44100}, 12, {}},
        {none, 2, {8, {}, {}}, 0, {}},
        {only({2, 16, 48000}), 8, {{}, {}, 48000}, 12, {2, 16, 48000}},
    };
    for (size_t i = 0; i < table.size(); ++i) {
        SCOPED_TRACE(i);
        const Case& c = table[i];
        Rig rig(c.accepts);
        EXPECT_EQ(rig.waveOut.open(c.maxChannels, c.filter), std::get<0>(c.opened) != 0);
        EXPECT_EQ(rig.device->attempts().size(), c.attempts);
        const Format device = {rig.waveOut.deviceChannels, rig.waveOut.deviceBits,
                               rig.waveOut.deviceRate};
        EXPECT_EQ(device, c.opened);
        EXPECT_EQ(g_sampleRate, std::get<2>(c.opened));
    }
    // The whole search, in order: layouts, then depths, then rates, each a consistent record.
    Rig rig(none);
    EXPECT_FALSE(rig.waveOut.open(8));
    const auto attempts = rig.device->attempts();
    ASSERT_EQ(attempts.size(), 24u);
    size_t i = 0;
    for (auto [channels, mask] : {std::pair{8, 0xFFu}, {6, 0x3Fu}, {4, 0x33u}, {2, 0x3u}}) {
        for (int bits : {32, 24, 16}) {
            for (int rate : {192000, 96000}) {
                const auto expected = makeWaveFormat(channels, mask, bits, rate);
                EXPECT_EQ(std::memcmp(&attempts[i++], &expected, sizeof expected), 0) << i;
            }
        }
    }
    EXPECT_TRUE(rig.device->calls().size() == 24u && rig.device->violations().empty());
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

    std::vector<std::pair<std::string, const WaveHeader*>> expected(6, {"open", nullptr});
    for (size_t i = 0; i < 7; ++i) {
        const WaveHeader* h = &rig.waveOut.headers[i % 3];
        if (i >= 3) {
            expected.emplace_back("unprepareHeader", h);
        }
        expected.emplace_back("prepareHeader", h);
        expected.emplace_back("write", h);
    }
    expected.emplace_back("reset", nullptr);
    expected.emplace_back("close", nullptr);
    std::vector<std::pair<std::string, const WaveHeader*>> made;
    for (const auto& call : rig.device->calls()) {
        made.emplace_back(call.operation, call.header);
    }
    EXPECT_EQ(made, expected);
    EXPECT_EQ(rig.source.frames, 7 * kBufferBytes / 4);
    EXPECT_TRUE(rig.device->violations().empty());
    EXPECT_EQ(rig.device->queuedCount(), 0u);
    const auto* samples = reinterpret_cast<const int16_t*>(rig.waveOut.headers[0].lpData);
    for (int i : {0, 1, kBufferBytes / 2 - 2, kBufferBytes / 2 - 1}) {
        EXPECT_EQ(samples[i], sampleValue(16, rig.source.outputs[i % 2].value)) << i;
    }
}

TEST(WaveOutTest, InputKFeedsChannelKInEveryLayout) {
    for (const ChannelLayout& layout : kChannelLayouts) {
        Rig rig(TestWaveDevice::acceptAll(), 576);
        rig.waveOut.format = pcmFormat(96000, 16, layout);
        ASSERT_TRUE(rig.waveOut.fillBuffer(0));
        const auto* samples = reinterpret_cast<const int16_t*>(rig.waveOut.headers[0].lpData);
        for (int i = 0; i < 288; ++i) {
            ASSERT_EQ(samples[i], sampleValue(16, rig.source.outputs[i % layout.channels].value))
                << layout.channels << " channels, sample " << i;
        }
    }
}

TEST(WaveOutTest, ReopensALostDeviceInItsFormatAndReportsTheLossAndTheReturnOnce) {
    Rig rig(only({2, 24, 96000}));
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<WaveOutEvent> events;
    rig.waveOut.setEventHook([&](WaveOutEvent e) {
        std::lock_guard lock(mutex);
        events.push_back(e);
        changed.notify_all();
    });
    auto eventsOnce = [&](size_t n) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, kLimit, [&] { return events.size() >= n; });
        return events;
    };
    ASSERT_TRUE(rig.waveOut.open(2));
    ASSERT_TRUE(rig.device->waitForCount("write", 3, kLimit));
    const size_t searched = rig.device->count("open");
    EXPECT_FALSE(rig.waveOut.deviceLostSinceOpen());

    rig.device->setLost(true);
    ASSERT_TRUE(rig.device->waitForCount("open", searched + 3, kLimit));
    EXPECT_EQ(eventsOnce(1), std::vector{WaveOutEvent::DeviceLost});
    EXPECT_TRUE(rig.waveOut.deviceLostSinceOpen());
    const int64_t framesWhileAway = rig.source.frames;
    const size_t writes = rig.device->count("write");
    rig.device->setLost(false);
    ASSERT_TRUE(rig.device->waitForCount("write", writes + 3, kLimit));
    EXPECT_EQ(eventsOnce(2), (std::vector{WaveOutEvent::DeviceLost, WaveOutEvent::DeviceRestored}));
    EXPECT_GT(rig.source.frames, framesWhileAway);  // the graph renders on
    const auto attempts = rig.device->attempts();
    for (size_t i = searched - 1; i < attempts.size(); ++i) {
        EXPECT_EQ(formatOf(attempts[i]), Format(2, 24, 96000)) << i;
    }
    // The device's first buffer after the return is buffer 0, prepared afresh.
    const auto calls = rig.device->calls();
    size_t reopened = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        reopened = calls[i].operation == "open" ? i : reopened;
    }
    ASSERT_LT(reopened + 2, calls.size());
    EXPECT_EQ(calls[reopened + 1].operation, "prepareHeader");
    EXPECT_EQ(calls[reopened + 2].header, &rig.waveOut.headers[0]);

    // Lost again while its opens hang: close gives up on the reopen at once.
    rig.device->setLost(true, true);
    ASSERT_TRUE(rig.device->waitForCount("open", rig.device->count("open") + 1, kLimit));
    auto closing = std::async(std::launch::async, [&] { rig.waveOut.close(); });
    ASSERT_EQ(closing.wait_for(5s), std::future_status::ready);
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

    // A device lost on the way ends the wait, unsuccessfully.
    rig.waveOut.limitPlayback(1.0);
    ASSERT_TRUE(rig.waveOut.open(2));
    ASSERT_TRUE(rig.device->waitForCount("write", 6, kLimit));
    rig.device->setLost(true);
    EXPECT_FALSE(rig.waveOut.waitUntilPlayedOut(kLimit));
}

TEST(WaveOutTest, TwoClosesAtOnceResetAndCloseTheDeviceOnce) {
    for (int round = 0; round < 10; ++round) {
        Rig rig(TestWaveDevice::acceptAll());
        ASSERT_TRUE(rig.waveOut.open(2));
        std::thread other([&] { rig.waveOut.close(); });
        rig.waveOut.close();
        other.join();
        EXPECT_EQ(rig.device->count("reset") + rig.device->count("close"), 2u);
        EXPECT_TRUE(rig.device->violations().empty());
    }
}

TEST(WaveOutTest, RefusesBufferShapesTheLoopCannotFill) {
    for (auto [count, bytes] : {std::pair{0, 46080}, {-1, 46080}, {3, 0}, {3, -288}, {3, 46084}}) {
        EXPECT_THROW(M_WaveOut(count, bytes, std::make_unique<TestWaveDevice>()),
                     std::invalid_argument);
    }
    EXPECT_THROW(M_WaveOut(3, 46080, nullptr), std::invalid_argument);
}

}  // namespace
