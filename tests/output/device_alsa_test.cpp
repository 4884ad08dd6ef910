// The ALSA device layer against alsa-lib's own plugins, with no sound card: a test configuration
// puts the `file` plugin over `null` (which has no clock and consumes whatever it is given), so
// the exact bytes that reach the device can be read back from a file.
#include "output/device_alsa.h"

#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/device_harness.h"

// alsa-lib's null plugin does not free the channel map of its configuration when it closes; the
// leak detector of the address-sanitized build is told to look past alsa-lib's own allocations.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libasound.so\n";
}

namespace {

using namespace std::chrono_literals;

constexpr auto kNoticeLimit = 10s;
constexpr uint32_t kRate = 48000;

class CaptureFile {
  public:
    CaptureFile() {
        static std::atomic<int> counter{0};
        path =
            std::filesystem::temp_directory_path() / ("tonarium-alsa-" + std::to_string(getpid()) +
                                                      "-" + std::to_string(counter++) + ".raw");
    }
    ~CaptureFile() { std::filesystem::remove(path); }

    std::vector<char> contents() const {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // PCMs: "capture" writes into the file in ALSA's default channel order, "capture_listed" the
    // same with a device map in the system's order, "stereo_only" accepts two channels only.
    std::string config() const {
        const std::string file = "file \"" + path.string() + "\" format raw ";
        return "pcm.capture { type file slave.pcm { type null } " + file +
               "}\n"
               "pcm.capture_listed { type file slave.pcm { type null chmap [ "
               "\"FL,FR,FC,LFE,RL,RR\" ] } " +
               file +
               "}\n"
               "pcm.stereo_only { type plug slave { pcm { type null } channels 2 } }\n";
    }

  private:
    std::filesystem::path path;
};

// Byte b of the sample of channel k in frame f of a test stream; each is different enough that a
// lost, doubled, shifted or misplaced sample changes the bytes.
char streamByte(size_t frame, unsigned channel, unsigned byte) {
    return static_cast<char>(frame * 131 + channel * 17 + byte * 5 + 1);
}

std::vector<char> makeStream(size_t frames, unsigned channels, unsigned sampleBytes,
                             size_t firstFrame = 0) {
    std::vector<char> out;
    out.reserve(frames * channels * sampleBytes);
    for (size_t f = firstFrame; f < firstFrame + frames; ++f) {
        for (unsigned k = 0; k < channels; ++k) {
            for (unsigned b = 0; b < sampleBytes; ++b) {
                out.push_back(streamByte(f, k, b));
            }
        }
    }
    return out;
}

// The stream as the device receives it: device slot j carries system channel order[j].
std::vector<char> permuted(const std::vector<char>& stream, const std::vector<unsigned>& order,
                           unsigned sampleBytes) {
    const size_t frameBytes = order.size() * sampleBytes;
    std::vector<char> out(stream.size());
    for (size_t p = 0; p < stream.size(); p += frameBytes) {
        for (size_t j = 0; j < order.size(); ++j) {
            std::copy_n(stream.begin() + p + order[j] * sampleBytes, sampleBytes,
                        out.begin() + p + j * sampleBytes);
        }
    }
    return out;
}

// Buffers that a test writes, each with its own memory and header.
struct Buffers {
    std::vector<std::unique_ptr<std::vector<char>>> memory;
    std::vector<std::unique_ptr<WaveHeader>> headers;

    // Cuts `stream` into buffers of bufferBytes (the last may be shorter).
    Buffers(const std::vector<char>& stream, size_t bufferBytes) {
        for (size_t p = 0; p < stream.size(); p += bufferBytes) {
            const size_t n = std::min(bufferBytes, stream.size() - p);
            memory.push_back(
                std::make_unique<std::vector<char>>(stream.begin() + p, stream.begin() + p + n));
            auto h = std::make_unique<WaveHeader>();
            h->lpData = memory.back()->data();
            h->dwBufferLength = static_cast<uint32_t>(n);
            headers.push_back(std::move(h));
        }
    }

