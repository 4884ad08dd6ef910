// The file device with libsndfile's writer: files made through the real output module and tone
// sources, read back with libsndfile and compared sample for sample; failures of the file
// system; the paced clock and reset. Every wait is bounded.
#include "output/device_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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
constexpr int32_t kBufferBytes = 4608;  // several buffers per file at every frame size
constexpr double kSeconds = 0.0123;     // not a whole number of buffers at any format

using FormatFilter = std::function<bool(const WaveFormatExtensible&)>;

// Refuses the formats the test does not want and hands everything else to the file device,
// which the test keeps so that it can wait on it after the module is gone.
class Restricted : public WaveOutDevice {
  public:
    Restricted(WaveOutDevice& target, FormatFilter accepts)
        : target(target), accepts(std::move(accepts)) {}
    WaveResult open(const WaveFormatExtensible& f, WaveOutCallback cb, uintptr_t i) override {
        return accepts(f) ? target.open(f, cb, i) : kWaveBadFormat;
    }
    WaveResult prepareHeader(WaveHeader& h) override { return target.prepareHeader(h); }
    WaveResult unprepareHeader(WaveHeader& h) override { return target.unprepareHeader(h); }
    WaveResult write(WaveHeader& h) override { return target.write(h); }
    WaveResult reset() override { return target.reset(); }
    WaveResult close() override { return target.close(); }

  private:
    WaveOutDevice& target;
    FormatFilter accepts;
};

class TempDir {
  public:
    TempDir() {
        static std::atomic<int> counter{0};
        path = fs::temp_directory_path() /
               ("tonarium-file-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        fs::create_directories(path);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return (path / name).string(); }
    fs::path path;
};

struct ReadBack {
    SF_INFO info = {};
    std::vector<int> samples;     // left-aligned 32-bit, as sf_readf_int gives them
    std::vector<int> channelMap;  // empty where the file has none
};

ReadBack readBack(const std::string& path) {
    ReadBack r;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &r.info);
    if (file == nullptr) {
        ADD_FAILURE() << "libsndfile cannot read " << path << ": " << sf_strerror(nullptr);
        return r;
    }
    r.samples.resize(static_cast<size_t>(r.info.frames * r.info.channels));
    EXPECT_EQ(sf_readf_int(file, r.samples.data(), r.info.frames), r.info.frames);
    std::vector<int> map(static_cast<size_t>(r.info.channels));
    if (sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(),
                   static_cast<int>(map.size() * sizeof(int))) == SF_TRUE) {
        r.channelMap = map;
    }
    sf_close(file);
    return r;
}

// One tone source per input of the output module, each at a frequency of its own, so that a
// channel out of place shows.
struct ToneGraph {
    explicit ToneGraph(WaveOutDevice& file, FormatFilter accepts)
        : waveOut(3, kBufferBytes, std::make_unique<Restricted>(file, std::move(accepts))) {
        for (int32_t k = 0; k < 8; ++k) {
            tones.push_back(makeTone(k));
            add(container, *tones.back());
            tones.back()->connect(0, k, waveOut);
        }
        add(container, waveOut);
        container.prepare(true);
    }

    static std::unique_ptr<M_Sines> makeTone(int32_t k) {
        auto tone = std::make_unique<M_Sines>(3);
        tone->setInputValue(0, 311.0 * (k + 1));
        tone->setInputValue(1, 0.97);
        return tone;
    }

    // The samples the module renders for `frames` frames at `bits`, each left-aligned in 32 bits.
    static std::vector<int> expected(int32_t channels, int32_t bits, int32_t rate, int64_t frames) {
        g_sampleRate = rate;
        std::vector<std::unique_ptr<M_Sines>> fresh;
        for (int32_t k = 0; k < channels; ++k) {
            fresh.push_back(makeTone(k));
        }
        std::vector<int> out;
        for (int64_t i = 0; i < frames; ++i) {
            for (auto& tone : fresh) {
                tone->process();
                out.push_back(static_cast<int>(
                    static_cast<uint32_t>(sampleValue(bits, tone->outputs[0].value))
                    << (32 - bits)));
            }
        }
        return out;
    }

    AudioModuleContainer container{0, 0};
    std::vector<std::unique_ptr<M_Sines>> tones;
    M_WaveOut waveOut;
};

