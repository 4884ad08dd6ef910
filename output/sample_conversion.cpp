// The run-time entry points of the sample conversion: the dispatch from a depth and a channel
// count to one of the twelve instantiations of the frame renderer, chosen once per buffer.
//
// A graph that is a plain container (its process() is AudioModuleContainer's own, as for the
// program's locked root) is run through processFrames(), which reads the child list once per
// buffer rather than once per frame; any other graph, such as a container that renders ahead on
// a thread of its own, is run by one process() call per frame. Both give the same frames.
#include "output/sample_conversion.h"

#include <algorithm>
#include <array>
#include <typeinfo>

#include "engine/audio_module_container.h"
#include "engine/locked_container.h"

namespace {

// `graph` as a container whose frames may be run in one call, or null.
AudioModuleContainer* plainContainer(AudioModule& graph) {
    const std::type_info& type = typeid(graph);
    if (type == typeid(AudioModuleContainer) || type == typeid(LockedContainer)) {
        return static_cast<AudioModuleContainer*>(&graph);
    }
    return nullptr;
}

// Runs `frameCount` steps of `graph`, calling store() after each.
template <typename StoreFrame>
void stepAndStore(AudioModule& graph, size_t frameCount, StoreFrame&& store) {
    if (AudioModuleContainer* container = plainContainer(graph)) {
        container->processFrames(frameCount, store);
        return;
    }
    for (size_t frame = 0; frame < frameCount; ++frame) {
        graph.process();
        store();
    }
}

template <int Bits, int Channels>
void renderFrames(AudioModule& graph, Port* const* sources, char* out, size_t frameCount) {
    constexpr size_t frameBytes = size_t{Channels} * SampleDepth<Bits>::bytes;
    // Connections do not change while a buffer renders: the ports are looked up once. Where every
    // channel reads one port (a mono source on every speaker), its sample is converted once.
    std::array<Port*, Channels> ports;
    std::copy_n(sources, Channels, ports.begin());
    Port* const first = ports[0];
    if (std::all_of(ports.begin(), ports.end(), [first](const Port* p) { return p == first; })) {
        stepAndStore(graph, frameCount, [&] {
            storeUniformFrame<Bits, Channels>(first->value, out);
            out += frameBytes;
        });
    } else {
        stepAndStore(graph, frameCount, [&] {
            storeFrame<Bits, Channels>(ports.data(), out);
            out += frameBytes;
        });
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
