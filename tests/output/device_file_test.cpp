// The file device with libsndfile's writer: files made through the output module from tone
// sources, read back with libsndfile sample for sample; failing file systems; the paced clock.
#include "output/file/device_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "engine/audio_module_container.h"
#include "output/device_factory.h"
#include "output/file/device_sndfile.h"
#include "output/sample_conversion.h"
#include "output/wave_out.h"
#include "synthesis/sines.h"
#include "tests/support/device_harness.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kLimit = 20s;
constexpr double kSeconds = 0.0123;  // not a whole number of buffers at any format

// One tone per channel, each at a frequency of its own, so that a channel out of place shows.
std::vector<std::unique_ptr<M_Sines>> tones(int count) {
    std::vector<std::unique_ptr<M_Sines>> out;
    for (int k = 0; k < count; ++k) {
        out.push_back(std::make_unique<M_Sines>(3));
        out.back()->setInputValue(0, 311.0 * (k + 1));
        out.back()->setInputValue(1, 0.97);
    }
    return out;
}

// Plays the tones into `file` through the module, narrowed to `filter`, until it is complete;
// the file's error and frames once closed.
std::pair<FileOutputError, uint64_t> play(std::unique_ptr<FileWaveOutDevice> file,
                                          const FormatFilter& filter) {
    AudioModuleContainer graph(0, 0);
    FileWaveOutDevice& device = *file;
    M_WaveOut waveOut(3, std::chrono::milliseconds(3), std::move(file));
    auto sources = tones(8);
    for (int32_t k = 0; k < 8; ++k) {
        add(graph, *sources[k]);
        sources[k]->connect(0, k, waveOut);
    }
    add(graph, waveOut);
    graph.prepare(true);
    // Complete, or refused at once with its error: a search that never reaches the file's
    // format must not wait out the limit.
    EXPECT_TRUE(waveOut.open(8, filter) ? device.waitUntilComplete(kLimit)
                                        : device.error() != FileOutputError::None);
    waveOut.close();
    return {device.error(), device.framesWritten()};
}

// The samples of the tones at a format, left-aligned in 32 bits as sf_readf_int gives them.
std::vector<int> toneSamples(int channels, int bits, int rate, int64_t frames) {
    g_sampleRate = rate;
    auto sources = tones(channels);
    std::vector<int> out;
    for (int64_t i = 0; i < frames * channels; ++i) {
        M_Sines& tone = *sources[i % channels];
        tone.process();
        out.push_back(static_cast<int>(
            static_cast<uint32_t>(sampleValue(bits, tone.outputs[0].value)) << (32 - bits)));
    }
    g_sampleRate = kDefaultSampleRate;
    return out;
}

// What libsndfile reads: the file's description, its samples and its channel map.
std::tuple<SF_INFO, std::vector<int>, std::vector<int>> readBack(const std::string& path) {
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(file, nullptr) << path;
    std::vector<int> samples(file != nullptr ? info.frames * info.channels : 0);
    std::vector<int> map(info.channels);
    if (file != nullptr) {
        sf_readf_int(file, samples.data(), info.frames);
        sf_command(file, SFC_GET_CHANNEL_MAP_INFO, map.data(), info.channels * sizeof(int));
        sf_close(file);
    }
    return {info, samples, map};
}

struct FileDeviceTest : testing::Test {
    std::string file(const std::string& name) const { return (dir / name).string(); }
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tonarium-file-" + std::to_string(getpid()));
};

