// Conversion of the engine's samples (doubles, nominally -1.0 to +1.0) into the integer samples a
// wave-out device plays: little-endian two's complement at 16, 24 (packed in 3 bytes) and 32 bits.
//
// A sample is multiplied by the scale of its depth and truncated toward zero. The 16- and 24-bit
// scales are 2^(bits-1) - 1, so +1.0 becomes the largest sample; the 32-bit scale is 2^31, so
// -1.0 becomes the smallest sample and +1.0 lies just outside the range. A sample outside the
// range a depth serves saturates at that depth's largest or smallest integer, and NaN becomes 0:
// the scaled value is clamped before the cast, which would otherwise be undefined behaviour.
//
// The depth and the channel count are template parameters, so that the converter is chosen once
// per buffer and the per-frame work is a fixed run of multiplications, clamps and stores with no
// branch on the format. frameRendererFor() picks the instantiation at run time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "engine/audio_module.h"
#include "engine/port.h"

template <int Bits>
struct SampleDepth;

template <>
struct SampleDepth<16> {
    static constexpr double scale = 32767.0;
    static constexpr int bytes = 2;
};

template <>
struct SampleDepth<24> {
    static constexpr double scale = 8388607.0;
    static constexpr int bytes = 3;
};

template <>
struct SampleDepth<32> {
    static constexpr double scale = 2147483648.0;
    static constexpr int bytes = 4;
};

// The integer that `value` becomes at depth Bits.
template <int Bits>
inline int32_t toSample(double value) {
    constexpr auto smallest = -static_cast<double>(int64_t{1} << (Bits - 1));
    constexpr auto largest = static_cast<double>((int64_t{1} << (Bits - 1)) - 1);
    const double scaled = std::isnan(value) ? 0.0 : value * SampleDepth<Bits>::scale;
    return static_cast<int32_t>(std::clamp(scaled, smallest, largest));
}

// Stores the sample of `value` at `out`, low byte first.
template <int Bits>
inline void storeSample(double value, char* out) {
    const auto word = static_cast<uint32_t>(toSample<Bits>(value));
    for (int b = 0; b < SampleDepth<Bits>::bytes; ++b) {
        out[b] = static_cast<char>(word >> (8 * b));
    }
}

// Stores one frame: channel k carries the value of the port that sources[k] points at.
template <int Bits, int Channels>
inline void storeFrame(Port* const* sources, char* frame) {
    for (int k = 0; k < Channels; ++k) {
        storeSample<Bits>(sources[k]->value, frame + k * SampleDepth<Bits>::bytes);
    }
}

// Run-time forms of toSample and storeSample for a depth of 16, 24 or 32 bits; for any other
// depth sampleValue returns 0 and storeSampleBytes stores nothing. storeSampleBytes returns
// the number of bytes stored.
int32_t sampleValue(int32_t bits, double value);
size_t storeSampleBytes(int32_t bits, double value, char* out);

// Renders `frameCount` frames into `out`, one after another: for each frame, one process() call
// of `graph`, then one sample per channel from `sources` (input k feeds channel k).
using FrameRenderer = void (*)(AudioModule& graph, Port* const* sources, char* out,
                               size_t frameCount);

// The renderer for a depth (16, 24, 32) and a channel count (2, 4, 6, 8); null for any other.
FrameRenderer frameRendererFor(int32_t bits, int32_t channels);
