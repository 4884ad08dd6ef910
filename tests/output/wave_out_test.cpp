// The output module over the scripted test device: the format search, open and close in every
// state, and the playback loop. Every wait on the playback thread is bounded by kLimit.
#include "output/wave_out.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/locked_container.h"
#include "output/sample_conversion.h"
#include "tests/output/test_wave_device.h"

namespace {

constexpr int32_t kBufferBytes = 46080;
constexpr auto kLimit = std::chrono::seconds(20);

using Attempt = std::tuple<int, uint32_t, int, uint32_t>;  // channels, mask, bits, rate

Attempt attemptOf(const WaveFormatExtensible& f) {
    return {f.nChannels, f.dwChannelMask, f.wBitsPerSample, f.nSamplesPerSec};
}

// Counts frames, and outputs what its input 0 reads.
class Probe : public AudioModule {
  public:
    Probe() : AudioModule(1, 1) {}
    void process() override {
        outputs[0].value = inputValue(0);
        ++frames;
    }
    int64_t frames = 0;
};

// Fixed values on its outputs, one per input of the output module.
class Constants : public AudioModule {
  public:
    explicit Constants(const std::vector<double>& values)
        : AudioModule(0, static_cast<int32_t>(values.size())) {
        for (size_t k = 0; k < values.size(); ++k) {
            outputs[k].value = values[k];
        }
    }
};

// Hands every call to a device that the test owns, so that the record outlives the module.
class ForwardingDevice : public WaveOutDevice {
  public:
    explicit ForwardingDevice(WaveOutDevice& target) : target(target) {}
    WaveResult open(const WaveFormatExtensible& f, WaveOutCallback cb, uintptr_t i) override {
        return target.open(f, cb, i);
    }
    WaveResult prepareHeader(WaveHeader& h) override { return target.prepareHeader(h); }
    WaveResult unprepareHeader(WaveHeader& h) override { return target.unprepareHeader(h); }
    WaveResult write(WaveHeader& h) override { return target.write(h); }
    WaveResult reset() override { return target.reset(); }
    WaveResult close() override { return target.close(); }
    void refuseOpens(bool refuse) override { target.refuseOpens(refuse); }

  private:
    WaveOutDevice& target;
};

class WaveOutTest : public testing::Test {
  protected:
    void TearDown() override { g_sampleRate = kDefaultSampleRate; }

    // A module over a test device that keeps its record after the module is gone.
    std::unique_ptr<M_WaveOut> makeWaveOut(TestWaveDevice::FormatFilter accepts,
                                           int32_t bufferBytes = kBufferBytes) {
        device = std::make_unique<TestWaveDevice>(std::move(accepts));
        return std::make_unique<M_WaveOut>(3, bufferBytes,
                                           std::make_unique<ForwardingDevice>(*device));
    }