std::vector<int> channelMapOfMask(uint32_t mask) {
    const std::vector<int> speakers = {SF_CHANNEL_MAP_LEFT,
                                       SF_CHANNEL_MAP_RIGHT,
                                       SF_CHANNEL_MAP_CENTER,
                                       SF_CHANNEL_MAP_LFE,
                                       SF_CHANNEL_MAP_REAR_LEFT,
                                       SF_CHANNEL_MAP_REAR_RIGHT,
                                       SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER,
                                       SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER};
    std::vector<int> map;
    for (size_t bit = 0; bit < speakers.size(); ++bit) {
        if ((mask & (1u << bit)) != 0) {
            map.push_back(speakers[bit]);
        }
    }
    return map;
}

class FileDeviceTest : public testing::Test {
  protected:
    void TearDown() override { g_sampleRate = kDefaultSampleRate; }

    // Plays into `path` through the module until the device completes; returns the format the
    // module opened.
    WaveFormatExtensible render(const std::string& path, int32_t maxChannels,
                                FormatFilter accepts) {
        auto file = makeFileWaveOutDevice(path, FilePacing::Unpaced, kSeconds);
        WaveFormatExtensible opened{};
        {
            ToneGraph graph(*file, std::move(accepts));
            EXPECT_TRUE(graph.waveOut.open(maxChannels));
            opened = graph.waveOut.format;
            EXPECT_TRUE(file->waitUntilComplete(kLimit));
            graph.waveOut.close();
        }
        EXPECT_EQ(file->error(), FileOutputError::None);
        EXPECT_EQ(file->framesWritten(),
                  static_cast<uint64_t>(std::llround(kSeconds * opened.nSamplesPerSec)));
        return opened;
    }

    // Checks the file against the samples the module makes in `format`.
    void expectExactFile(const std::string& path, const WaveFormatExtensible& format,
                         int majorFormat) {
        const ReadBack r = readBack(path);
        const int32_t rate = static_cast<int32_t>(format.nSamplesPerSec);
        const int64_t frames = std::llround(kSeconds * rate);
        EXPECT_EQ(r.info.frames, frames);
        EXPECT_EQ(r.info.channels, format.nChannels);
        EXPECT_EQ(r.info.samplerate, rate);
        EXPECT_EQ(r.info.format & SF_FORMAT_TYPEMASK, majorFormat);
        const int subtype = format.wBitsPerSample == 16   ? SF_FORMAT_PCM_16
                            : format.wBitsPerSample == 24 ? SF_FORMAT_PCM_24
                                                          : SF_FORMAT_PCM_32;
        EXPECT_EQ(r.info.format & SF_FORMAT_SUBMASK, subtype);
        const std::vector<int> expected =
            ToneGraph::expected(format.nChannels, format.wBitsPerSample, rate, frames);
        ASSERT_EQ(r.samples.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            ASSERT_EQ(r.samples[i], expected[i])
                << "sample " << i << " (frame " << i / format.nChannels << ")";
        }
    }

    TempDir dir;
};

TEST_F(FileDeviceTest, AWavFileHoldsExactlyTheFramesOfTheDurationAtEveryDepthRateAndLayout) {
    for (const ChannelLayout& layout : kChannelLayouts) {
        for (int32_t bits : kSampleDepthsBits) {
            for (int32_t rate : kSampleRatesHz) {
                SCOPED_TRACE(testing::Message() << layout.channels << " channels, " << bits
                                                << " bits, " << rate << " Hz");
                const std::string path = dir.file("tone.wav");
                const WaveFormatExtensible opened =
                    render(path, 8, [&](const WaveFormatExtensible& f) {
                        return f.nChannels == layout.channels && f.wBitsPerSample == bits &&
                               static_cast<int32_t>(f.nSamplesPerSec) == rate;
                    });
                ASSERT_EQ(opened.nChannels, layout.channels);
                // Readers see WAVE_FORMAT_EXTENSIBLE with the module's channel mask.
                expectExactFile(path, opened, SF_FORMAT_WAVEX);
                EXPECT_EQ(readBack(path).channelMap, channelMapOfMask(layout.channelMask));
            }
        }
    }
}

