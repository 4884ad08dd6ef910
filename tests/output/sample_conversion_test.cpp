#include "output/sample_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/audio_module_container.h"

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Scaling, truncation toward zero, saturation, NaN, and the bytes stored (low byte first).
TEST(SampleConversion, ScalesTruncatesAndSaturatesAtEachDepth) {
    struct Case {
        int32_t bits;
        double value;
        std::vector<unsigned char> bytes;
    };
    const std::vector<Case> table = {
        {16, 0.5, {0xFF, 0x3F}},
        {16, -0.5, {0x01, 0xC0}},
        {16, 1.0, {0xFF, 0x7F}},
        {16, -1.0, {0x01, 0x80}},
        {16, -0.5 / 32767, {0x00, 0x00}},
        {16, 1.5, {0xFF, 0x7F}},
        {16, -kInf, {0x00, 0x80}},
        {16, kNan, {0x00, 0x00}},
        {24, 0.5, {0xFF, 0xFF, 0x3F}},
        {24, -0.25, {0x01, 0x00, 0xE0}},
        {24, 2.0, {0xFF, 0xFF, 0x7F}},
        {24, -2.0, {0x00, 0x00, 0x80}},
        {32, -0.5, {0, 0, 0, 0xC0}},
        {32, -1.0, {0, 0, 0, 0x80}},
        {32, 1.0, {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, std::nextafter(1.0, 0.0), {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, kInf, {0xFF, 0xFF, 0xFF, 0x7F}},
        {32, -kNan, {0, 0, 0, 0}},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, value " << c.value);
        std::vector<unsigned char> out(c.bytes.size() + 1, 0xAA);  // a guard byte after it
        EXPECT_EQ(storeSampleBytes(c.bits, c.value, reinterpret_cast<char*>(out.data())),
                  c.bytes.size());
        EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.end() - 1), c.bytes);
        EXPECT_EQ(out.back(), 0xAA);
        int64_t sample = c.bytes.back() >= 0x80 ? -1 : 0;  // sign-extended, high byte first
        for (size_t b = c.bytes.size(); b-- > 0;) {
            sample = sample * 256 + c.bytes[b];
        }
        EXPECT_EQ(sampleValue(c.bits, c.value), sample);
    }
}

// Output k ramps by a step of its own on every frame, through the whole range and beyond it.
class Ramps : public AudioModule {
  public:
    explicit Ramps(int32_t channels) : AudioModule(0, channels) {}
    void process() override {
        ++frame;
        for (size_t k = 0; k < outputs.size(); ++k) {
            outputs[k].value = -1.05 + frame * 0.013 * static_cast<double>(k + 1);
        }
    }
    int frame = 0;
};

// A graph that is not a plain container: rendered by one process() per frame.
class OwnContainer : public AudioModuleContainer {
  public:
    OwnContainer() : AudioModuleContainer(0, 0) {}
    void process() override { AudioModuleContainer::process(); }
};

// Every renderer steps the graph once per frame and then stores channel k from source k, for a
// plain container, any other graph, and sources that are all one port.
TEST(SampleConversion, RenderersStepTheGraphThenStoreEachChannel) {
    constexpr int kFrames = 200;
    for (int32_t bits : {16, 24, 32}) {
        for (int32_t channels : {2, 4, 6, 8}) {
            for (int graphKind = 0; graphKind < 3; ++graphKind) {
                SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels, "
                                                << "graph kind " << graphKind);
                const bool oneSource = graphKind == 2;
                Ramps reference(channels);
                std::vector<char> expected(kFrames * channels * bits / 8);
                char* at = expected.data();
                for (int f = 0; f < kFrames; ++f) {
                    reference.process();
                    for (int32_t k = 0; k < channels; ++k) {
                        at +=
                            storeSampleBytes(bits, reference.outputs[oneSource ? 0 : k].value, at);
                    }
                }
                AudioModuleContainer plain(0, 0);
                OwnContainer own;
                AudioModuleContainer& graph = graphKind == 1 ? own : plain;
                Ramps ramps(channels);
                add(graph, ramps);
                std::vector<Port*> sources;
                for (Port& port : ramps.outputs) {
                    sources.push_back(oneSource ? &ramps.outputs[0] : &port);
                }
                std::vector<char> out(expected.size());
                frameRendererFor(bits, channels)(graph, sources.data(), out.data(), kFrames);
                EXPECT_EQ(out, expected);
            }
        }
    }
}

}  // namespace
