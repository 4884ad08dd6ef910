// The ALSA device layer against alsa-lib's own plugins, with no sound card: `null` consumes
// whatever it is given at once, and `file` over it writes the exact bytes that reach the device.
// Device faults are injected through stand-ins for a few alsa-lib calls.
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "output/alsa/device_alsa.h"
#include "output/alsa/device_alsa_channels.h"
#include "tests/support/device_harness.h"

// alsa-lib's null plugin does not free the channel map of its configuration when it closes.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libasound.so\n";
}

// The alsa-lib function that a stand-in below replaces.
#define NEXT(f) reinterpret_cast<decltype(&f)>(dlsym(RTLD_NEXT, #f))

namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = 10s;
constexpr uint32_t kRate = 48000;

std::atomic<int> g_availError{0};                     // the next snd_pcm_avail fails with it, once
std::atomic<int> g_dropError{0};                      // the next snd_pcm_drop fails with it, once
std::atomic<int> g_pcmFd{-1};                         // the descriptor the PCM gave for polling
std::atomic<int> g_reventsCalls{0}, g_foreignFds{0};  // asked about: all, and not the PCM's

}  // namespace

extern "C" {
snd_pcm_sframes_t snd_pcm_avail(snd_pcm_t* pcm) {
    const int error = g_availError.exchange(0);
    return error != 0 ? error : NEXT(snd_pcm_avail)(pcm);
}
int snd_pcm_drop(snd_pcm_t* pcm) {
    const int error = g_dropError.exchange(0);
    return error != 0 ? error : NEXT(snd_pcm_drop)(pcm);
}
int snd_pcm_poll_descriptors(snd_pcm_t* pcm, pollfd* fds, unsigned space) {
    const int n = NEXT(snd_pcm_poll_descriptors)(pcm, fds, space);
    g_pcmFd = n == 1 ? fds[0].fd : -2;
    return n;
}
int snd_pcm_poll_descriptors_revents(snd_pcm_t* pcm, pollfd* fds, unsigned n, unsigned short* ev) {
    ++g_reventsCalls;
    g_foreignFds += n != 1 || fds[0].fd != g_pcmFd ? 1 : 0;
    return NEXT(snd_pcm_poll_descriptors_revents)(pcm, fds, n, ev);
}
}