// Every layout, depth and rate into WAV, and FLAC, which holds no 32-bit samples.
TEST_F(FileDeviceTest, HoldsExactlyTheFramesOfTheDurationInTheFirstFormatItsKindHolds) {
    std::vector<std::tuple<std::string, ChannelLayout, int, int>> table = {
        {"t.flac", kChannelLayouts[0], 24, 192000}};
    for (const ChannelLayout& layout : kChannelLayouts) {
        for (int bits : kSampleDepthsBits) {
            for (int rate : kSampleRatesHz) {
                table.emplace_back("t.wav", layout, bits, rate);
            }
        }
    }
    // clang-format off
    const int speakers[] = {SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT, SF_CHANNEL_MAP_CENTER,
        SF_CHANNEL_MAP_LFE, SF_CHANNEL_MAP_REAR_LEFT, SF_CHANNEL_MAP_REAR_RIGHT,
        SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER};
    // clang-format on
    for (const auto& [name, layout, bits, rate] : table) {
        const int channels = layout.channels;
        SCOPED_TRACE(testing::Message() << name << ' ' << channels << '/' << bits << '/' << rate);
        const bool wav = name == "t.wav";
        const int64_t frames = std::llround(kSeconds * rate);
        EXPECT_EQ(play(makeFileWaveOutDevice(file(name), FilePacing::Unpaced, kSeconds),
                       wav ? FormatFilter{channels, bits, rate} : FormatFilter{}),
                  std::pair(FileOutputError::None, static_cast<uint64_t>(frames)));
        const auto [info, samples, map] = readBack(file(name));
        EXPECT_EQ(std::tuple(info.frames, info.channels, info.samplerate, info.format & 0xFF),
                  std::tuple(frames, channels, rate, bits / 8));  // SF_FORMAT_PCM_16 is 2 ...
        EXPECT_TRUE(samples == toneSamples(channels, bits, rate, frames));
        std::vector<int> expected;  // readers see the module's speakers
        for (int bit = 0; bit < 8; ++bit) {
            if ((layout.channelMask >> bit & 1) != 0) {
                expected.push_back(speakers[bit]);
            }
        }
        EXPECT_TRUE(!wav || map == expected);
    }
    for (auto [path, error] : {std::pair{file("no/folder/t.wav"), FileOutputError::CannotCreate},
                               {std::string("/dev/full"), FileOutputError::WriteFailed}}) {
        auto device = std::make_unique<FileWaveOutDevice>(
            path, std::make_unique<SndfileWriter>(FileKind::Wav), FilePacing::Unpaced, 1.0);
        EXPECT_EQ(play(std::move(device), {2, 16, 96000}).first, error) << path;
    }
}

TEST_F(FileDeviceTest, PacedNoticesFollowTheClockAndAResetDropsWhatWasNotHeard) {
    auto device = makeFileWaveOutDevice(file("paced.wav"), FilePacing::Paced, std::nullopt);
    NoticeLog log;
    auto floats = makeWaveFormat(2, 16, 96000);
    floats.SubFormat.Data1 = 3;  // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
    EXPECT_EQ(device->open(floats, &NoticeLog::callback, log.instance()), kWaveBadFormat);
    ASSERT_EQ(device->open(makeWaveFormat(2, 16, 96000), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    // Three buffers of 50 ms, then one of ten seconds; none finishes before its time.
    std::vector<int16_t> silence(960000 * 2);
    std::vector<WaveHeader> headers(4);
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < 4; ++i) {
        headers[i] = {reinterpret_cast<char*>(silence.data()), (i < 3 ? 4800u : 960000u) * 4};
        device->prepareHeader(headers[i]);
        ASSERT_EQ(device->write(headers[i]), kWaveNoError);
    }
    ASSERT_TRUE(log.waitForDone(3, kLimit));
    EXPECT_EQ(device->reset(), kWaveNoError);
    const auto done = log.all();
    ASSERT_EQ(done.size(), 4u);  // the long one handed back by the reset
    for (size_t i = 0; i < done.size(); ++i) {
        EXPECT_EQ(done[i].header, &headers[i]);
        EXPECT_EQ(done[i].flags & (kWhdrDone | kWhdrInQueue), kWhdrDone);
        EXPECT_TRUE(i == 3 || done[i].time - start >= 50ms * (i + 1)) << i;
    }
    EXPECT_EQ(device->framesWritten(), 3 * 4800u);  // the long one was never heard
    EXPECT_EQ(device->close(), kWaveNoError);
}

}  // namespace
