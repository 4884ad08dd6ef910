// The run-time entry points of the sample conversion: the dispatch from a depth and a channel
// count to one of the twelve instantiations of the frame renderer, chosen once per buffer.
#include "output/sample_conversion.h"

namespace {

template <int Bits, int Channels>
void renderFrames(AudioModule& graph, Port* const* sources, char* out, size_t frameCount) {
    constexpr size_t frameBytes = size_t{Channels} * SampleDepth<Bits>::bytes;
    for (size_t frame = 0; frame < frameCount; ++frame) {
        graph.process();
        storeFrame<Bits, Channels>(sources, out);
        out += frameBytes;
    }
}

template <int Bits>
FrameRenderer rendererForChannels(int32_t channels) {
    switch (channels) {
        case 2:
            return &renderFrames<Bits, 2>;
        case 4:
            return &renderFrames<Bits, 4>;
        case 6:
            return &renderFrames<Bits, 6>;
        case 8:
            return &renderFrames<Bits, 8>;
        default:
            return nullptr;
    }
}

}  // namespace

int32_t sampleValue(int32_t bits, double value) {
    switch (bits) {
        case 16:
            return toSample<16>(value);
        case 24:
            return toSample<24>(value);
        case 32:
            return toSample<32>(value);
        default:
            return 0;
    }
}

size_t storeSampleBytes(int32_t bits, double value, char* out) {
    switch (bits) {
        case 16:
            storeSample<16>(value, out);
            return SampleDepth<16>::bytes;
        case 24:
            storeSample<24>(value, out);
            return SampleDepth<24>::bytes;
        case 32:
            storeSample<32>(value, out);
            return SampleDepth<32>::bytes;
        default:
            return 0;
    }
}

FrameRenderer frameRendererFor(int32_t bits, int32_t channels) {
    switch (bits) {
        case 16:
            return rendererForChannels<16>(channels);
        case 24:
            return rendererForChannels<24>(channels);
        case 32:
            return rendererForChannels<32>(channels);
        default:
            return nullptr;
    }
}