    AudioModuleContainer graph{0, 0};  // a parent for modules that are to play
    std::unique_ptr<TestWaveDevice> device;
};

struct SearchCase {
    std::string what;
    TestWaveDevice::FormatFilter accepts;
    int32_t maxChannels;
    size_t attempts;
    Attempt opened;
};

TEST_F(WaveOutTest, OpenTakesTheFirstAcceptedFormatOfTheSearch) {
    const std::vector<SearchCase> table = {
        {"anything, stereo wanted", TestWaveDevice::acceptAll(), 2, 1, {2, 0x3, 32, 192000}},
        {"anything, 7.1 wanted", TestWaveDevice::acceptAll(), 8, 1, {8, 0xFF, 32, 192000}},
        {"16-bit stereo at 96 kHz only",
         TestWaveDevice::acceptOnly(2, 16, 96000),
         2,
         6,
         {2, 0x3, 16, 96000}},
        {"stereo only, 7.1 wanted",
         TestWaveDevice::acceptOnly(2, 32, 192000),
         8,
         19,
         {2, 0x3, 32, 192000}},
        {"24-bit quad at 96 kHz only",
         TestWaveDevice::acceptOnly(4, 24, 96000),
         8,
         16,
         {4, 0x33, 24, 96000}},
    };
    for (const SearchCase& c : table) {
        SCOPED_TRACE(c.what);
        auto waveOut = makeWaveOut(c.accepts);
        ASSERT_TRUE(waveOut->open(c.maxChannels));
        const auto attempts = device->attempts();
        ASSERT_EQ(attempts.size(), c.attempts);
        EXPECT_EQ(attemptOf(attempts.back()), c.opened);
        EXPECT_EQ(attemptOf(waveOut->format), c.opened);
        EXPECT_EQ(waveOut->deviceChannels, std::get<0>(c.opened));
        EXPECT_EQ(waveOut->deviceBits, std::get<2>(c.opened));
        EXPECT_EQ(waveOut->deviceRate, static_cast<int32_t>(std::get<3>(c.opened)));
        EXPECT_EQ(g_sampleRate, static_cast<int32_t>(std::get<3>(c.opened)));
        EXPECT_TRUE(waveOut->close());
        EXPECT_TRUE(device->violations().empty());
    }
}

TEST_F(WaveOutTest, TheSearchRunsThroughLayoutsThenDepthsThenRatesWithConsistentFormats) {
    std::atomic<bool> accepting{true};
    auto waveOut = makeWaveOut([&](const WaveFormatExtensible&) { return accepting.load(); });
    ASSERT_TRUE(waveOut->open(2));
    waveOut->close();
    accepting = false;

    EXPECT_FALSE(waveOut->open(8));
    EXPECT_EQ(waveOut->deviceRate, 0);
    EXPECT_EQ(waveOut->deviceBits, 0);
    EXPECT_EQ(waveOut->deviceChannels, 0);
    EXPECT_EQ(g_sampleRate, 0);

    const std::vector<std::pair<int, uint32_t>> layouts = {
        {8, 0xFF}, {6, 0x3F}, {4, 0x33}, {2, 0x3}};
    std::vector<Attempt> expected;
    for (const auto& [channels, mask] : layouts) {
        for (int bits : {32, 24, 16}) {
            expected.emplace_back(channels, mask, bits, 192000u);
            expected.emplace_back(channels, mask, bits, 96000u);
        }
    }
    auto attempts = device->attempts();
    attempts.erase(attempts.begin());  // the first, accepted open
    ASSERT_EQ(attempts.size(), 24u);
    for (size_t i = 0; i < attempts.size(); ++i) {
        const WaveFormatExtensible& f = attempts[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(attemptOf(f), expected[i]);
        EXPECT_EQ(f.wFormatTag, 0xFFFE);
        EXPECT_EQ(f.nBlockAlign, f.nChannels * f.wBitsPerSample / 8);
        EXPECT_EQ(f.nAvgBytesPerSec, f.nBlockAlign * f.nSamplesPerSec);
        EXPECT_EQ(f.cbSize, 22);
        EXPECT_EQ(f.Samples.wValidBitsPerSample, f.wBitsPerSample);
        EXPECT_EQ(f.SubFormat, kSubtypePcm);
    }
}

TEST_F(WaveOutTest, TheWidestLayoutTriedFollowsMaxChannels) {
    // maxChannels, attempts made, channels of the first attempt
    const std::vector<std::tuple<int32_t, size_t, int>> table = {
        {INT_MAX, 24, 8}, {100, 24, 8}, {9, 24, 8}, {8, 24, 8},      {7, 18, 6},
        {6, 18, 6},       {5, 12, 4},   {4, 12, 4}, {3, 6, 2},       {2, 6, 2},
        {1, 0, 0},        {0, 0, 0},    {-1, 0, 0}, {INT_MIN, 0, 0},
    };
    for (const auto& [maxChannels, attempts, firstChannels] : table) {
        SCOPED_TRACE(maxChannels);
        auto waveOut = makeWaveOut(TestWaveDevice::refuseAll());
        EXPECT_FALSE(waveOut->open(maxChannels));
        const auto made = device->attempts();
        ASSERT_EQ(made.size(), attempts);
        if (!made.empty()) {
            EXPECT_EQ(made.front().nChannels, firstChannels);
        }
        EXPECT_EQ(g_sampleRate, 0);
        EXPECT_TRUE(waveOut->close());
        EXPECT_EQ(device->count("reset") + device->count("close"), 0u);
    }
}

TEST_F(WaveOutTest, CloseEndsPlaybackThenResetsAndClosesTheDeviceExactlyOnce) {
    auto waveOut = makeWaveOut(TestWaveDevice::acceptAll());
    add(graph, *waveOut);
    EXPECT_TRUE(waveOut->close());
    EXPECT_TRUE(device->calls().empty());

    ASSERT_TRUE(waveOut->open(2));
    ASSERT_TRUE(device->waitForCount("write", 3, kLimit));
    EXPECT_TRUE(waveOut->close());
    EXPECT_TRUE(waveOut->close());
    const auto ops = device->operations();
    ASSERT_GE(ops.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(ops.end() - 2, ops.end()),
              (std::vector<std::string>{"reset", "close"}));
    EXPECT_EQ(device->count("reset"), 1u);
    EXPECT_EQ(device->count("close"), 1u);
    EXPECT_EQ(device->queuedCount(), 0u);
    EXPECT_FALSE(waveOut->running);
    EXPECT_TRUE(device->violations().empty());
}

TEST_F(WaveOutTest, OpeningAnOpenModuleClosesThePreviousDeviceFirst) {
    auto waveOut = makeWaveOut(TestWaveDevice::acceptAll());
    add(graph, *waveOut);
    ASSERT_TRUE(waveOut->open(2));
    ASSERT_TRUE(device->waitForCount("write", 3, kLimit));
    ASSERT_TRUE(waveOut->open(2));
    ASSERT_TRUE(device->waitForCount("write", 4, kLimit));
    waveOut->close();

    const auto ops = device->operations();
    const std::vector<std::string> reopen = {"reset", "close", "open", "prepareHeader", "write"};
    ASSERT_GE(ops.size(), 7 + reopen.size());
    // The new device's first pass prepares buffer 0 afresh, without unpreparing it.
    EXPECT_EQ(std::vector<std::string>(ops.begin() + 7, ops.begin() + 7 + 5), reopen);
    EXPECT_EQ(device->calls()[11].header, &waveOut->headers[0]);
    EXPECT_TRUE(device->violations().empty());
}

TEST_F(WaveOutTest, TwoClosesOnTwoThreadsResetAndCloseTheDeviceOnce) {
    for (int round = 0; round < 20; ++round) {
        auto waveOut = makeWaveOut(TestWaveDevice::acceptAll());
        add(graph, *waveOut);
        ASSERT_TRUE(waveOut->open(2));
        std::atomic<bool> go{false};
        auto closer = [&] {
            while (!go) {
                std::this_thread::yield();
            }
            waveOut->close();
        };
        std::thread a(closer);
        std::thread b(closer);
        go = true;
        a.join();
        b.join();
        EXPECT_EQ(device->count("reset"), 1u);
        EXPECT_EQ(device->count("close"), 1u);
        EXPECT_TRUE(device->violations().empty());
    }
}

TEST_F(WaveOutTest, DestroyingAnOpenModuleClosesTheDevice) {
    auto waveOut = makeWaveOut(TestWaveDevice::acceptAll());
    add(graph, *waveOut);
    ASSERT_TRUE(waveOut->open(2));
    ASSERT_TRUE(device->waitForCount("write", 3, kLimit));
    waveOut.reset();
    EXPECT_FALSE(device->isOpen());
    EXPECT_EQ(device->queuedCount(), 0u);
    EXPECT_TRUE(device->violations().empty());
}

TEST_F(WaveOutTest, ConstructionRefusesBufferShapesTheLoopCannotFill) {
    const std::vector<std::pair<int32_t, int32_t>> table = {{0, 46080}, {-1, 46080}, {3, 0},
                                                            {3, -288},  {3, 46081},  {3, 46084}};
    for (const auto& [count, bytes] : table) {
        EXPECT_THROW(M_WaveOut(count, bytes, std::make_unique<TestWaveDevice>()),
                     std::invalid_argument)
            << count << " x " << bytes;
    }
    EXPECT_THROW(M_WaveOut(3, 46080, nullptr), std::invalid_argument);
}

TEST_F(WaveOutTest, EveryAliasFindsItsInputAndTheLastNameIsReported) {
    M_WaveOut waveOut(1, 288, std::make_unique<TestWaveDevice>());
    const std::vector<std::vector<std::string>> names = {
        {"левый", "Л", "left", "L"},
        {"правый", "П", "right", "R"},
        {"центр", "Ц", "center", "C"},
        {"бас", "БАС", "lfe", "LFE"},
        {"тыл.левый", "ТЛ", "surr.left", "SL"},
        {"тыл.правый", "ТП", "surr.right", "SR"},
        {"ЛЦ", "FCL"},
        {"РП", "FCR"},
    };
    for (int32_t input = 0; input < 8; ++input) {
        for (const std::string& name : names[input]) {
            EXPECT_EQ(waveOut.inputNames.indexOf(name), input) << name;
        }
        EXPECT_EQ(waveOut.inputNames.nameOf(input), names[input].back());
    }
}

TEST_F(WaveOutTest, OnlyFinishedBufferNoticesFreeABuffer) {
    M_WaveOut waveOut(3, 288, std::make_unique<TestWaveDevice>());
    const auto self = reinterpret_cast<uintptr_t>(&waveOut);
    M_WaveOut::deviceCallback(nullptr, kWomOpen, self, 0, 0);
    M_WaveOut::deviceCallback(nullptr, kWomDone, self, 0, 0);
    M_WaveOut::deviceCallback(nullptr, kWomClose, self, 0, 0);
    EXPECT_EQ(waveOut.freeBuffers, 1);
}

TEST_F(WaveOutTest, EachPassRendersOneBufferQueuesItAndWaitsOnlyWhenNoneIsFree) {
    AudioModuleContainer container(0, 0);  // no lock: rendering goes on without one
    Probe probe;
    auto waveOut = makeWaveOut(TestWaveDevice::acceptOnly(2, 32, 192000));
    add(container, probe);
    add(container, *waveOut);
    constexpr int64_t framesPerBuffer = kBufferBytes / 8;

    ASSERT_TRUE(waveOut->open(2));
    ASSERT_TRUE(device->waitForCount("write", 3, kLimit));
    EXPECT_EQ(probe.frames, 3 * framesPerBuffer);
    const auto calls = device->calls();
    ASSERT_EQ(calls.size(), 7u);
    for (int i = 0; i < 3; ++i) {
        // The first use of a header prepares it without unpreparing it.
        EXPECT_EQ(calls[1 + 2 * i].operation, "prepareHeader");
        EXPECT_EQ(calls[2 + 2 * i].operation, "write");
        EXPECT_EQ(calls[2 + 2 * i].header, &waveOut->headers[i]);
    }

    // Each finished buffer lets exactly one more pass through, reusing the oldest header.
    for (int n = 0; n < 4; ++n) {
        ASSERT_TRUE(device->finishOldest());
        ASSERT_TRUE(device->waitForCount("write", 4 + n, kLimit));
        const auto all = device->calls();
        const std::vector<TestWaveDevice::Call> tail(all.end() - 3, all.end());
        const WaveHeader* reused = &waveOut->headers[n % 3];
        EXPECT_EQ(tail[0].operation, "unprepareHeader");
        EXPECT_EQ(tail[1].operation, "prepareHeader");
        EXPECT_EQ(tail[2].operation, "write");
        for (const auto& call : tail) {
            EXPECT_EQ(call.header, reused);
        }
        EXPECT_EQ(probe.frames, (4 + n) * framesPerBuffer);
    }
    waveOut->close();
    EXPECT_EQ(device->count("write"), 7u);
    EXPECT_TRUE(device->violations().empty());
}

// Collects the module's events on the playback thread for the test thread.
class EventLog {
  public:
    std::function<void(WaveOutEvent)> hook() {
        return [this](WaveOutEvent e) {
            std::lock_guard lock(mutex);
            events.push_back(e);
            changed.notify_all();
        };
    }
    bool waitForCount(size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kLimit, [&] { return events.size() >= n; });
    }
    std::vector<WaveOutEvent> all() {
        std::lock_guard lock(mutex);
        return events;
    }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<WaveOutEvent> events;
};

TEST_F(WaveOutTest, ALostDeviceIsReportedOnceReopenedInTheSameFormatAndPlaysOnFromTheGraph) {
    AudioModuleContainer container(0, 0);
    Probe probe;
    auto waveOut = makeWaveOut(TestWaveDevice::acceptOnly(2, 24, 96000));
    add(container, probe);
    add(container, *waveOut);
    EventLog log;
    waveOut->setEventHook(log.hook());
    ASSERT_TRUE(waveOut->open(2));
    ASSERT_TRUE(device->waitForCount("write", 3, kLimit));
    const size_t searchAttempts = device->attempts().size();
    EXPECT_FALSE(waveOut->deviceLostSinceOpen());

    device->setLost(true);
    // Reopened again and again while it stays away, and reported only once.
    ASSERT_TRUE(device->waitForCount("open", searchAttempts + 3, kLimit));
    EXPECT_EQ(log.all(), std::vector<WaveOutEvent>{WaveOutEvent::DeviceLost});
    EXPECT_TRUE(waveOut->deviceLostSinceOpen());
    const int64_t framesWhileAway = probe.frames;

    const size_t writes = device->count("write");
    device->setLost(false);
    ASSERT_TRUE(log.waitForCount(2));
    EXPECT_EQ(log.all()[1], WaveOutEvent::DeviceRestored);
    ASSERT_TRUE(device->waitForCount("write", writes + 3, kLimit));
    EXPECT_GT(probe.frames, framesWhileAway);  // the same graph renders on
    for (size_t i = searchAttempts; i < device->attempts().size(); ++i) {
        EXPECT_EQ(attemptOf(device->attempts()[i]), Attempt(2, 0x3, 24, 96000)) << i;
    }
    // Fresh headers on the new device: the first write after the return is buffer 0, prepared
    // without an unprepare.
    const auto calls = device->calls();
    size_t reopened = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].operation == "open") {
            reopened = i;
        }
    }
    ASSERT_LT(reopened + 2, calls.size());
    EXPECT_EQ(calls[reopened + 1].operation, "prepareHeader");
    EXPECT_EQ(calls[reopened + 2].header, &waveOut->headers[0]);

    waveOut->close();
    EXPECT_TRUE(waveOut->deviceLostSinceOpen());
    EXPECT_TRUE(device->violations().empty()) << device->violations().front();
    ASSERT_TRUE(waveOut->open(2));
    EXPECT_FALSE(waveOut->deviceLostSinceOpen());
    waveOut->close();
}

