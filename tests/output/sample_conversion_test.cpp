#include "output/sample_conversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/audio_module_container.h"
#include "engine/locked_container.h"

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

// A module whose output k ramps by a step of its own on every frame, through the whole range that
// the conversion serves and a little beyond it.
class Ramps : public AudioModule {
  public:
    explicit Ramps(int32_t channels) : AudioModule(0, channels) {}
    void process() override {
        ++frame;
        for (size_t k = 0; k < outputs.size(); ++k) {
            outputs[k].value =
                -1.05 + static_cast<double>(frame) * 0.013 * static_cast<double>(k + 1);
        }
    }
    int frame = 0;
};

// A container that renders in a way of its own; here it only counts its frames.
class CountingContainer : public LockedContainer {
  public:
    CountingContainer() : LockedContainer(0, 0) {}
    void process() override {
        ++steps;
        LockedContainer::process();
    }
    int steps = 0;
};

TEST(SampleConversion, EveryRendererStepsTheGraphOncePerFrameThenStoresEachChannel) {
    constexpr int kFrames = 200;
    for (int32_t bits : {16, 24, 32}) {
        for (int32_t channels : {2, 4, 6, 8}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
            const FrameRenderer render = frameRendererFor(bits, channels);
            ASSERT_NE(render, nullptr);

            // What the frames must hold: channel k of frame f is output k after f + 1 steps.
            Ramps reference(channels);
            std::vector<unsigned char> expected(kFrames * channels * bits / 8);
            char* at = reinterpret_cast<char*>(expected.data());
            for (int f = 0; f < kFrames; ++f) {
                reference.process();
                for (const Port& port : reference.outputs) {
                    at += storeSampleBytes(bits, port.value, at);
                }
            }

            AudioModuleContainer plain(0, 0);
            LockedContainer locked(0, 0);
            CountingContainer own;
            for (AudioModuleContainer* graph :
                 std::vector<AudioModuleContainer*>{&plain, &locked, &own}) {
                Ramps ramps(channels);
                add(*graph, ramps);
                std::vector<Port*> sources;
                for (Port& port : ramps.outputs) {
                    sources.push_back(&port);
                }
                std::vector<unsigned char> out(expected.size());
                render(*graph, sources.data(), reinterpret_cast<char*>(out.data()), kFrames);
                EXPECT_EQ(out, expected)
                    << "graph " << (graph == &own ? "with its own process()" : "plain");
            }
            EXPECT_EQ(own.steps, kFrames);
        }
    }
}

}  // namespace
