// The file device with winmm's RIFF writer: WAV files written through the device, then taken
// apart byte by byte (RIFF and chunk sizes, the `fmt ` record, the samples).
#include "output/device_mmio.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "output/device_factory.h"
#include "tests/support/device_harness.h"

namespace {

TEST(MmioFileTest, AWavFileHoldsTheFramesOfTheDurationBehindTheRightFormatRecord) {
    const auto path = std::filesystem::temp_directory_path() / "tonarium-mmio-test.wav";
    // channels, bits, format tag, size of the `fmt ` record
    for (auto [channels, bits, tag, fmtBytes] :
         {std::tuple{2, 16, 1u, 16u}, {8, 32, 0xFFFEu, 40u}}) {
        SCOPED_TRACE(testing::Message() << channels << " channels, " << bits << " bits");
        // 1.5 buffers of 96 frames: the limit cuts the second buffer.
        auto file = makeFileWaveOutDevice(path.string(), FilePacing::Unpaced, 144.0 / 96000);
        NoticeLog log;
        const auto format = makeWaveFormat(channels, bits, 96000);
        ASSERT_EQ(file->open(format, &NoticeLog::callback, log.instance()), kWaveNoError);
        const uint32_t bufferBytes = 96u * format.nBlockAlign;
        std::vector<char> data(2 * bufferBytes);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<char>(i * 7 + 1);
        }
        WaveHeader headers[2] = {{data.data(), bufferBytes},
                                 {data.data() + bufferBytes, bufferBytes}};
        for (WaveHeader& h : headers) {
            file->prepareHeader(h);
            ASSERT_EQ(file->write(h), kWaveNoError);
        }
        EXPECT_EQ(log.doneCount(), 2u);  // unpaced: handed back within write
        EXPECT_TRUE(file->waitUntilComplete(std::chrono::milliseconds(0)));
        EXPECT_NE(file->write(headers[0]), kWaveNoError);  // nothing after the limit
        file->close();

        std::ifstream in(path, std::ios::binary);
        const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
        auto le = [&](size_t at, int count) {
            uint32_t value = 0;
            for (int b = count; b-- > 0;) {
                value = value << 8 | bytes.at(at + b);
            }
            return value;
        };
        const uint32_t dataBytes = 144u * format.nBlockAlign, dataAt = 20 + fmtBytes;
        ASSERT_EQ(bytes.size(), dataAt + 8 + dataBytes);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
        EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
        EXPECT_EQ(
            (std::vector<uint32_t>{le(4, 4), le(16, 4), le(20, 2), le(22, 2), le(24, 4), le(28, 4),
                                   le(32, 2), le(34, 2), le(dataAt + 4, 4)}),
            (std::vector<uint32_t>{static_cast<uint32_t>(bytes.size() - 8), fmtBytes, tag,
                                   static_cast<uint32_t>(channels), 96000, format.nAvgBytesPerSec,
                                   format.nBlockAlign, static_cast<uint32_t>(bits), dataBytes}));
        if (fmtBytes == 40) {  // cbSize, valid bits, channel mask, KSDATAFORMAT_SUBTYPE_PCM
            EXPECT_EQ((std::vector<uint32_t>{le(36, 2), le(38, 2), le(40, 4), le(44, 4)}),
                      (std::vector<uint32_t>{22, static_cast<uint32_t>(bits), 0xFF, 1}));
        }
        EXPECT_EQ(std::string(bytes.begin() + dataAt, bytes.begin() + dataAt + 4), "data");
        EXPECT_TRUE(
            std::equal(data.begin(), data.begin() + dataBytes, bytes.begin() + dataAt + 8,
                       [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; }));
    }
    std::filesystem::remove(path);
    EXPECT_EQ(acceptedFileExtensions(), std::vector<std::string>{".wav"});
}

}  // namespace