TEST_F(WaveOutTest, ClosingWhileReopeningEndsAnOpenThatWaitsAndLeavesTheDeviceClosed) {
    AudioModuleContainer container(0, 0);
    auto waveOut = makeWaveOut(TestWaveDevice::acceptAll());
    add(container, *waveOut);
    ASSERT_TRUE(waveOut->open(2));
    ASSERT_TRUE(device->waitForCount("write", 3, kLimit));
    device->setLost(true, true);
    ASSERT_TRUE(device->waitForCount("open", 2, kLimit));
    // The reopen waits for a device that does not answer: close must not wait with it.
    auto closing = std::async(std::launch::async, [&] { waveOut->close(); });
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const size_t opens = device->count("open");
    EXPECT_EQ(device->count("close"), 1u);
    EXPECT_FALSE(device->isOpen());
    EXPECT_TRUE(device->violations().empty()) << device->violations().front();
    device->setLost(false);
    // No playback thread is left to open it again.
    EXPECT_FALSE(device->waitForCount("open", opens + 1, std::chrono::milliseconds(200)));
}

TEST_F(WaveOutTest, InputKFeedsChannelKAtEveryDepthAndLayout) {
    const std::vector<double> values = {0.1, -0.2, 0.3, -0.4, 0.5, -0.6, 0.7, -0.8};
    for (const ChannelLayout& layout : kChannelLayouts) {
        for (int32_t bits : {16, 24, 32}) {
            SCOPED_TRACE(testing::Message() << layout.channels << " channels, " << bits << " bits");
            AudioModuleContainer container(0, 0);
            Constants source(values);
            Probe probe;
            M_WaveOut waveOut(1, 576, std::make_unique<TestWaveDevice>());
            add(container, source);
            add(container, probe);
            add(container, waveOut);
            for (int32_t k = 0; k < 8; ++k) {
                source.connect(k, k, waveOut);
            }
            waveOut.format = pcmFormat(96000, bits, layout);

            ASSERT_TRUE(waveOut.fillBuffer(0));
            const int32_t sampleBytes = bits / 8;
            const int32_t frameBytes = layout.channels * sampleBytes;
            EXPECT_EQ(probe.frames, 576 / frameBytes);
            std::vector<char> expected(static_cast<size_t>(frameBytes));
            for (int32_t k = 0; k < layout.channels; ++k) {
                storeSampleBytes(bits, values[k], &expected[static_cast<size_t>(k * sampleBytes)]);
            }
            const char* buffer = waveOut.headers[0].lpData;
            for (int32_t offset = 0; offset < 576; offset += frameBytes) {
                ASSERT_EQ(std::vector<char>(buffer + offset, buffer + offset + frameBytes),
                          expected)
                    << "frame at byte " << offset;
            }
        }
    }
}

