// The ALSA device layer against alsa-lib's own plugins, with no sound card: `null` consumes
// whatever it is given at once, and `file` over it writes the exact bytes that reach the device.
// Device faults are injected by standing in for a few alsa-lib calls.
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "output/device_alsa.h"
#include "output/device_alsa_channels.h"
#include "tests/support/device_harness.h"

// alsa-lib's null plugin does not free the channel map of its configuration when it closes.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libasound.so\n";
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
constexpr auto kLimit = 10s;
constexpr uint32_t kRate = 48000;

// The next `count` calls of a stand-in fail with `error`.
struct Fault {
    std::atomic<int> count{0};
    std::atomic<int> error{0};
    void arm(int e) {
        error = e;
        count = 1;
    }
    bool fires() { return count.load() > 0 && count.fetch_sub(1) > 0; }
};
Fault g_availFault;
Fault g_dropFault;
std::mutex g_fdMutex;
std::set<int> g_pcmFds;              // every descriptor that a PCM gave for polling
std::atomic<int> g_reventsCalls{0};  // calls that asked a PCM what its descriptors' events mean
std::atomic<int> g_foreignFds{0};    // descriptors in those calls that no PCM gave

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {
snd_pcm_sframes_t snd_pcm_avail(snd_pcm_t* pcm) {
    static const auto next = real<snd_pcm_sframes_t (*)(snd_pcm_t*)>("snd_pcm_avail");
    return g_availFault.fires() ? g_availFault.error.load() : next(pcm);
}
int snd_pcm_drop(snd_pcm_t* pcm) {
    static const auto next = real<int (*)(snd_pcm_t*)>("snd_pcm_drop");
    return g_dropFault.fires() ? g_dropFault.error.load() : next(pcm);
}
int snd_pcm_poll_descriptors(snd_pcm_t* pcm, pollfd* fds, unsigned space) {
    static const auto next =
        real<int (*)(snd_pcm_t*, pollfd*, unsigned)>("snd_pcm_poll_descriptors");
    const int n = next(pcm, fds, space);
    std::lock_guard lock(g_fdMutex);
    for (int i = 0; i < n; ++i) {
        g_pcmFds.insert(fds[i].fd);
    }
    return n;
}
int snd_pcm_poll_descriptors_revents(snd_pcm_t* pcm, pollfd* fds, unsigned n, unsigned short* ev) {
    static const auto next = real<int (*)(snd_pcm_t*, pollfd*, unsigned, unsigned short*)>(
        "snd_pcm_poll_descriptors_revents");
    ++g_reventsCalls;
    {
        std::lock_guard lock(g_fdMutex);
        for (unsigned i = 0; i < n; ++i) {
            g_foreignFds += g_pcmFds.count(fds[i].fd) == 0 ? 1 : 0;
        }
    }
    return next(pcm, fds, n, ev);
}
}

