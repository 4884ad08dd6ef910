// The file device with libsndfile's writer: files made through the output module from tone
// sources, read back with libsndfile sample for sample; failing file systems; the paced clock.
#include "output/device_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "engine/audio_module_container.h"
#include "output/device_factory.h"
#include "output/device_sndfile.h"
#include "output/sample_conversion.h"
#include "output/wave_out.h"
#include "synthesis/sines.h"
#include "tests/support/device_harness.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
constexpr auto kLimit = 20s;
constexpr double kSeconds = 0.0123;  // not a whole number of buffers at any format
using Accepts = std::function<bool(const WaveFormatExtensible&)>;

// Refuses the formats a test does not want and hands the rest to the file device.
class Restricted : public WaveOutDevice {
  public:
    Restricted(WaveOutDevice& target, Accepts accepts) : target(target), accepts(accepts) {}
    WaveResult open(const WaveFormatExtensible& f, WaveOutCallback cb, uintptr_t i) override {
        return accepts(f) ? target.open(f, cb, i) : kWaveBadFormat;
    }
    WaveResult prepareHeader(WaveHeader& h) override { return target.prepareHeader(h); }
    WaveResult unprepareHeader(WaveHeader& h) override { return target.unprepareHeader(h); }
    WaveResult write(WaveHeader& h) override { return target.write(h); }
    WaveResult reset() override { return target.reset(); }
    WaveResult close() override { return target.close(); }
    bool mayComeBack() const override { return target.mayComeBack(); }

  private:
    WaveOutDevice& target;
    Accepts accepts;
};

std::unique_ptr<M_Sines> tone(int32_t k) {
    auto sines = std::make_unique<M_Sines>(3);
    sines->setInputValue(0, 311.0 * (k + 1));  // a frequency per channel: a swap shows
    sines->setInputValue(1, 0.97);
    return sines;
}

// Plays one tone per channel into `file` through the module until the file is complete; the
// format opened.
WaveFormatExtensible play(FileWaveOutDevice& file, Accepts accepts, int32_t maxChannels = 8) {
    AudioModuleContainer graph(0, 0);
    M_WaveOut waveOut(3, 4608, std::make_unique<Restricted>(file, accepts));
    std::vector<std::unique_ptr<M_Sines>> tones;
    for (int32_t k = 0; k < 8; ++k) {
        tones.push_back(tone(k));
        add(graph, *tones.back());
        tones.back()->connect(0, k, waveOut);
    }
    add(graph, waveOut);
    graph.prepare(true);
    waveOut.open(maxChannels);
    EXPECT_TRUE(file.waitUntilComplete(kLimit));
    waveOut.close();
    return waveOut.format;
}

// The samples of the tones, left-aligned in 32 bits as sf_readf_int gives them.
std::vector<int> toneSamples(int channels, int bits, int rate, int64_t frames) {
    g_sampleRate = rate;
    std::vector<std::unique_ptr<M_Sines>> tones;
    for (int k = 0; k < channels; ++k) {
        tones.push_back(tone(k));
    }
    std::vector<int> out;
    for (int64_t i = 0; i < frames * channels; ++i) {
        M_Sines& t = *tones[static_cast<size_t>(i % channels)];
        t.process();
        out.push_back(static_cast<int>(static_cast<uint32_t>(sampleValue(bits, t.outputs[0].value))
                                       << (32 - bits)));
    }
    g_sampleRate = kDefaultSampleRate;
    return out;
}

struct ReadBack {
    SF_INFO info = {};
    std::vector<int> samples;
    std::vector<int> channelMap;
};

ReadBack readBack(const std::string& path) {
    ReadBack r;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &r.info);
    if (file == nullptr) {
        ADD_FAILURE() << "libsndfile cannot read " << path;
        return r;
    }
    r.samples.resize(static_cast<size_t>(r.info.frames * r.info.channels));
    sf_readf_int(file, r.samples.data(), r.info.frames);
    r.channelMap.resize(static_cast<size_t>(r.info.channels));
    if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, r.channelMap.data(),
                   static_cast<int>(r.channelMap.size() * sizeof(int))) != SF_TRUE) {
        r.channelMap.clear();
    }
    sf_close(file);
    return r;
}

