// The render cost of playback: CPU time per frame of filling one 30 ms device buffer the way
// the playback thread does it (one step of the program's graph, a locked container holding the
// tone source and the output module, then the conversion of the stereo frame into the buffer), at
// 192000 Hz and 440 Hz, for 1, 8, 32 and 1,000,000 tones. Beside each row, the floor: the same
// number of sine calls per frame on the same arguments (bench/sin_floor.h). The 1-tone fill is
// also measured at 16 and 24 bits, to show what the conversion of each depth adds, and with the
// tone held, to show what a frame costs without any sine.
//
// With --summary_out=FILE the run also writes one line per row, "name ns_per_frame sines" (name
// as in the table without the aggregate suffix, CPU nanoseconds, sine calls per frame), taken
// from the median of the repetitions where there are several.
// scripts/bench.sh runs it with repetitions randomly interleaved, so that a change of load on a
// shared machine falls on both columns alike.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "bench/sin_floor.h"
#include "engine/locked_container.h"
#include "output/wave_out.h"
#include "synthesis/sines.h"

namespace {

constexpr std::chrono::microseconds kBufferDuration{30000};  // 46080 bytes of 32-bit stereo
constexpr int32_t kRateHz = 192000;
constexpr double kHz = 440.0;
constexpr double kAmplitude = 0.707;
constexpr ChannelLayout kStereo = {2, 0x03};
constexpr int64_t kToneCounts[] = {1, 8, 32, 1000000};

// The system's graph as the program wires it, with the format an open at `bits` would set.
struct PlaybackGraph {
    LockedContainer container{0, 0};
    M_Sines sines;
    M_WaveOut waveOut{1, kBufferDuration};

    PlaybackGraph(int32_t tones, int32_t bits) : sines(tones) {
        sines.connect(0, "L", waveOut);
        sines.connect(0, "R", waveOut);
        add(container, sines);
        add(container, waveOut);
        container.prepare(true);
        sines.setInputValue(0, kHz);
        sines.setInputValue(1, kAmplitude);
        container.reset();
        waveOut.format = pcmFormat(kRateHz, bits, kStereo);
        waveOut.sizeBuffers();
    }
};

void fill(benchmark::State& state, int32_t tones, int32_t bits, double hz = kHz) {
    g_sampleRate = kRateHz;
    PlaybackGraph graph(tones, bits);
    graph.sines.setInputValue(0, hz);
    for (auto _ : state) {
        if (!graph.waveOut.fillBuffer(0)) {
            state.SkipWithError("the buffer was not filled");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.counters["frames"] = static_cast<double>(graph.waveOut.bufferFrames);
    state.counters["sines"] =
        hz > 0.0 ? static_cast<double>(bench::audibleTones(tones, hz, kRateHz)) : 0.0;
    g_sampleRate = kDefaultSampleRate;
}

void FillBuffer(benchmark::State& state) {
    fill(state, static_cast<int32_t>(state.range(0)), 32);
}

void FillBufferOneTone(benchmark::State& state) {
    fill(state, 1, static_cast<int32_t>(state.range(0)));
}

// The tone held (frequency 0): the graph step, the tone source's test of its frequency and the
// conversion, without a sine. This is the part of every frame's cost that does not depend on
// the tones.
void FillBufferHeld(benchmark::State& state) {
    fill(state, 1, 32, 0.0);
}

void SinFloor(benchmark::State& state) {
    const int64_t frames = int64_t{kRateHz} * kBufferDuration.count() / 1'000'000;
    bench::SinFloor floor(state.range(0), kHz, kRateHz);
    std::vector<double> out(static_cast<size_t>(frames));
    for (auto _ : state) {
        floor.render(out.data(), frames);
    }
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["sines"] = static_cast<double>(floor.calls());
}

void toneCounts(benchmark::internal::Benchmark* b) {
    b->ArgName("tones");
    for (int64_t tones : kToneCounts) {
        b->Arg(tones);
    }
}

BENCHMARK(FillBuffer)->Apply(toneCounts);
BENCHMARK(SinFloor)->Apply(toneCounts);
BENCHMARK(FillBufferOneTone)->ArgName("bits")->Arg(16)->Arg(24);
BENCHMARK(FillBufferHeld);

// The console table, plus each row's CPU nanoseconds per frame: from the median aggregate when
// the run has repetitions, otherwise from the single run.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    struct Row {
        double nsPerFrame = 0.0;
        double sines = 0.0;
        bool fromMedian = false;
    };

    SummaryReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.error_occurred || (run.run_type == Run::RT_Aggregate && !median)) {
                continue;
            }
            Row& row = rows[{run.run_name.function_name, run.run_name.args}];
            if (row.fromMedian && !median) {
                continue;
            }
            const auto frames = run.counters.find("frames");
            const auto sines = run.counters.find("sines");
            if (frames == run.counters.end() || frames->second.value <= 0.0) {
                continue;
            }
            // Time unit ns: the adjusted time is nanoseconds per iteration, one buffer.
            row.nsPerFrame = run.GetAdjustedCPUTime() / frames->second.value;
            row.sines = sines == run.counters.end() ? 0.0 : sines->second.value;
            row.fromMedian = median;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Calls visit(name, row) for every row, name as "function/args" (or just "function").
    template <typename Visit>
    void forEach(Visit visit) const {
        for (const auto& [key, row] : rows) {
            visit(key.second.empty() ? key.first : key.first + "/" + key.second, row);
        }
    }

  private:
    std::map<std::pair<std::string, std::string>, Row> rows;
};

bool writeSummary(const SummaryReporter& reporter, const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    reporter.forEach([file](const std::string& name, const SummaryReporter::Row& row) {
        std::fprintf(file, "%s %.4f %.0f\n", name.c_str(), row.nsPerFrame, row.sines);
    });
    return std::fclose(file) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    constexpr const char* kSummaryFlag = "--summary_out=";
    std::string summaryPath;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], kSummaryFlag, std::strlen(kSummaryFlag)) == 0) {
            summaryPath = argv[i] + std::strlen(kSummaryFlag);
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (!summaryPath.empty() && !writeSummary(reporter, summaryPath)) {
        std::fprintf(stderr, "cannot write %s\n", summaryPath.c_str());
        return 1;
    }
    return 0;
}