    void writeAll(WaveOutDevice& device) {
        for (auto& h : headers) {
            ASSERT_EQ(device.prepareHeader(*h), kWaveNoError);
            ASSERT_EQ(device.write(*h), kWaveNoError);
        }
    }
};

struct LayoutCase {
    const char* name;
    uint16_t channels;
    uint32_t mask;
    uint16_t bits;
    std::vector<unsigned> deviceOrder;  // system channel played by each device slot
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << c.name;
}

class AlsaBytesTest : public testing::TestWithParam<LayoutCase> {};

TEST_P(AlsaBytesTest, DeliversEveryFrameOnceInTheDeviceChannelOrder) {
    const LayoutCase& c = GetParam();
    CaptureFile file;
    AlsaWaveOutDevice device("capture", file.config());
    NoticeLog log;
    const auto format = makeWaveFormat(c.channels, c.mask, c.bits, kRate);
    ASSERT_EQ(device.open(format, &NoticeLog::callback, log.instance()), kWaveNoError);

    // Three headers cycling as the output module cycles them, eight buffers in all.
    const unsigned sampleBytes = c.bits / 8u;
    const size_t bufferBytes = 4608;  // a whole number of frames for every layout and depth
    const size_t bufferFrames = bufferBytes / format.nBlockAlign;
    const size_t totalBuffers = 8;
    const auto stream = makeStream(bufferFrames * totalBuffers, c.channels, sampleBytes);
    std::vector<std::vector<char>> memory(3, std::vector<char>(bufferBytes));
    std::vector<WaveHeader> headers(3);
    for (size_t i = 0; i < totalBuffers; ++i) {
        WaveHeader& h = headers[i % 3];
        if (i >= 3) {
            ASSERT_TRUE(log.waitForDone(i - 2, kNoticeLimit));
            ASSERT_EQ(device.unprepareHeader(h), kWaveNoError);
        }
        std::copy_n(stream.begin() + i * bufferBytes, bufferBytes, memory[i % 3].begin());
        h.lpData = memory[i % 3].data();
        h.dwBufferLength = bufferBytes;
        ASSERT_EQ(device.prepareHeader(h), kWaveNoError);
        ASSERT_EQ(device.write(h), kWaveNoError);
    }
    ASSERT_TRUE(log.waitForDone(totalBuffers, kNoticeLimit));
    ASSERT_EQ(device.reset(), kWaveNoError);
    ASSERT_EQ(device.close(), kWaveNoError);

    const auto bytes = file.contents();
    ASSERT_EQ(bytes.size(), stream.size());
    EXPECT_TRUE(bytes == permuted(stream, c.deviceOrder, sampleBytes));
}

INSTANTIATE_TEST_SUITE_P(
    DepthsAndLayouts, AlsaBytesTest,
    testing::Values(LayoutCase{"Stereo16", 2, 0x03, 16, {0, 1}},
                    LayoutCase{"Stereo24", 2, 0x03, 24, {0, 1}},
                    LayoutCase{"Stereo32", 2, 0x03, 32, {0, 1}},
                    LayoutCase{"Quad16", 4, 0x33, 16, {0, 1, 2, 3}},
                    LayoutCase{"Quad24", 4, 0x33, 24, {0, 1, 2, 3}},
                    LayoutCase{"Quad32", 4, 0x33, 32, {0, 1, 2, 3}},
                    LayoutCase{"FivePointOne16", 6, 0x3F, 16, {0, 1, 4, 5, 2, 3}},
                    LayoutCase{"FivePointOne24", 6, 0x3F, 24, {0, 1, 4, 5, 2, 3}},
                    LayoutCase{"FivePointOne32", 6, 0x3F, 32, {0, 1, 4, 5, 2, 3}},
                    LayoutCase{"SevenPointOne16", 8, 0xFF, 16, {0, 1, 4, 5, 2, 3, 6, 7}},
                    LayoutCase{"SevenPointOne24", 8, 0xFF, 24, {0, 1, 4, 5, 2, 3, 6, 7}},
                    LayoutCase{"SevenPointOne32", 8, 0xFF, 32, {0, 1, 4, 5, 2, 3, 6, 7}}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

TEST(AlsaDeviceTest, FollowsTheChannelMapTheDeviceStates) {
    CaptureFile file;
    AlsaWaveOutDevice device("capture_listed", file.config());
    NoticeLog log;
    ASSERT_EQ(device.open(makeWaveFormat(6, 0x3F, 16, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    const auto stream = makeStream(1000, 6, 2);
    Buffers buffers(stream, 1200);
    buffers.writeAll(device);
    ASSERT_TRUE(log.waitForDone(buffers.headers.size(), kNoticeLimit));
    ASSERT_EQ(device.close(), kWaveNoError);
    EXPECT_TRUE(file.contents() == stream);  // the device's order is the system's: unchanged
}

TEST(AlsaDeviceTest, GivesOneFinishedNoticePerBufferInTheOrderWritten) {
    AlsaWaveOutDevice device("null");
    NoticeLog log;
    ASSERT_EQ(device.open(makeWaveFormat(2, 0x03, 32, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    // Uneven sizes, an empty buffer and a trailing part frame among them.
    Buffers buffers(makeStream(5000, 2, 4), 5000 * 8 / 40 + 3);
    buffers.headers[7]->dwBufferLength = 0;
    buffers.writeAll(device);
    ASSERT_TRUE(log.waitForDone(buffers.headers.size(), kNoticeLimit));
    ASSERT_EQ(device.close(), kWaveNoError);

    const auto done = log.doneNotices();
    ASSERT_EQ(done.size(), buffers.headers.size());
    for (size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].header, buffers.headers[i].get()) << "notice " << i;
        EXPECT_EQ(done[i].flags, kWhdrPrepared | kWhdrDone) << "notice " << i;
    }
    EXPECT_EQ(log.openCount(), 1);
    EXPECT_EQ(log.closeCount(), 1);
}

TEST(AlsaDeviceTest, ResetHandsBackEveryBufferBeforeItReturnsAndDropsTheRest) {
    CaptureFile file;
    AlsaWaveOutDevice device("capture", file.config());
    NoticeLog log;
    ASSERT_EQ(device.open(makeWaveFormat(2, 0x03, 16, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    const size_t frameBytes = 4;
    const auto before = makeStream(48000, 2, 2);
    Buffers first(before, 960 * frameBytes);
    first.writeAll(device);
    ASSERT_EQ(device.reset(), kWaveNoError);
    const auto handedBack = log.doneNotices();
    ASSERT_EQ(handedBack.size(), first.headers.size());
    for (size_t i = 0; i < handedBack.size(); ++i) {
        EXPECT_EQ(handedBack[i].header, first.headers[i].get()) << "notice " << i;
    }

    // After the reset the device plays on from a clean start.
    const auto after = makeStream(2000, 2, 2, 777);
    Buffers second(after, 1000 * frameBytes);
    second.writeAll(device);
    ASSERT_TRUE(log.waitForDone(first.headers.size() + second.headers.size(), kNoticeLimit));
    ASSERT_EQ(device.close(), kWaveNoError);

    // What reached the device: a whole-frame start of the first stream, then all of the second.
    const auto bytes = file.contents();
    ASSERT_GE(bytes.size(), after.size());
    const size_t kept = bytes.size() - after.size();
    ASSERT_EQ(kept % frameBytes, 0u);
    ASSERT_LE(kept, before.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + kept, before.begin()));
    EXPECT_TRUE(std::equal(bytes.begin() + kept, bytes.end(), after.begin()));
}

struct RefusalCase {
    const char* name;
    const char* pcm;
    WaveFormatExtensible format;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class AlsaRefusalTest : public testing::TestWithParam<RefusalCase> {};

TEST_P(AlsaRefusalTest, RefusesWithAResultAndStaysUsable) {
    CaptureFile file;
    AlsaWaveOutDevice device(GetParam().pcm, file.config());
    NoticeLog log;
    EXPECT_NE(device.open(GetParam().format, &NoticeLog::callback, log.instance()), kWaveNoError);
    WaveHeader h;
    EXPECT_NE(device.write(h), kWaveNoError);
    EXPECT_EQ(log.openCount(), 0);

    // The same object then opens a format that the PCM takes (where the PCM exists).
    const bool pcmExists = std::string(GetParam().pcm) != "missing";
    EXPECT_EQ(device.open(makeWaveFormat(2, 0x03, 16, kRate), &NoticeLog::callback,
                          log.instance()) == kWaveNoError,
              pcmExists);
}

WaveFormatExtensible withBits(uint16_t bits) {
    auto f = makeWaveFormat(2, 0x03, 16, kRate);
    f.wBitsPerSample = f.Samples.wValidBitsPerSample = bits;
    f.nBlockAlign = static_cast<uint16_t>(2 * bits / 8);
    return f;
}

WaveFormatExtensible withSubFormat(WaveGuid guid) {
    auto f = makeWaveFormat(2, 0x03, 16, kRate);
    f.SubFormat = guid;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, AlsaRefusalTest,
    testing::Values(RefusalCase{"MoreChannelsThanTheDeviceHas", "stereo_only",
                                makeWaveFormat(6, 0x3F, 16, kRate)},
                    RefusalCase{"AMissingDevice", "missing", makeWaveFormat(2, 0x03, 16, kRate)},
                    RefusalCase{"ADepthWithoutAnAlsaFormat", "stereo_only", withBits(20)},
                    RefusalCase{"FloatSamples", "stereo_only",
                                withSubFormat({0x00000003,
                                               0x0000,
                                               0x0010,
                                               {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}})}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

TEST(AlsaDeviceTest, RefusesWritesOnceClosedAndUnpreparedHeaders) {
    AlsaWaveOutDevice device("null");
    NoticeLog log;
    ASSERT_EQ(device.open(makeWaveFormat(2, 0x03, 16, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    EXPECT_EQ(device.open(makeWaveFormat(2, 0x03, 16, kRate), &NoticeLog::callback, log.instance()),
              kWaveAllocated);
    std::vector<char> memory(400);
    WaveHeader h;
    h.lpData = memory.data();
    h.dwBufferLength = 400;
    EXPECT_EQ(device.write(h), kWaveUnprepared);
    ASSERT_EQ(device.close(), kWaveNoError);
    EXPECT_NE(device.close(), kWaveNoError);
    h.dwFlags = kWhdrPrepared;
    EXPECT_NE(device.write(h), kWaveNoError);
    EXPECT_EQ(log.doneCount(), 0u);
    EXPECT_EQ(log.closeCount(), 1);
}

TEST(AlsaDeviceTest, RefusesToOpenWhenItCannotMakeItsWakeUpDescriptor) {
    AlsaWaveOutDevice device("null");
    NoticeLog log;
    const auto format = makeWaveFormat(2, 0x03, 16, kRate);
    int (*const saved)() = g_alsaMakeWakeFd;
    g_alsaMakeWakeFd = [] { return -1; };
    const WaveResult refused = device.open(format, &NoticeLog::callback, log.instance());
    g_alsaMakeWakeFd = saved;
    EXPECT_NE(refused, kWaveNoError);
    EXPECT_EQ(log.openCount(), 0);
    // Nothing is left open: the next open is not "already open".
    EXPECT_EQ(device.open(format, &NoticeLog::callback, log.instance()), kWaveNoError);
    EXPECT_EQ(device.close(), kWaveNoError);
}

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

TEST(AlsaDeviceTest, WorkerSleepsWhileNothingIsQueued) {
    AlsaWaveOutDevice device("null");
    NoticeLog log;
    ASSERT_EQ(device.open(makeWaveFormat(2, 0x03, 32, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    Buffers buffers(makeStream(4800, 2, 4), 4800 * 8);
    buffers.writeAll(device);
    ASSERT_TRUE(log.waitForDone(1, kNoticeLimit));

    // A worker that spins burns the whole interval; an idle one almost nothing.
    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(processCpuSeconds() - cpuBefore, 0.1);
    EXPECT_EQ(device.close(), kWaveNoError);
}

}  // namespace
