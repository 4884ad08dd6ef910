// The file device with winmm's RIFF writer: WAV files written through the device, then taken
// apart byte by byte (RIFF and chunk sizes, the `fmt ` record, the samples).
#include "output/device_mmio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "output/device_factory.h"
#include "tests/support/device_harness.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

uint32_t le(const std::vector<unsigned char>& bytes, size_t at, int count) {
    uint32_t value = 0;
    for (int b = 0; b < count; ++b) {
        value |= uint32_t{bytes.at(at + b)} << (8 * b);
    }
    return value;
}

std::vector<unsigned char> contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(MmioFileTest, AWavFileHoldsTheFramesOfTheDurationBehindTheRightFormatRecord) {
    struct Case {
        uint16_t channels;
        uint32_t mask;
        uint16_t bits;
        uint16_t formatTag;
        uint32_t fmtBytes;
    };
    const std::vector<Case> table = {
        {2, 0x3, 16, 1, 16},
        {2, 0x3, 24, 0xFFFE, 40},
        {8, 0xFF, 32, 0xFFFE, 40},
    };
    const fs::path path = fs::temp_directory_path() / "tonarium-mmio-test.wav";
    for (const Case& c : table) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, " << c.bits << " bits");
        constexpr uint32_t kRate = 96000;
        // 1.5 buffers of 96 frames: the limit cuts the second buffer.
        auto file = makeFileWaveOutDevice(path.string(), FilePacing::Unpaced, 144.0 / kRate);
        NoticeLog log;
        const WaveFormatExtensible format = makeWaveFormat(c.channels, c.mask, c.bits, kRate);
        ASSERT_EQ(file->open(format, &NoticeLog::callback, log.instance()), kWaveNoError);
        const uint32_t bufferBytes = 96u * format.nBlockAlign;
        std::vector<char> data(2 * bufferBytes);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<char>(i * 7 + 1);
        }
        WaveHeader headers[2];
        for (int i = 0; i < 2; ++i) {
            headers[i].lpData = data.data() + i * bufferBytes;
            headers[i].dwBufferLength = bufferBytes;
            file->prepareHeader(headers[i]);
            ASSERT_EQ(file->write(headers[i]), kWaveNoError);
        }
        EXPECT_EQ(log.doneCount(), 2u);  // unpaced: handed back within write
        EXPECT_TRUE(file->waitUntilComplete(0ms));
        EXPECT_EQ(file->error(), FileOutputError::None);
        EXPECT_NE(file->write(headers[0]), kWaveNoError);  // nothing after the limit
        file->close();

        const std::vector<unsigned char> bytes = contents(path);
        ASSERT_GE(bytes.size(), 44u);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
        EXPECT_EQ(le(bytes, 4, 4), bytes.size() - 8);
        EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
        ASSERT_EQ(le(bytes, 16, 4), c.fmtBytes);
        EXPECT_EQ(le(bytes, 20, 2), c.formatTag);
        EXPECT_EQ(le(bytes, 22, 2), c.channels);
        EXPECT_EQ(le(bytes, 24, 4), kRate);
        EXPECT_EQ(le(bytes, 28, 4), format.nAvgBytesPerSec);
        EXPECT_EQ(le(bytes, 32, 2), format.nBlockAlign);
        EXPECT_EQ(le(bytes, 34, 2), c.bits);
        if (c.fmtBytes == 40) {
            EXPECT_EQ(le(bytes, 36, 2), 22u);
            EXPECT_EQ(le(bytes, 38, 2), c.bits);
            EXPECT_EQ(le(bytes, 40, 4), c.mask);
            EXPECT_EQ(le(bytes, 44, 4), 1u);  // KSDATAFORMAT_SUBTYPE_PCM
        }
        const size_t dataAt = 20 + c.fmtBytes;
        EXPECT_EQ(std::string(bytes.begin() + dataAt, bytes.begin() + dataAt + 4), "data");
        const uint32_t dataBytes = 144u * format.nBlockAlign;
        ASSERT_EQ(le(bytes, dataAt + 4, 4), dataBytes);
        ASSERT_EQ(bytes.size(), dataAt + 8 + dataBytes);
        EXPECT_TRUE(
            std::equal(data.begin(), data.begin() + dataBytes, bytes.begin() + dataAt + 8,
                       [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; }));
    }
    fs::remove(path);
}

TEST(MmioFileTest, OnlyWavIsWrittenAndAMissingFolderIsReported) {
    EXPECT_EQ(acceptedFileExtensions(), std::vector<std::string>{".wav"});
    EXPECT_EQ(fileKindOfPath("a.WAV"), FileKind::Wav);
    EXPECT_EQ(fileKindOfPath("a.flac"), std::nullopt);

    const fs::path missing = fs::temp_directory_path() / "tonarium-no-such-folder" / "t.wav";
    auto file = makeFileWaveOutDevice(missing.string(), FilePacing::Unpaced, 1.0);
    NoticeLog log;
    EXPECT_NE(file->open(makeWaveFormat(2, 0x3, 16, 96000), &NoticeLog::callback, log.instance()),
              kWaveNoError);
    EXPECT_EQ(file->error(), FileOutputError::CannotCreate);
}

}  // namespace