namespace {

// PCMs writing raw files: "capture" in ALSA's default channel order, "listed" with a device map
// in the system's order; and "stereo_only", which accepts two channels only.
struct CaptureFile {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("tonarium-alsa-" + std::to_string(getpid()));
    ~CaptureFile() { std::filesystem::remove(path); }
    std::vector<char> contents() const {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string config() const {
        const std::string file = "file \"" + path.string() + "\" format raw }\n";
        return "pcm.capture { type file slave.pcm { type null } " + file +
               "pcm.listed { type file slave.pcm { type null chmap [ \"FL,FR,FC,LFE,RL,RR\" ] } " +
               file + "pcm.stereo_only { type plug slave { pcm { type null } channels 2 } }\n";
    }
};

// A stream whose bytes all differ from their neighbours', so that a lost, doubled, shifted or
// misplaced sample shows, cut into buffers with headers.
struct Buffers {
    Buffers(size_t frames, size_t frameBytes, size_t bufferFrames, size_t first = 0)
        : stream(frames * frameBytes) {
        for (size_t i = 0; i < stream.size(); ++i) {
            stream[i] = static_cast<char>((first + i / frameBytes) * 131 + i % frameBytes * 17);
        }
        for (size_t p = 0; p < stream.size(); p += bufferFrames * frameBytes) {
            headers.push_back(
                {stream.data() + p,
                 static_cast<uint32_t>(std::min(bufferFrames * frameBytes, stream.size() - p))});
        }
    }
    void write(WaveOutDevice& device, size_t from = 0, size_t to = SIZE_MAX) {
        for (size_t i = from; i < std::min(to, headers.size()); ++i) {
            ASSERT_EQ(device.prepareHeader(headers[i]), kWaveNoError);
            ASSERT_EQ(device.write(headers[i]), kWaveNoError);
        }
    }
    std::vector<char> stream;
    std::vector<WaveHeader> headers;
};

struct Device {
    explicit Device(const char* pcm, uint16_t channels = 2, uint16_t bits = 16)
        : alsa(pcm, file.config()) {
        const auto format = makeWaveFormat(channels, bits, kRate);
        EXPECT_EQ(alsa.open(format, &NoticeLog::callback, log.instance()), kWaveNoError);
    }
    CaptureFile file;
    NoticeLog log;
    AlsaWaveOutDevice alsa;
};

TEST(AlsaDeviceTest, DeliversEveryFrameOnceInTheDeviceOrderAndNoticesInTheOrderWritten) {
    const std::vector<std::tuple<const char*, uint16_t, uint16_t>> table = {
        {"capture", 2, 16}, {"capture", 2, 24}, {"capture", 4, 32}, {"capture", 6, 16},
        {"capture", 6, 24}, {"capture", 8, 32}, {"capture", 8, 16}, {"listed", 6, 16}};
    const unsigned alsaOrder[] = {0, 1, 4, 5, 2, 3, 6, 7};  // system channel of each ALSA slot
    for (const auto& [pcm, channels, bits] : table) {
        SCOPED_TRACE(testing::Message() << pcm << ", " << channels << " channels, " << bits);
        const unsigned sampleBytes = bits / 8u;
        Buffers buffers(1000, channels * sampleBytes, 96);
        Device device(pcm, channels, bits);
        buffers.write(device.alsa);
        ASSERT_TRUE(device.log.waitForDone(buffers.headers.size(), kLimit));
        ASSERT_EQ(device.alsa.close(), kWaveNoError);
        const auto notices = device.log.all();
        ASSERT_EQ(notices.size(), buffers.headers.size() + 2);
        EXPECT_TRUE(notices.front().message == kWomOpen && notices.back().message == kWomClose);
        for (size_t i = 0; i < buffers.headers.size(); ++i) {
            EXPECT_EQ(notices[i + 1].header, &buffers.headers[i]) << i;
            EXPECT_EQ(notices[i + 1].flags, kWhdrPrepared | kWhdrDone) << i;
        }
        const bool permuted = channels >= 6 && std::string(pcm) == "capture";
        std::vector<char> expected(buffers.stream.size());
        for (size_t p = 0; p < expected.size(); p += sampleBytes) {
            const size_t slot = p / sampleBytes % channels;
            const size_t from = p + ((permuted ? alsaOrder[slot] : slot) - slot) * sampleBytes;
            std::copy_n(buffers.stream.begin() + from, sampleBytes, expected.begin() + p);
        }
        EXPECT_TRUE(device.file.contents() == expected);
    }
}

TEST(AlsaDeviceTest, ResetHandsEveryBufferBackAtOnceAndPlaysOnAcrossAnUnderrun) {
    Buffers first(kRate, 4, 960), second(kRate / 2, 4, 960, 777);
    Device device("capture");
    const int reventsCalls = g_reventsCalls;
    first.write(device.alsa);
    // The worker acknowledges each reset: one that waits out its time-out (150 ms) shows in the
    // sum, whether it comes on a playing device or an idle one.
    auto spent = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 4; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(device.alsa.reset(), kWaveNoError);
        spent += std::chrono::steady_clock::now() - start;
        ASSERT_EQ(device.log.doneCount(), first.headers.size());  // all back before it returned
    }
    EXPECT_LT(spent, 300ms);
    // Then a stream longer than the ring, with an underrun halfway.
    second.write(device.alsa, 0, 12);
    ASSERT_TRUE(device.log.waitForDone(first.headers.size() + 12, kLimit));
    g_availError = -EPIPE;
    second.write(device.alsa, 12);
    ASSERT_TRUE(device.log.waitForDone(first.headers.size() + second.headers.size(), kLimit));
    EXPECT_FALSE(device.alsa.deviceLost());
    ASSERT_EQ(device.alsa.close(), kWaveNoError);
    EXPECT_EQ(device.alsa.underrunCount(), 1u);
    // What reached the device: a whole-frame start of the first stream, then all of the second.
    const auto bytes = device.file.contents();
    const size_t kept = bytes.size() - second.stream.size();
    ASSERT_TRUE(bytes.size() >= second.stream.size() && kept % 4 == 0 &&
                kept <= first.stream.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + kept, first.stream.begin()));
    EXPECT_TRUE(std::equal(bytes.begin() + kept, bytes.end(), second.stream.begin()));
    // While frames waited for room the worker polled the PCM and asked it about its own
    // descriptors only, never about the wake-up descriptor beside them.
    EXPECT_GT(g_reventsCalls, reventsCalls);
    EXPECT_EQ(g_foreignFds, 0);
}