namespace {

// "capture" writes a raw file in ALSA's default channel order, "capture_listed" the same with a
// device map in the system's order; "stereo_only" accepts two channels only.
class CaptureFile {
  public:
    CaptureFile() {
        static std::atomic<int> counter{0};
        path = std::filesystem::temp_directory_path() /
               ("tonarium-alsa-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    }
    ~CaptureFile() { std::filesystem::remove(path); }
    std::vector<char> contents() const {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string config() const {
        const std::string file = "file \"" + path.string() + "\" format raw }\n";
        return "pcm.capture { type file slave.pcm { type null } " + file +
               "pcm.capture_listed { type file slave.pcm { type null chmap [ "
               "\"FL,FR,FC,LFE,RL,RR\" ] } " +
               file + "pcm.stereo_only { type plug slave { pcm { type null } channels 2 } }\n";
    }

  private:
    std::filesystem::path path;
};

// Frames whose every byte differs from its neighbours', so that a lost, doubled, shifted or
// misplaced sample shows.
std::vector<char> makeStream(size_t frames, size_t frameBytes, size_t first = 0) {
    std::vector<char> out(frames * frameBytes);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] =
            static_cast<char>((first * frameBytes + i) * 131 / frameBytes + i % frameBytes * 17);
    }
    return out;
}

// Buffers cut from a stream, each with its own memory and header.
struct Buffers {
    Buffers(const std::vector<char>& stream, size_t bufferBytes) {
        for (size_t p = 0; p < stream.size(); p += bufferBytes) {
            memory.emplace_back(stream.begin() + p,
                                stream.begin() + std::min(p + bufferBytes, stream.size()));
        }
        headers.resize(memory.size());
        for (size_t i = 0; i < memory.size(); ++i) {
            headers[i].lpData = memory[i].data();
            headers[i].dwBufferLength = static_cast<uint32_t>(memory[i].size());
        }
    }
    void writeAll(WaveOutDevice& device, size_t from = 0, size_t to = SIZE_MAX) {
        for (size_t i = from; i < std::min(to, headers.size()); ++i) {
            ASSERT_EQ(device.prepareHeader(headers[i]), kWaveNoError);
            ASSERT_EQ(device.write(headers[i]), kWaveNoError);
        }
    }
    std::vector<std::vector<char>> memory;
    std::vector<WaveHeader> headers;
};

TEST(AlsaDeviceTest, DeliversEveryFrameOnceInTheDeviceOrderAndNoticesInTheOrderWritten) {
    struct Case {
        const char* pcm;
        uint16_t channels;
        uint32_t mask;
        uint16_t bits;
        std::vector<unsigned> order;  // the system channel that each device slot plays
    };
    const std::vector<Case> table = {
        {"capture", 2, 0x03, 16, {0, 1}},
        {"capture", 2, 0x03, 24, {0, 1}},
        {"capture", 4, 0x33, 32, {0, 1, 2, 3}},
        {"capture", 6, 0x3F, 16, {0, 1, 4, 5, 2, 3}},
        {"capture", 6, 0x3F, 24, {0, 1, 4, 5, 2, 3}},
        {"capture", 8, 0xFF, 32, {0, 1, 4, 5, 2, 3, 6, 7}},
        {"capture", 8, 0xFF, 16, {0, 1, 4, 5, 2, 3, 6, 7}},
        {"capture_listed", 6, 0x3F, 16, {0, 1, 2, 3, 4, 5}},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(testing::Message() << c.pcm << ", " << c.channels << " channels, " << c.bits);
        const auto format = makeWaveFormat(c.channels, c.mask, c.bits, kRate);
        const size_t bufferBytes = 4608;
        const auto stream = makeStream(8 * bufferBytes / format.nBlockAlign, format.nBlockAlign);
        // Eight buffers through three headers, each written again once it is finished.
        Buffers buffers(std::vector<char>(stream.begin(), stream.begin() + 3 * bufferBytes),
                        bufferBytes);
        CaptureFile file;
        NoticeLog log;
        AlsaWaveOutDevice device(c.pcm, file.config());
        ASSERT_EQ(device.open(format, &NoticeLog::callback, log.instance()), kWaveNoError);
        for (size_t i = 0; i < 8; ++i) {
            WaveHeader& h = buffers.headers[i % 3];
            if (i >= 3) {
                ASSERT_TRUE(log.waitForDone(i - 2, kLimit));
                ASSERT_EQ(device.unprepareHeader(h), kWaveNoError);
            }
            std::copy_n(stream.begin() + i * bufferBytes, bufferBytes, h.lpData);
            ASSERT_EQ(device.prepareHeader(h), kWaveNoError);
            ASSERT_EQ(device.write(h), kWaveNoError);
        }
        ASSERT_TRUE(log.waitForDone(8, kLimit));
        ASSERT_EQ(device.close(), kWaveNoError);

        const auto notices = log.all();
        ASSERT_EQ(notices.size(), 10u);
        EXPECT_EQ(notices.front().message, kWomOpen);
        EXPECT_EQ(notices.back().message, kWomClose);
        for (size_t i = 0; i < 8; ++i) {
            EXPECT_EQ(notices[i + 1].header, &buffers.headers[i % 3]) << i;
            EXPECT_EQ(notices[i + 1].flags, kWhdrPrepared | kWhdrDone) << i;
        }
        const unsigned sampleBytes = c.bits / 8u;
        std::vector<char> expected(stream.size());
        for (size_t p = 0; p < stream.size(); p += sampleBytes) {
            const size_t slot = p / sampleBytes % c.channels;
            std::copy_n(stream.begin() + p + (c.order[slot] - slot) * sampleBytes, sampleBytes,
                        expected.begin() + p);
        }
        EXPECT_TRUE(file.contents() == expected);
    }
}

TEST(AlsaDeviceTest, ResetHandsEveryBufferBackAtOnceAndPlaysOnFromACleanStart) {
    const auto before = makeStream(kRate, 4);
    const auto after = makeStream(2000, 4, 777);
    Buffers first(before, 960 * 4);
    Buffers second(after, 1000 * 4);
    CaptureFile file;
    NoticeLog log;
    AlsaWaveOutDevice device("capture", file.config());
    ASSERT_EQ(device.open(makeWaveFormat(2, 0x03, 16, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    first.writeAll(device);
    // The worker acknowledges each reset: one that waits out its time-out (150 ms) shows in the
    // sum, whether it comes on a playing device or an idle one.
    auto spent = Clock::duration::zero();
    for (int i = 0; i < 4; ++i) {
        const auto start = Clock::now();
        ASSERT_EQ(device.reset(), kWaveNoError);
        spent += Clock::now() - start;
        ASSERT_EQ(log.doneCount(), first.headers.size());  // handed back before reset returned
    }
    EXPECT_LT(spent, 300ms);
    const auto done = log.doneNotices();
    for (size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].header, &first.headers[i]);
    }
    EXPECT_FALSE(device.deviceLost());

    second.writeAll(device);
    ASSERT_TRUE(log.waitForDone(first.headers.size() + 2, kLimit));
    ASSERT_EQ(device.close(), kWaveNoError);
    // What reached the device: a whole-frame start of the first stream, then all of the second.
    const auto bytes = file.contents();
    ASSERT_GE(bytes.size(), after.size());
    const size_t kept = bytes.size() - after.size();
    ASSERT_TRUE(kept % 4 == 0 && kept <= before.size());
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + kept, before.begin()));
    EXPECT_TRUE(std::equal(bytes.begin() + kept, bytes.end(), after.begin()));
}

TEST(AlsaDeviceTest, PlaysAStreamLongerThanItsRingOnAcrossAnUnderrun) {
    const auto stream = makeStream(kRate, 8);
    Buffers buffers(stream, 960 * 8);
    CaptureFile file;
    NoticeLog log;
    AlsaWaveOutDevice device("capture", file.config());
    ASSERT_EQ(device.open(makeWaveFormat(2, 0x03, 32, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    const int callsBefore = g_reventsCalls;
    buffers.writeAll(device, 0, 25);
    ASSERT_TRUE(log.waitForDone(25, kLimit));
    g_availFault.arm(-EPIPE);
    buffers.writeAll(device, 25);
    ASSERT_TRUE(log.waitForDone(50, kLimit));
    EXPECT_FALSE(device.deviceLost());
    ASSERT_EQ(device.close(), kWaveNoError);
    EXPECT_EQ(device.underrunCount(), 1u);
    EXPECT_TRUE(file.contents() == stream);
    // While frames waited for room, the worker polled the PCM and asked it about its own
    // descriptors, never about its wake-up descriptor.
    EXPECT_GT(g_reventsCalls, callsBefore);
    EXPECT_EQ(g_foreignFds, 0);
}

TEST(AlsaDeviceTest, ALostDeviceHandsBackWhatItHoldsAndRefusesWrites) {
    for (Fault* fault : {&g_availFault, &g_dropFault}) {
        SCOPED_TRACE(fault == &g_availFault ? "gone while playing" : "gone at a reset");
        NoticeLog log;
        Buffers buffers(makeStream(3000, 4), 1000 * 4);
        AlsaWaveOutDevice device("null");
        ASSERT_EQ(
            device.open(makeWaveFormat(2, 0x03, 16, kRate), &NoticeLog::callback, log.instance()),
            kWaveNoError);
        buffers.writeAll(device, 0, 1);
        ASSERT_TRUE(log.waitForDone(1, kLimit));
        fault->arm(-ENODEV);
        if (fault == &g_dropFault) {
            EXPECT_EQ(device.reset(), kWaveNoError);
        }
        // Refused once the worker has met the fault, else handed back when it does.
        device.prepareHeader(buffers.headers[1]);
        if (device.write(buffers.headers[1]) == kWaveNoError) {
            ASSERT_TRUE(log.waitForDone(2, kLimit));
        }
        EXPECT_TRUE(device.deviceLost());
        device.prepareHeader(buffers.headers[2]);
        EXPECT_NE(device.write(buffers.headers[2]), kWaveNoError);
        EXPECT_EQ(device.close(), kWaveNoError);
    }
}

TEST(AlsaDeviceTest, RefusesWhatItCannotOpenOrTakeAndStaysUsable) {
    const auto stereo = makeWaveFormat(2, 0x03, 16, kRate);
    auto depth20 = stereo;
    depth20.wBitsPerSample = depth20.Samples.wValidBitsPerSample = 20;
    depth20.nBlockAlign = 5;
    auto floats = stereo;
    floats.SubFormat.Data1 = 3;  // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
    const std::vector<std::pair<const char*, WaveFormatExtensible>> table = {
        {"stereo_only", makeWaveFormat(6, 0x3F, 16, kRate)},
        {"missing", stereo},
        {"stereo_only", depth20},
        {"stereo_only", floats},
        {"wake-up descriptor fails", stereo},
    };
    CaptureFile file;
    for (const auto& [pcm, format] : table) {
        SCOPED_TRACE(pcm);
        const bool noWakeFd = std::string(pcm) == "wake-up descriptor fails";
        NoticeLog log;
        AlsaWaveOutDevice device(noWakeFd ? "capture" : pcm, file.config());
        int (*const saved)() = g_alsaMakeWakeFd;
        if (noWakeFd) {
            g_alsaMakeWakeFd = [] { return -1; };
        }
        EXPECT_NE(device.open(format, &NoticeLog::callback, log.instance()), kWaveNoError);
        g_alsaMakeWakeFd = saved;
        WaveHeader h;
        h.dwFlags = kWhdrPrepared;
        EXPECT_NE(device.write(h), kWaveNoError);
        EXPECT_TRUE(log.all().empty());
        EXPECT_EQ(device.open(stereo, &NoticeLog::callback, log.instance()) == kWaveNoError,
                  std::string(pcm) != "missing");
    }
    // Misuse of an open device, then of a closed one.
    std::vector<char> memory(400);
    WaveHeader h{memory.data(), 400};
    NoticeLog log;
    AlsaWaveOutDevice device("null");
    ASSERT_EQ(device.open(stereo, &NoticeLog::callback, log.instance()), kWaveNoError);
    EXPECT_EQ(device.open(stereo, &NoticeLog::callback, log.instance()), kWaveAllocated);
    EXPECT_EQ(device.write(h), kWaveUnprepared);
    ASSERT_EQ(device.close(), kWaveNoError);
    EXPECT_NE(device.close(), kWaveNoError);
    h.dwFlags = kWhdrPrepared;
    EXPECT_NE(device.write(h), kWaveNoError);
    EXPECT_EQ(log.all().size(), 2u);  // kWomOpen and kWomClose only
}

TEST(ChannelRouteTest, PlacesEachSystemChannelOnItsSpeakerOrItsFallback) {
    struct Case {
        uint32_t mask;
        std::vector<unsigned> device;  // the device's map; empty: ALSA's default order
        std::vector<uint8_t> slots;    // the device slot of each system channel
    };
    const unsigned FL = SND_CHMAP_FL, FR = SND_CHMAP_FR, FC = SND_CHMAP_FC, LFE = SND_CHMAP_LFE,
                   RL = SND_CHMAP_RL, RR = SND_CHMAP_RR, SL = SND_CHMAP_SL, SR = SND_CHMAP_SR;
    const std::vector<Case> table = {
        {0x03, {}, {0, 1}},
        {0x33, {}, {0, 1, 2, 3}},
        {0x3F, {}, {0, 1, 4, 5, 2, 3}},
        {0xFF, {}, {0, 1, 4, 5, 2, 3, 6, 7}},
        {0x03, {FR, FL}, {1, 0}},
        {0xFF, {FL, FR, RL, RR, SND_CHMAP_FLC, SND_CHMAP_FRC, FC, LFE}, {0, 1, 6, 7, 2, 3, 4, 5}},
        // Fallbacks, on side pairs stated in reverse so that filling in order would differ.
        {0x3F, {FL, FR, FC, LFE, SR, SL}, {0, 1, 2, 3, 5, 4}},
        {0xFF, {FL, FR, RL, RR, FC, LFE, SR, SL}, {0, 1, 4, 5, 2, 3, 7, 6}},
        {0x3F, std::vector<unsigned>(6, SND_CHMAP_UNKNOWN), {0, 1, 2, 3, 4, 5}},
        {0x3F, {FL, FR}, {0, 1, 4, 5, 2, 3}},  // a map of another width counts as none
    };
    for (const Case& c : table) {
        const ChannelRoute route = routeChannels(c.mask, c.slots.size(), c.device);
        EXPECT_EQ(std::vector<uint8_t>(route.deviceSlot.begin(),
                                       route.deviceSlot.begin() + route.channels),
                  c.slots)
            << "mask " << c.mask << ", " << c.device.size() << " positions";
    }
}

}  // namespace