class FileDeviceTest : public testing::Test {
  protected:
    std::string file(const std::string& name) const { return (dir / name).string(); }
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir = fs::temp_directory_path() / ("tonarium-file-" + std::to_string(getpid()));
};

TEST_F(FileDeviceTest, HoldsExactlyTheFramesOfTheDurationInTheFirstFormatItsKindHolds) {
    struct Case {
        std::string name;
        int major;
        int channels, bits, rate;
    };
    std::vector<Case> table = {
        {"t.flac", SF_FORMAT_FLAC, 8, 24, 192000}, {"t.aiff", SF_FORMAT_AIFF, 8, 32, 192000},
        {"t.caf", SF_FORMAT_CAF, 8, 32, 192000},   {"t.w64", SF_FORMAT_W64, 8, 32, 192000},
        {"t.RF64", SF_FORMAT_RF64, 8, 32, 192000},
    };
    for (const ChannelLayout& layout : kChannelLayouts) {
        for (int bits : kSampleDepthsBits) {
            for (int rate : kSampleRatesHz) {
                table.push_back({"t.wav", SF_FORMAT_WAVEX, layout.channels, bits, rate});
            }
        }
    }
    const std::vector<int> speakers = {SF_CHANNEL_MAP_LEFT,
                                       SF_CHANNEL_MAP_RIGHT,
                                       SF_CHANNEL_MAP_CENTER,
                                       SF_CHANNEL_MAP_LFE,
                                       SF_CHANNEL_MAP_REAR_LEFT,
                                       SF_CHANNEL_MAP_REAR_RIGHT,
                                       SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER,
                                       SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER};
    for (const Case& c : table) {
        SCOPED_TRACE(testing::Message()
                     << c.name << ' ' << c.channels << '/' << c.bits << '/' << c.rate);
        auto device = makeFileWaveOutDevice(file(c.name), FilePacing::Unpaced, kSeconds);
        const auto opened = play(*device, [&](const WaveFormatExtensible& f) {
            return c.name != "t.wav" || (f.nChannels == c.channels && f.wBitsPerSample == c.bits &&
                                         static_cast<int>(f.nSamplesPerSec) == c.rate);
        });
        ASSERT_EQ(device->error(), FileOutputError::None);
        const int64_t frames = std::llround(kSeconds * c.rate);
        EXPECT_EQ(device->framesWritten(), static_cast<uint64_t>(frames));
        const ReadBack r = readBack(file(c.name));
        EXPECT_EQ(r.info.format & SF_FORMAT_TYPEMASK, c.major);
        EXPECT_EQ(r.info.format & SF_FORMAT_SUBMASK, c.bits / 8);  // SF_FORMAT_PCM_16 = 2 ...
        ASSERT_EQ(std::tuple(r.info.frames, r.info.channels, r.info.samplerate),
                  std::tuple(frames, c.channels, c.rate));
        EXPECT_TRUE(r.samples == toneSamples(c.channels, c.bits, c.rate, frames));
        if (c.major == SF_FORMAT_WAVEX) {
            std::vector<int> map;
            for (int bit = 0; bit < 8; ++bit) {
                if ((opened.dwChannelMask >> bit & 1) != 0) {
                    map.push_back(speakers[bit]);
                }
            }
            EXPECT_EQ(r.channelMap, map);
        }
    }
}

// Limits the size of the files this process writes, with SIGXFSZ ignored so that the write
// fails with EFBIG; both are restored afterwards.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved);
        previous = signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved);
        signal(SIGXFSZ, previous);
    }
    rlimit saved{};
    void (*previous)(int) = nullptr;
};