TEST_F(FileDeviceTest, EveryKindTakesTheFirstFormatItHoldsAndStoresItsSamplesExactly) {
    struct Case {
        std::string name;
        int majorFormat;
        int bits;  // what the module's search ends on for 7.1
    };
    const std::vector<Case> table = {
        {"t.WAV", SF_FORMAT_WAVEX, 32}, {"t.flac", SF_FORMAT_FLAC, 24},
        {"t.aiff", SF_FORMAT_AIFF, 32}, {"t.caf", SF_FORMAT_CAF, 32},
        {"t.w64", SF_FORMAT_W64, 32},   {"t.rf64", SF_FORMAT_RF64, 32},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        const WaveFormatExtensible opened =
            render(path, 8, [](const WaveFormatExtensible&) { return true; });
        EXPECT_EQ(opened.nChannels, 8);
        EXPECT_EQ(opened.nSamplesPerSec, 192000u);
        EXPECT_EQ(opened.wBitsPerSample, c.bits);
        expectExactFile(path, opened, c.majorFormat);
    }
}

TEST_F(FileDeviceTest, TheExtensionPicksTheKindWithoutRegardToCase) {
    const std::vector<std::pair<std::string, std::optional<FileKind>>> table = {
        {"a.wav", FileKind::Wav},
        {"dir/b.WaV", FileKind::Wav},
        {"c.FLAC", FileKind::Flac},
        {"d.aiff", FileKind::Aiff},
        {"e.caf", FileKind::Caf},
        {"f.W64", FileKind::W64},
        {"g.rf64", FileKind::Rf64},
        {"x.y.flac", FileKind::Flac},
        {"h.mp3", std::nullopt},
        {"wav", std::nullopt},
        {".wav", std::nullopt},
        {"dir.wav/take", std::nullopt},
        {"dir.wav\\take", std::nullopt},
        {"i.wav.", std::nullopt},
        {"", std::nullopt},
        {"j.aif", std::nullopt},
    };
    for (const auto& [path, kind] : table) {
        EXPECT_EQ(fileKindOfPath(path), kind) << path;
    }
    EXPECT_EQ(acceptedFileExtensions(),
              (std::vector<std::string>{".wav", ".flac", ".aiff", ".caf", ".w64", ".rf64"}));
    EXPECT_THROW(makeFileWaveOutDevice("t.mp3", FilePacing::Paced, std::nullopt),
                 std::invalid_argument);
    EXPECT_THROW(makeFileWaveOutDevice("t.wav", FilePacing::Unpaced, std::nullopt),
                 std::invalid_argument);
    EXPECT_THROW(makeFileWaveOutDevice("t.wav", FilePacing::Unpaced, -1.0), std::invalid_argument);
    EXPECT_THROW(makeFileWaveOutDevice("t.wav", FilePacing::Unpaced, NAN), std::invalid_argument);
}

// Limits the size of the files this process writes, with SIGXFSZ ignored so that the write
// fails with EFBIG instead of ending the process; both are restored afterwards.
class FileSizeLimit {
  public:
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

  private:
    rlimit saved{};
    void (*previous)(int) = nullptr;
};

TEST_F(FileDeviceTest, AFileThatCannotBeWrittenIsReportedAndWhatWasWrittenStaysReadable) {
    struct Case {
        std::string what;
        std::string path;
        rlim_t sizeLimit;  // 0: none
        bool opens;
        FileOutputError error;
    };
    const std::vector<Case> table = {
        {"missing folder", dir.file("no/such/folder/t.wav"), 0, false,
         FileOutputError::CannotCreate},
        {"a folder in the way", dir.path.string() + "/.", 0, false, FileOutputError::CannotCreate},
        {"full disk", "/dev/full", 0, false, FileOutputError::WriteFailed},
        {"size limit while writing", dir.file("cut.wav"), 20000, true, FileOutputError::TooLarge},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.what);
        // The folder case names its kind through a writer made directly: "." has no extension.
        auto file = std::make_unique<FileWaveOutDevice>(
            c.path, std::make_unique<SndfileWriter>(FileKind::Wav), FilePacing::Unpaced, 1.0);
        std::optional<FileSizeLimit> limit;
        if (c.sizeLimit != 0) {
            limit.emplace(c.sizeLimit);
        }
        {
            ToneGraph graph(*file, [](const WaveFormatExtensible& f) {
                return f.nChannels == 2 && f.wBitsPerSample == 16 && f.nSamplesPerSec == 96000;
            });
            EXPECT_EQ(graph.waveOut.open(2), c.opens);
            EXPECT_TRUE(file->waitUntilComplete(kLimit));
            graph.waveOut.close();
        }
        limit.reset();
        EXPECT_EQ(file->error(), c.error);
        if (c.opens) {
            // Writing stopped, and the header tells exactly the frames that made it.
            const ReadBack r = readBack(c.path);
            EXPECT_GT(r.info.frames, 0);
            EXPECT_LT(r.info.frames, 96000);
            EXPECT_EQ(static_cast<uint64_t>(r.info.frames), file->framesWritten());
            EXPECT_EQ(r.samples, ToneGraph::expected(2, 16, 96000, r.info.frames));
        }
    }
}

