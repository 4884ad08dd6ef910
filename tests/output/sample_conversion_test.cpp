#include "output/sample_conversion.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Scaling, truncation toward zero, saturation and NaN per depth, and the bytes stored.
TEST(SampleConversion, ScalesTruncatesAndSaturatesAtEachDepth) {
    const std::vector<std::tuple<int32_t, double, std::vector<unsigned char>>> table = {
        {16, 0.5, {0xFF, 0x3F}},
        {16, -0.5, {0x01, 0xC0}},
        {16, 1.0, {0xFF, 0x7F}},
        {16, -1.0, {0x01, 0x80}},
        {16, -0.5 / 32767, {0, 0}},
        {16, 1.5, {0xFF, 0x7F}},
        {16, -kInf, {0x00, 0x80}},
        {16, kNan, {0, 0}},
        {24, 0.5, {0xFF, 0xFF, 0x3F}},
        {24, -0.25, {0x01, 0x00, 0xE0}},
        {24, 2.0, {0xFF, 0xFF, 0x7F}},
        {24, -2.0, {0, 0, 0x80}},
        {32, -0.5, {0, 0, 0, 0xC0}},
        {32, -1.0, {0, 0, 0, 0x80}},
        {32, 1.0, {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, std::nextafter(1.0, 0.0), {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, kInf, {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, -kNan, {0, 0, 0, 0}}};
    for (const auto& [bits, value, bytes] : table) {
        SCOPED_TRACE(testing::Message() << bits << " bits, value " << value);
        std::vector<unsigned char> out(bytes.size() + 1, 0xAA);  // a guard byte after it
        EXPECT_EQ(storeSampleBytes(bits, value, reinterpret_cast<char*>(out.data())), bytes.size());
        auto guarded = bytes;
        guarded.push_back(0xAA);
        EXPECT_EQ(out, guarded);
        int64_t sample = bytes.back() >= 0x80 ? -1 : 0;  // sign-extended, high byte first
        for (size_t b = bytes.size(); b-- > 0;) {
            sample = sample * 256 + bytes[b];
        }
        EXPECT_EQ(sampleValue(bits, value), sample);
    }
}

}  // namespace