TEST_F(FileDeviceTest, ReportsAFileThatCannotBeWrittenAndKeepsWhatWasWrittenReadable) {
    struct Case {
        std::string path;
        rlim_t sizeLimit;  // 0: none
        FileOutputError error;
    };
    const std::vector<Case> table = {
        {file("no/such/folder/t.wav"), 0, FileOutputError::CannotCreate},
        {dir.string() + "/.", 0, FileOutputError::CannotCreate},
        {"/dev/full", 0, FileOutputError::WriteFailed},
        {file("cut.wav"), 20000, FileOutputError::TooLarge},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.path);
        FileWaveOutDevice device(c.path, std::make_unique<SndfileWriter>(FileKind::Wav),
                                 FilePacing::Unpaced, 1.0);
        {
            std::optional<FileSizeLimit> limit;
            if (c.sizeLimit != 0) {
                limit.emplace(c.sizeLimit);
            }
            play(device, [](const WaveFormatExtensible& f) {
                return f.nChannels == 2 && f.wBitsPerSample == 16 && f.nSamplesPerSec == 96000;
            });
        }
        EXPECT_EQ(device.error(), c.error);
        if (c.sizeLimit != 0) {  // the header tells exactly the frames that made it
            const ReadBack r = readBack(c.path);
            EXPECT_TRUE(r.info.frames > 0 && r.info.frames < 96000);
            EXPECT_EQ(static_cast<uint64_t>(r.info.frames), device.framesWritten());
            EXPECT_TRUE(r.samples == toneSamples(2, 16, 96000, r.info.frames));
        }
    }
    for (const char* path : {"a.mp3", "wav", ".wav", "dir.wav/take", "i.wav.", "j.aif"}) {
        EXPECT_EQ(fileKindOfPath(path), std::nullopt) << path;
    }
    EXPECT_EQ(fileKindOfPath("x.y.FlaC"), FileKind::Flac);
    EXPECT_THROW(makeFileWaveOutDevice("t.wav", FilePacing::Unpaced, std::nullopt),
                 std::invalid_argument);
    EXPECT_THROW(makeFileWaveOutDevice("t.wav", FilePacing::Unpaced, NAN), std::invalid_argument);
}

TEST_F(FileDeviceTest, PacedNoticesFollowTheClockAndAResetDropsWhatWasNotHeard) {
    constexpr uint32_t kRate = 96000;
    auto device = makeFileWaveOutDevice(file("paced.wav"), FilePacing::Paced, std::nullopt);
    NoticeLog log;
    auto floats = makeWaveFormat(2, 0x3, 16, kRate);
    floats.SubFormat.Data1 = 3;  // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
    EXPECT_EQ(device->open(floats, &NoticeLog::callback, log.instance()), kWaveBadFormat);
    ASSERT_EQ(device->open(makeWaveFormat(2, 0x3, 16, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    // Three buffers of 50 ms, then one of ten seconds; each frame holds its buffer's number.
    const std::vector<uint32_t> frames = {4800, 4800, 4800, 10 * kRate};
    std::vector<std::vector<int16_t>> data;
    std::vector<WaveHeader> headers(frames.size());
    const auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < frames.size(); ++i) {
        data.emplace_back(frames[i] * 2, static_cast<int16_t>(i + 1));
        headers[i] = {reinterpret_cast<char*>(data[i].data()), frames[i] * 4};
        device->prepareHeader(headers[i]);
        ASSERT_EQ(device->write(headers[i]), kWaveNoError);
    }
    EXPECT_LE(log.doneCount(), 1u);  // a write never finishes a buffer before its time
    ASSERT_TRUE(log.waitForDone(3, kLimit));
    EXPECT_EQ(device->reset(), kWaveNoError);
    const auto done = log.doneNotices();
    ASSERT_EQ(done.size(), 4u);  // the long one handed back by the reset
    for (size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].header, &headers[i]);
        EXPECT_EQ(done[i].flags & (kWhdrDone | kWhdrInQueue), kWhdrDone);
        if (i < 3) {
            EXPECT_GE(done[i].time - start, 50ms * (i + 1));
        }
    }
    EXPECT_EQ(device->close(), kWaveNoError);
    const ReadBack r = readBack(file("paced.wav"));
    ASSERT_EQ(r.info.frames, 3 * 4800);
    for (size_t i = 0; i < r.samples.size(); ++i) {
        ASSERT_EQ(r.samples[i], static_cast<int>((i / (2 * 4800) + 1) << 16)) << i;
    }
}

}  // namespace
