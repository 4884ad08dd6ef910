// The tone source alone: CPU time per frame of M_Sines at 440 Hz and 192000 Hz for 1, 8, 32 and
// 1,000,000 tones, beside the floor of the sine calls it cannot avoid (bench/sin_floor.h). At that
// pitch and rate only 8 tones are audible, so the 1,000,000-tone row should cost what the 32-tone
// row costs; the run ends with that ratio. The graph and the conversion are measured with it in
// bench_playback.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/sin_floor.h"
#include "engine/audio_module.h"
#include "synthesis/sines.h"

namespace {

constexpr double kHz = 440.0;
constexpr int32_t kRateHz = 192000;
constexpr int64_t kFramesPerIteration = 5760;
constexpr double kAllowedRatio = 1.2;

void sinesModule(benchmark::State& state) {
    g_sampleRate = kRateHz;
    M_Sines sines(static_cast<int32_t>(state.range(0)));
    sines.setInputValue(0, kHz);
    sines.setInputValue(1, 0.707);
    std::vector<double> out(kFramesPerIteration);
    for (auto _ : state) {
        for (double& sample : out) {
            sines.process();
            sample = sines.outputs[0].value;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["sin/frame"] =
        static_cast<double>(bench::audibleTones(state.range(0), kHz, kRateHz));
    state.counters["ns/frame"] =
        benchmark::Counter(kFramesPerIteration, benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
    g_sampleRate = kDefaultSampleRate;
}

void sinFloor(benchmark::State& state) {
    bench::SinFloor floor(state.range(0), kHz, kRateHz);
    std::vector<double> out(kFramesPerIteration);
    for (auto _ : state) {
        floor.render(out.data(), kFramesPerIteration);
    }
    state.counters["sin/frame"] = static_cast<double>(floor.calls());
    state.counters["ns/frame"] =
        benchmark::Counter(kFramesPerIteration, benchmark::Counter::kIsIterationInvariantRate |
                                                    benchmark::Counter::kInvert);
}

BENCHMARK(sinesModule)->Arg(1)->Arg(8)->Arg(32)->Arg(1000000);
BENCHMARK(sinFloor)->Arg(1)->Arg(8)->Arg(32)->Arg(1000000);

// The console table, keeping each row's CPU time per iteration for the closing ratio (CPU time,
// so that other load on the machine disturbs the ratio less).
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    RecordingReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                cpuTime[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> cpuTime;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto many = reporter.cpuTime.find("sinesModule/1000000");
    const auto some = reporter.cpuTime.find("sinesModule/32");
    if (many != reporter.cpuTime.end() && some != reporter.cpuTime.end() && some->second > 0.0) {
        const double ratio = many->second / some->second;
        std::printf(
            "1000000 tones cost %.3f x the 32 tones in CPU time per frame (bound %.1f): %s\n",
            ratio, kAllowedRatio, ratio <= kAllowedRatio ? "within" : "OUTSIDE");
    }
    return 0;
}