// Runs `change` under the lock on a helper thread. False if the lock could not be had within
// kLimit; the module is then closed, which ends any pass that keeps the lock.
bool changeUnderLock(ILocker& locker, M_WaveOut& waveOut, const std::function<void()>& change) {
    std::promise<void> done;
    std::future<void> changed = done.get_future();
    std::thread helper([&] {
        std::lock_guard<ILocker> guard(locker);
        change();
        done.set_value();
    });
    const bool inTime = changed.wait_for(kLimit) == std::future_status::ready;
    if (!inTime) {
        waveOut.close();
    }
    helper.join();
    return inTime;
}

TEST_F(WaveOutTest, ChangesUnderTheLockLandBetweenBuffersNeverInsideOne) {
    // Passes its input on. Midway through the second buffer it tells the test thread, which then
    // tries to change that input, and gives it a moment before rendering on: a change that got
    // past the lock would show in the rest of the buffer.
    class Midway : public AudioModule {
      public:
        explicit Midway(int64_t at) : AudioModule(1, 1), at(at) {}
        void process() override {
            if (frames++ == at) {
                reached.set_value();
                changed.wait_for(std::chrono::milliseconds(100));
            }
            outputs[0].value = inputValue(0);
        }
        int64_t at;
        int64_t frames = 0;
        std::promise<void> reached;
        std::future<void> changed;
    };

    constexpr int64_t framesPerBuffer = kBufferBytes / 4;
    LockedContainer container(0, 0);
    Midway midway(framesPerBuffer + framesPerBuffer / 2);
    std::promise<void> change;
    midway.changed = change.get_future();
    std::future<void> reached = midway.reached.get_future();
    auto waveOut = makeWaveOut(TestWaveDevice::acceptOnly(2, 16, 96000));
    add(container, midway);
    add(container, *waveOut);
    midway.connect(0, "L", *waveOut);
    midway.connect(0, "R", *waveOut);
    midway.setInputValue(0, 0.25);
    // The high byte of the 16-bit sample that fills every channel of every frame of a buffer,
    // or -1 when the buffer is not uniform.
    auto uniformHighByte = [&](int i) -> int {
        const char* buffer = waveOut->headers[i].lpData;
        for (int32_t offset = 0; offset < kBufferBytes; offset += 2) {
            if (buffer[offset] != buffer[0] || buffer[offset + 1] != buffer[1]) {
                return -1;
            }
        }
        return static_cast<unsigned char>(buffer[1]);
    };

    ASSERT_TRUE(waveOut->open(2));
    ASSERT_EQ(reached.wait_for(kLimit), std::future_status::ready);
    ASSERT_TRUE(changeUnderLock(container, *waveOut, [&] {
        midway.setInputValue(0, 0.5);
        change.set_value();
    }));
    ASSERT_TRUE(device->waitForCount("write", 3, kLimit));
    // While the loop waits for a finished buffer the lock is free; the change shows in the
    // next buffer filled, which is buffer 0 again.
    ASSERT_TRUE(changeUnderLock(container, *waveOut, [&] { midway.setInputValue(0, 0.75); }));
    device->finishOldest();
    ASSERT_TRUE(device->waitForCount("write", 4, kLimit));
    waveOut->close();

    // 0.25, 0.5 and 0.75 are 8191, 16383 and 24575: FF 1F, FF 3F and FF 5F.
    EXPECT_EQ(uniformHighByte(0), 0x5F);
    EXPECT_EQ(uniformHighByte(1), 0x1F);
    EXPECT_NE(uniformHighByte(2), -1);
}

TEST_F(WaveOutTest, AStopDuringTheWaitEndsThePassWithoutFillingAnotherBuffer) {
    AudioModuleContainer container(0, 0);
    Probe probe;
    auto waveOut = makeWaveOut(TestWaveDevice::acceptOnly(2, 32, 192000));
    add(container, probe);
    add(container, *waveOut);

    ASSERT_TRUE(waveOut->open(2));
    ASSERT_TRUE(device->waitForCount("write", 3, kLimit));
    // No buffer will ever finish: only the stop can end the third pass's wait.
    auto closing = std::async(std::launch::async, [&] { return waveOut->close(); });
    if (closing.wait_for(kLimit) != std::future_status::ready) {
        while (device->finishOldest()) {
        }
        FAIL() << "close did not end the wait";
    }
    EXPECT_EQ(waveOut->currentBuffer, 0);
    EXPECT_EQ(device->count("write"), 3u);
    EXPECT_EQ(probe.frames, 3 * kBufferBytes / 8);
}

}  // namespace
