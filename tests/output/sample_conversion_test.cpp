#include "output/sample_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

struct Conversion {
    int32_t bits;
    double value;
    std::vector<unsigned char> bytes;  // as stored, low byte first
};

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(SampleConversion, SamplesAreScaledTruncatedTowardZeroAndSaturatedAtTheDepthsExtremes) {
    const std::vector<Conversion> table = {
        {16, 0.5, {0xFF, 0x3F}},
        {16, -0.5, {0x01, 0xC0}},
        {16, 1.0, {0xFF, 0x7F}},
        {16, -1.0, {0x01, 0x80}},
        {16, -0.5 / 32767.0, {0x00, 0x00}},
        {16, 1.5, {0xFF, 0x7F}},
        {16, -1.5, {0x00, 0x80}},
        {16, kInf, {0xFF, 0x7F}},
        {16, -kInf, {0x00, 0x80}},
        {16, kNan, {0x00, 0x00}},
        {24, 0.5, {0xFF, 0xFF, 0x3F}},
        {24, -1.0, {0x01, 0x00, 0x80}},
        {24, -0.25, {0x01, 0x00, 0xE0}},
        {24, 1.0, {0xFF, 0xFF, 0x7F}},
        {24, 2.0, {0xFF, 0xFF, 0x7F}},
        {24, -2.0, {0x00, 0x00, 0x80}},
        {24, kNan, {0x00, 0x00, 0x00}},
        {32, 0.5, {0x00, 0x00, 0x00, 0x40}},
        {32, -0.5, {0x00, 0x00, 0x00, 0xC0}},
        {32, -1.0, {0x00, 0x00, 0x00, 0x80}},
        {32, std::nextafter(1.0, 0.0), {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, 1.0, {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, -1.0000001, {0x00, 0x00, 0x00, 0x80}},
        {32, 1e300, {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, -kNan, {0x00, 0x00, 0x00, 0x00}},
    };
    for (const Conversion& c : table) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, value " << c.value);
        // A guard byte after the sample catches a store that runs over its width.
        std::vector<unsigned char> out(c.bytes.size() + 1, 0xAA);
        const size_t stored =
            storeSampleBytes(c.bits, c.value, reinterpret_cast<char*>(out.data()));
        EXPECT_EQ(stored, c.bytes.size());
        EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end() - 1), c.bytes);
        EXPECT_EQ(out.back(), 0xAA);
    }
}

}  // namespace