// Buffers of `frames` stereo 16-bit frames, each frame holding its buffer's number.
struct Buffers {
    explicit Buffers(const std::vector<uint32_t>& frames) : headers(frames.size()) {
        for (size_t i = 0; i < frames.size(); ++i) {
            data.emplace_back(frames[i] * 2, static_cast<int16_t>(i + 1));
            headers[i].lpData = reinterpret_cast<char*>(data[i].data());
            headers[i].dwBufferLength = frames[i] * 4;
        }
    }
    std::vector<std::vector<int16_t>> data;
    std::vector<WaveHeader> headers;
};

TEST_F(FileDeviceTest, PacedNoticesFollowTheClockAndLandInTheFileInOrder) {
    constexpr uint32_t kRate = 96000;
    constexpr uint32_t kFrames = 4800;  // 50 ms
    const std::string path = dir.file("paced.wav");
    auto file = makeFileWaveOutDevice(path, FilePacing::Paced, std::nullopt);
    NoticeLog log;
    ASSERT_EQ(file->open(makeWaveFormat(2, 0x3, 16, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    Buffers buffers({kFrames, kFrames, kFrames});
    const auto start = std::chrono::steady_clock::now();
    for (WaveHeader& h : buffers.headers) {
        file->prepareHeader(h);
        ASSERT_EQ(file->write(h), kWaveNoError);
    }
    EXPECT_LE(log.doneCount(), 1u);  // a write never finishes a buffer before its time
    ASSERT_TRUE(log.waitForDone(3, kLimit));
    const auto notices = log.doneNotices();
    for (size_t i = 0; i < notices.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(notices[i].header, &buffers.headers[i]);
        EXPECT_EQ(notices[i].flags & (kWhdrDone | kWhdrInQueue), kWhdrDone);
        EXPECT_GE(notices[i].time - start, std::chrono::milliseconds(50 * (i + 1)));
    }
    EXPECT_EQ(file->close(), kWaveNoError);
    EXPECT_TRUE(file->waitUntilComplete(0ms));

    const ReadBack r = readBack(path);
    ASSERT_EQ(r.info.frames, 3 * kFrames);
    for (size_t i = 0; i < r.samples.size(); ++i) {
        ASSERT_EQ(r.samples[i], static_cast<int>((i / (2 * kFrames) + 1) << 16)) << i;
    }
}

TEST_F(FileDeviceTest, AResetHandsBackTheUnplayedBuffersAtOnceAndTheFileKeepsWhatWasHeard) {
    constexpr uint32_t kRate = 96000;
    const std::string path = dir.file("reset.wav");
    auto file = makeFileWaveOutDevice(path, FilePacing::Paced, std::nullopt);
    NoticeLog log;
    ASSERT_EQ(file->open(makeWaveFormat(2, 0x3, 16, kRate), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    // A short buffer, then two that take ten seconds each to play.
    Buffers buffers({960, 10 * kRate, 10 * kRate});
    for (WaveHeader& h : buffers.headers) {
        file->prepareHeader(h);
        ASSERT_EQ(file->write(h), kWaveNoError);
    }
    ASSERT_TRUE(log.waitForDone(1, kLimit));
    EXPECT_EQ(file->reset(), kWaveNoError);
    EXPECT_EQ(log.doneCount(), 3u);  // handed back before reset returned
    const auto notices = log.doneNotices();
    for (size_t i = 0; i < notices.size(); ++i) {
        EXPECT_EQ(notices[i].header, &buffers.headers[i]);
        EXPECT_EQ(notices[i].flags & (kWhdrDone | kWhdrInQueue), kWhdrDone);
    }
    // The device stays open and plays on after a reset.
    file->unprepareHeader(buffers.headers[0]);
    file->prepareHeader(buffers.headers[0]);
    ASSERT_EQ(file->write(buffers.headers[0]), kWaveNoError);
    ASSERT_TRUE(log.waitForDone(4, kLimit));
    EXPECT_EQ(file->close(), kWaveNoError);

    const ReadBack r = readBack(path);
    ASSERT_EQ(r.info.frames, 2 * 960);
    for (int sample : r.samples) {
        ASSERT_EQ(sample, 1 << 16);
    }
}

}  // namespace
