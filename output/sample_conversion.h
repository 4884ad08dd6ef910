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
// branch at all. frameRendererFor() picks the instantiation at run time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define TONARIUM_SAMPLE_LIMIT_SSE2 1
#endif

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

// `scaled` limited to [smallest, largest], NaN becoming 0.0. With SSE2 this is a mask, a minimum
// and a maximum, without a branch: written as comparisons, the compiler threads each outcome
// through the conversion and the stores, which doubles the instructions per sample. Without SSE2
// the comparisons give the same results.
inline double limitSample(double scaled, double smallest, double largest) {
#ifdef TONARIUM_SAMPLE_LIMIT_SSE2
    __m128d v = _mm_set_sd(scaled);
    v = _mm_and_pd(v, _mm_cmpord_sd(v, v));
    v = _mm_min_sd(v, _mm_set_sd(largest));
    v = _mm_max_sd(v, _mm_set_sd(smallest));
    return _mm_cvtsd_f64(v);
#else
    return std::isnan(scaled) ? 0.0 : std::clamp(scaled, smallest, largest);
#endif
}

// The integer that `value` becomes at depth Bits.
template <int Bits>
inline int32_t toSample(double value) {
    constexpr auto smallest = -static_cast<double>(int64_t{1} << (Bits - 1));
    constexpr auto largest = static_cast<double>((int64_t{1} << (Bits - 1)) - 1);
    return static_cast<int32_t>(limitSample(value * SampleDepth<Bits>::scale, smallest, largest));
}

// Stores the sample of `value` at `out`, low byte first. The bytes are put together first and
// copied in one go, which the compiler turns into one store of the sample's width.
template <int Bits>
inline void storeSample(double value, char* out) {
    const auto word = static_cast<uint32_t>(toSample<Bits>(value));
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(word),
        static_cast<unsigned char>(word >> 8),
        static_cast<unsigned char>(word >> 16),
        static_cast<unsigned char>(word >> 24),
    };
    std::memcpy(out, bytes, SampleDepth<Bits>::bytes);
}

// Stores one frame: channel k carries the value of the port that sources[k] points at.
template <int Bits, int Channels>
inline void storeFrame(Port* const* sources, char* frame) {
    for (int k = 0; k < Channels; ++k) {
        storeSample<Bits>(sources[k]->value, frame + k * SampleDepth<Bits>::bytes);
    }
}

// Stores one frame whose channels all carry `value`: converted once, stored in every channel.
template <int Bits, int Channels>
inline void storeUniformFrame(double value, char* frame) {
    constexpr int bytes = SampleDepth<Bits>::bytes;
    char sample[bytes];
    storeSample<Bits>(value, sample);
    for (int k = 0; k < Channels; ++k) {
        std::memcpy(frame + k * bytes, sample, bytes);
    }
}

// Run-time forms of toSample and storeSample for a depth of 16, 24 or 32 bits; for any other
// depth sampleValue returns 0 and storeSampleBytes stores nothing. storeSampleBytes returns
// the number of bytes stored.
int32_t sampleValue(int32_t bits, double value);
size_t storeSampleBytes(int32_t bits, double value, char* out);

// Renders `frameCount` frames into `out`, one after another: for each frame, one step of
// `graph` (its process(), or the same step through processFrames() where `graph` is a plain
// AudioModuleContainer), then one sample per channel from `sources` (input k feeds channel k).
// The graph's structure and the connections of `sources` must not change meanwhile.
using FrameRenderer = void (*)(AudioModule& graph, Port* const* sources, char* out,
                               size_t frameCount);

// The renderer for a depth (16, 24, 32) and a channel count (2, 4, 6, 8); null for any other.
FrameRenderer frameRendererFor(int32_t bits, int32_t channels);
