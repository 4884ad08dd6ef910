// Cost per frame of filling one device buffer as the playback thread does: one step of the
// system's graph (a locked container holding a one-tone M_Sines and the output module) plus the
// conversion of the stereo frame, at 16, 24 and 32 bits, with 46080-byte buffers. Beside it, the
// bare cost of the one sine call per frame that the tone needs: the difference is what the graph
// and the conversion add. No device is opened; the format is set as an open would set it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "engine/locked_container.h"
#include "output/wave_out.h"
#include "synthesis/sines.h"

namespace {

constexpr int32_t kBufferBytes = 46080;
constexpr int32_t kRateHz = 192000;
constexpr double kHz = 440.0;
constexpr double kTwoPi = 6.283185307179586;
constexpr ChannelLayout kStereo = {2, 0x03};

benchmark::Counter perFrame(int64_t frames) {
    return {static_cast<double>(frames),
            benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert};
}

void BM_FillStereoBuffer(benchmark::State& state) {
    const auto bits = static_cast<int32_t>(state.range(0));
    g_sampleRate = kRateHz;
    LockedContainer container(0, 0);
    M_Sines sines(1);
    M_WaveOut waveOut(1, kBufferBytes);
    sines.connect(0, "L", waveOut);
    sines.connect(0, "R", waveOut);
    add(container, sines);
    add(container, waveOut);
    container.prepare(true);
    sines.setInputValue(0, kHz);
    sines.setInputValue(1, 0.707);
    container.reset();
    waveOut.format = pcmFormat(kRateHz, bits, kStereo);

    const int64_t frames = kBufferBytes / (kStereo.channels * bits / 8);
    for (auto _ : state) {
        if (!waveOut.fillBuffer(0)) {
            state.SkipWithError("the buffer was not filled");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["ns/frame"] = perFrame(frames);
    g_sampleRate = kDefaultSampleRate;
}

// One sine per frame on a running phase, as the one-tone source computes it, for as many frames
// as the 32-bit buffer holds.
void BM_BareSin(benchmark::State& state) {
    constexpr int64_t frames = kBufferBytes / 8;
    const double step = kTwoPi * kHz / kRateHz;
    double phase = 0.0;
    for (auto _ : state) {
        double sum = 0.0;
        for (int64_t frame = 0; frame < frames; ++frame) {
            sum += std::sin(phase);
            phase += step;
            if (phase > kTwoPi) {
                phase -= kTwoPi;
            }
        }
        benchmark::DoNotOptimize(sum);
    }
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["ns/frame"] = perFrame(frames);
}

BENCHMARK(BM_FillStereoBuffer)->ArgName("bits")->Arg(16)->Arg(24)->Arg(32);
BENCHMARK(BM_BareSin);

}  // namespace

BENCHMARK_MAIN();
