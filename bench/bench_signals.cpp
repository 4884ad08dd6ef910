// The signal sources beside the sine: CPU time per frame at 192000 Hz of M_Sines at 440 Hz
// (1 and 8 tones, the reference), each band-limited shape at 1 and 8 tones, the three noises,
// a band-passed pink noise and a sweep of one tone, then the ratio of each to its reference
// (the shapes to the sine of the same tone count, the noises and the sweep to one sine tone).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/audio_module.h"
#include "synthesis/noise.h"
#include "synthesis/sines.h"
#include "synthesis/sweep.h"
#include "synthesis/wave_stack.h"

namespace {

constexpr double kHz = 440.0;
constexpr int32_t kRateHz = 192000;
constexpr int64_t kFramesPerIteration = 5760;

// Renders kFramesPerIteration frames of `last` per iteration, after `first` where there is one.
void renderFrames(benchmark::State& state, AudioModule* first, AudioModule& last) {
    std::vector<double> out(kFramesPerIteration);
    for (auto _ : state) {
        for (double& sample : out) {
            if (first != nullptr) {
                first->process();
            }
            last.process();
            sample = last.outputs[0].value;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns/frame"] =
        benchmark::Counter(kFramesPerIteration, benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

void sine(benchmark::State& state) {
    g_sampleRate = kRateHz;
    M_Sines sines(static_cast<int32_t>(state.range(0)));
    sines.setInputValue(0, kHz);
    sines.setInputValue(1, 0.707);
    renderFrames(state, nullptr, sines);
}

template <ToneShape Shape>
void shape(benchmark::State& state) {
    g_sampleRate = kRateHz;
    M_WaveStack stack(Shape, static_cast<int32_t>(state.range(0)));
    stack.setInputValue(0, kHz);
    stack.setInputValue(1, 0.707);
    renderFrames(state, nullptr, stack);
}

template <NoiseColour Colour>
void noise(benchmark::State& state) {
    g_sampleRate = kRateHz;
    std::optional<M_Noise::Band> band;
    if (state.range(0) != 0) {
        band = M_Noise::Band{500.0, 2000.0};
    }
    M_Noise source(Colour, 1, band);
    source.setInputValue(M_Noise::kLevelInput, 0.1);
    renderFrames(state, nullptr, source);
}

void sweep(benchmark::State& state) {
    g_sampleRate = kRateHz;
    M_Sweep law(20.0, 20000.0, 3600.0, SweepLaw::Exponential);
    M_WaveStack tone(ToneShape::Sine, 1);
    law.connect(M_Sweep::kOutput, 0, tone);
    tone.setInputValue(1, 0.707);
    renderFrames(state, &law, tone);
}

BENCHMARK(sine)->Arg(1)->Arg(8);
BENCHMARK(shape<ToneShape::Square>)->Arg(1)->Arg(8);
BENCHMARK(shape<ToneShape::Triangle>)->Arg(1)->Arg(8);
BENCHMARK(shape<ToneShape::Sawtooth>)->Arg(1)->Arg(8);
BENCHMARK(noise<NoiseColour::White>)->Arg(0);
BENCHMARK(noise<NoiseColour::Pink>)->Arg(0)->Arg(1);
BENCHMARK(noise<NoiseColour::Brown>)->Arg(0);
BENCHMARK(sweep);

class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    RecordingReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        // One figure per row: the median where there are repetitions, else the one run.
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if ((median || run.run_type == Run::RT_Iteration) && !run.error_occurred) {
                cpuTime[run.run_name.str()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> cpuTime;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    // Each row against its reference, the sine of the same tone count or the single sine.
    for (const auto& [name, cpu] : reporter.cpuTime) {
        const bool eight = name.ends_with("/8");
        const auto reference = reporter.cpuTime.find(eight ? "sine/8" : "sine/1");
        if (name.starts_with("sine") || reference == reporter.cpuTime.end()) {
            continue;
        }
        std::printf("%-32s %.2f x %s\n", name.c_str(), cpu / reference->second,
                    reference->first.c_str());
    }
    return 0;
}
