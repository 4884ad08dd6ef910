// Cost of one frame of the tone source at 440 Hz and 192000 Hz for 1, 8, 32 and 1,000,000 tones,
// beside a bare loop of as many sine calls as there are audible tones: the difference is what the
// module adds to the work it cannot avoid. At that pitch and rate only 8 tones are audible, so the
// 1,000,000-tone row should cost about what the 32-tone row costs; the run ends with that ratio.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/audio_module.h"
#include "synthesis/sines.h"

namespace {

constexpr double kHz = 440.0;
constexpr int32_t kRateHz = 192000;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kAllowedRatio = 1.2;

// How many of `tones` octaves of kHz stay below half of kRateHz.
int64_t audibleTones(int64_t tones) {
    int64_t k = 0;
    while (k < tones && 2.0 * std::ldexp(kHz, static_cast<int>(k)) < kRateHz) {
        ++k;
    }
    return k;
}

void sinesModule(benchmark::State& state) {
    const auto tones = static_cast<int32_t>(state.range(0));
    g_sampleRate = kRateHz;
    M_Sines sines(tones);
    sines.setInputValue(0, kHz);
    sines.setInputValue(1, 0.707);
    for (int frame = 0; frame < 64; ++frame) {
        sines.process();
    }
    for (auto _ : state) {
        sines.process();
        benchmark::DoNotOptimize(sines.outputs[0].value);
    }
    state.counters["sin/frame"] = static_cast<double>(audibleTones(tones));
}

// The same number of sine calls per frame as the module makes, on arguments spread over a whole
// turn that change from call to call and from frame to frame.
void bareSin(benchmark::State& state) {
    const int64_t calls = audibleTones(state.range(0));
    constexpr size_t kArguments = 4096;
    static std::array<double, kArguments> arguments = [] {
        std::array<double, kArguments> table{};
        for (size_t i = 0; i < kArguments; ++i) {
            table[i] = std::fmod(static_cast<double>(i) * 2.399963229728653, kTwoPi);
        }
        return table;
    }();
    size_t base = 0;
    for (auto _ : state) {
        double sum = 0.0;
        for (int64_t k = 0; k < calls; ++k) {
            sum += std::sin(arguments[(base + static_cast<size_t>(k) * 97) % kArguments]);
        }
        benchmark::DoNotOptimize(sum);
        ++base;
    }
    state.counters["sin/frame"] = static_cast<double>(calls);
}

BENCHMARK(sinesModule)->Arg(1)->Arg(8)->Arg(32)->Arg(1000000);
BENCHMARK(bareSin)->Arg(1)->Arg(8)->Arg(32)->Arg(1000000);

// The console table without colours (it mostly lands in logs), keeping each row's CPU ns per frame
// for the summary line (CPU time, so that other load on the machine disturbs the ratio less).
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    RecordingReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                nsPerFrame[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> nsPerFrame;
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

    const auto many = reporter.nsPerFrame.find("sinesModule/1000000");
    const auto some = reporter.nsPerFrame.find("sinesModule/32");
    if (many != reporter.nsPerFrame.end() && some != reporter.nsPerFrame.end() &&
        some->second > 0.0) {
        const double ratio = many->second / some->second;
        std::printf(
            "1000000 tones cost %.3f x the 32 tones in CPU time per frame (bound %.1f): %s\n",
            ratio, kAllowedRatio, ratio <= kAllowedRatio ? "within" : "OUTSIDE");
    }
    return 0;
}