TEST(AlsaDeviceTest, ALostDeviceHandsBackWhatItHoldsAndRefusesWrites) {
    for (std::atomic<int>* fault : {&g_availError, &g_dropError}) {
        SCOPED_TRACE(fault == &g_availError ? "gone while playing" : "gone at a reset");
        Buffers buffers(3000, 4, 1000);
        Device device("capture");
        buffers.write(device.alsa, 0, 1);
        ASSERT_TRUE(device.log.waitForDone(1, kLimit));
        *fault = -ENODEV;
        if (fault == &g_dropError) {
            EXPECT_EQ(device.alsa.reset(), kWaveNoError);
        }
        // Refused once the worker has met the fault, else handed back when it does.
        device.alsa.prepareHeader(buffers.headers[1]);
        if (device.alsa.write(buffers.headers[1]) == kWaveNoError) {
            ASSERT_TRUE(device.log.waitForDone(2, kLimit));
        }
        EXPECT_TRUE(device.alsa.deviceLost());
        device.alsa.prepareHeader(buffers.headers[2]);
        EXPECT_NE(device.alsa.write(buffers.headers[2]), kWaveNoError);
        EXPECT_EQ(device.alsa.close(), kWaveNoError);
    }
}

TEST(AlsaDeviceTest, RefusesWhatItCannotOpenOrTakeAndStaysUsable) {
    const auto stereo = makeWaveFormat(2, 16, kRate);
    const std::vector<std::tuple<const char*, WaveFormatExtensible, bool>> table = {
        {"stereo_only", makeWaveFormat(6, 16, kRate), true},
        {"missing", stereo, false},
        {"capture", stereo, true}};  // the last with no wake-up descriptor
    for (const auto& [pcm, format, exists] : table) {
        SCOPED_TRACE(pcm);
        CaptureFile file;
        NoticeLog log;
        AlsaWaveOutDevice device(pcm, file.config());
        int (*const saved)() = g_alsaMakeWakeFd;
        g_alsaMakeWakeFd = std::string(pcm) == "capture" ? +[] { return -1; } : saved;
        EXPECT_NE(device.open(format, &NoticeLog::callback, log.instance()), kWaveNoError);
        g_alsaMakeWakeFd = saved;
        WaveHeader h{nullptr, 0, 0, 0, kWhdrPrepared};
        EXPECT_NE(device.write(h), kWaveNoError);
        EXPECT_TRUE(log.all().empty());
        EXPECT_EQ(device.open(stereo, &NoticeLog::callback, log.instance()) == kWaveNoError,
                  exists);
    }
}

TEST(ChannelRouteTest, PlacesEachSystemChannelOnItsSpeakerOrItsFallback) {
    enum : unsigned { FL = SND_CHMAP_FL, FR, RL, RR, FC, LFE, SL, SR, RC, FLC, FRC };
    // mask, the device's map, the device slot of each system channel
    // clang-format off
    const std::vector<std::tuple<uint32_t, std::vector<unsigned>, std::vector<uint8_t>>> table = {
        {0x03, {FR, FL}, {1, 0}}, {0xFF, {FL, FR, RL, RR, FLC, FRC, FC, LFE}, {0, 1, 6, 7, 2, 3, 4, 5}},
        // Fallbacks, on side pairs stated in reverse so that filling in order would differ.
        {0x3F, {FL, FR, FC, LFE, SR, SL}, {0, 1, 2, 3, 5, 4}},
        {0xFF, {FL, FR, RL, RR, FC, LFE, SR, SL}, {0, 1, 4, 5, 2, 3, 7, 6}},
        {0x3F, std::vector<unsigned>(6, SND_CHMAP_UNKNOWN), {0, 1, 2, 3, 4, 5}},
        {0x3F, {FL, FR}, {0, 1, 4, 5, 2, 3}}};  // a map of another width counts as none
    // clang-format on
    for (const auto& [mask, positions, slots] : table) {
        const ChannelRoute route = routeChannels(mask, slots.size(), positions);
        EXPECT_EQ(std::vector<uint8_t>(route.deviceSlot.begin(),
                                       route.deviceSlot.begin() + route.channels),
                  slots)
            << "mask " << mask << ", " << positions.size() << " positions";
    }
}

}  // namespace
