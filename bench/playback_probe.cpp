// The playback probe: drives the tonarium program through its console dialogue, under the
// private PulseAudio server of scripts/with-pulse.sh, and measures from the recorded monitor of
// the sink what a listener would notice.
//
//   playback_probe response PROGRAM [CHANGES [ARGUMENTS...]]   how soon a new frequency is heard
//   playback_probe steady PROGRAM SECONDS [ARGUMENTS...]       whether a steady tone drops out
// ARGUMENTS are given to the program (its options).
//
// It answers one tone and 440 Hz, waits for the tone, and then either switches between 440 Hz and
// 1000 Hz CHANGES times (default 12) at irregular moments, or records SECONDS of the steady tone;
// then it answers -1 twice, which ends the program. A silent stream keeps the sink running, so the
// recording's frames follow the sink's clock without gaps.
//
// A response is timed from the write of the answer to the moment the recording holds the first
// frame of the new pitch (bench/tone_analysis.h). The moment a frame reached the recording is
// taken from the recording's timeline rather than from the arrival of the block that carried it:
// the recorder hands frames over in blocks of about 10 ms, and the earliest arrival of any frame
// relative to its position fixes where frame 0 sits on the clock.
//
// Output, one line per result, for scripts/bench.sh:
//   change INDEX FROM_HZ TO_HZ LATENCY_MS
//   response CHANGES MEDIAN_MS MAX_MS
//   steady SECONDS DROPOUTS LONGEST_MS
// Exit status 0 when measured; 1 with a message on standard error when the program, the server
// or the recording failed; 2 for a wrong command line. Every wait has a time limit.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/tone_analysis.h"
#include "tests/support/child_process.h"
#include "tests/support/recording.h"
#include "tests/support/signal_analysis.h"

namespace {

using Clock = MonitorRecording::Clock;
using std::chrono::milliseconds;

constexpr double kRateHz = MonitorRecording::kRateHz;
constexpr double kFirstHz = 440.0;
constexpr double kSecondHz = 1000.0;
constexpr double kSoundRms = 0.1;  // the 0.707 sine has an RMS near 0.5
constexpr milliseconds kStartLimit{20000};
constexpr milliseconds kResponseLimit{3000};
constexpr milliseconds kExitLimit{5000};
constexpr size_t kDropoutWindowFrames = 240;  // 5 ms

size_t framesOf(milliseconds ms) {
    return static_cast<size_t>(ms.count()) * MonitorRecording::kRateHz / 1000;
}

// Left channel of recorded frames [from, to).
std::vector<double> leftChannel(const MonitorRecording& recording, size_t from, size_t to) {
    return channelOf(recording.samples(from, to), MonitorRecording::kChannels, 0);
}

// Where frame 0 of the recording sits on the clock: the earliest moment, over every block that
// arrived, at which the frames before the block's end could all have been recorded.
Clock::time_point frameZero(const MonitorRecording& recording) {
    std::optional<Clock::time_point> best;
    const size_t total = recording.frameCount();
    size_t frame = 0;
    while (frame < total) {
        const std::optional<Clock::time_point> arrival = recording.arrivalOf(frame);
        if (!arrival) {
            break;
        }
        const size_t blockEnd = std::max(recording.framesArrivedBy(*arrival), frame + 1);
        const auto before = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(blockEnd) / kRateHz));
        if (!best || *arrival - before < *best) {
            best = *arrival - before;
        }
        frame = blockEnd;
    }
    if (!best) {
        throw std::runtime_error("nothing was recorded");
    }
    return *best;
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The program under test with its standard input on a pipe, playing one tone at kFirstHz once
// start() returns.
class Session {
  public:
    // The recording starts before the program, so that it holds the program's first sound. A
    // program that has not ended when the session goes is ended by ChildProcess.
    explicit Session(const std::vector<std::string>& program)
        : recording(monitorSourceFromEnvironment()),
          tonarium(program, ChildPipes{.input = true, .output = false}) {}

    // Answers one tone and kFirstHz; returns the frame where the tone is first heard.
    size_t start() {
        answer("1\n");
        answer(std::to_string(static_cast<int>(kFirstHz)) + "\n");
        const std::optional<size_t> heard = recording.waitForSound(0, kSoundRms, kStartLimit);
        if (!heard) {
            throw std::runtime_error("the tone was not heard within " +
                                     std::to_string(kStartLimit.count()) + " ms");
        }
        return *heard;
    }

    void answer(const std::string& text) {
        if (!tonarium.writeInput(text)) {
            throw std::runtime_error("the program no longer reads its input");
        }
    }

    // Waits until `frames` frames have been recorded.
    void waitForFrames(size_t frames, milliseconds limit) {
        if (!recording.waitForFrames(frames, limit)) {
            throw std::runtime_error("the recording stalled");
        }
    }

    // Steps back twice, which ends the dialogue and the program.
    void finish() {
        answer("-1\n-1\n");
        tonarium.closeInput();
        if (!tonarium.waitForExit(kExitLimit)) {
            throw std::runtime_error("the program did not end after -1 -1");
        }
    }

    SilentStream silence;
    MonitorRecording recording;

  private:
    ChildProcess tonarium;
};

int measureResponse(const std::vector<std::string>& program, int changes) {
    Session session(program);
    const size_t heard = session.start();
    session.waitForFrames(heard + framesOf(milliseconds(500)), kStartLimit);

    struct Change {
        double fromHz;
        double toHz;
        Clock::time_point written;
        double frame;
    };
    std::vector<Change> measured;
    uint32_t random = 12345;  // fixed, so that runs wait alike
    double currentHz = kFirstHz;
    for (int i = 0; i < changes; ++i) {
        // Answer at an irregular moment, 200 to 400 ms after the last change was heard, so that
        // the answers fall at every point of the playback loop's buffer cycle.
        random = random * 1664525u + 1013904223u;
        const size_t pause = framesOf(milliseconds(200 + (random >> 16) % 200));
        session.waitForFrames(session.recording.frameCount() + pause, kResponseLimit);

        const double nextHz = currentHz == kFirstHz ? kSecondHz : kFirstHz;
        const Clock::time_point written = Clock::now();
        // Some of the old tone before the answer, for the search to see the old period first.
        const size_t before = session.recording.framesArrivedBy(written);
        const size_t from = before - std::min(before, framesOf(milliseconds(50)));
        session.answer(std::to_string(static_cast<int>(nextHz)) + "\n");

        std::optional<double> change;
        const Clock::time_point deadline = written + kResponseLimit;
        size_t looked = before;
        while (!change && Clock::now() < deadline) {
            looked += framesOf(milliseconds(20));
            if (!session.recording.waitForFrames(looked, kResponseLimit)) {
                break;
            }
            const std::vector<double> left = leftChannel(session.recording, from, looked);
            change = bench::pitchChangeAt(left, kRateHz / currentHz, kRateHz / nextHz);
        }
        if (!change) {
            throw std::runtime_error("change " + std::to_string(i + 1) + " to " +
                                     std::to_string(static_cast<int>(nextHz)) +
                                     " Hz was not heard");
        }
        measured.push_back({currentHz, nextHz, written, static_cast<double>(from) + *change});
        currentHz = nextHz;
    }
    session.finish();

    const Clock::time_point zero = frameZero(session.recording);
    std::vector<double> latencies;
    for (size_t i = 0; i < measured.size(); ++i) {
        const Change& c = measured[i];
        const auto heardAt = zero + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(c.frame / kRateHz));
        latencies.push_back(msBetween(c.written, heardAt));
        std::printf("change %zu %.0f %.0f %.1f\n", i + 1, c.fromHz, c.toHz, latencies.back());
    }
    std::vector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const double median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
    std::printf("response %zu %.1f %.1f\n", n, median, sorted.back());
    return 0;
}

int measureSteady(const std::vector<std::string>& program, int seconds) {
    Session session(program);
    const size_t heard = session.start();
    const size_t end = heard + static_cast<size_t>(seconds) * MonitorRecording::kRateHz;
    session.waitForFrames(end, milliseconds(1000 * seconds) + kStartLimit);
    session.finish();

    const std::vector<double> left = leftChannel(session.recording, heard, end);
    // The floor is half the level the tone holds in most windows.
    std::vector<double> levels;
    for (size_t start = 0; start + kDropoutWindowFrames <= left.size();
         start += kDropoutWindowFrames) {
        levels.push_back(rmsOf(std::span(left).subspan(start, kDropoutWindowFrames)));
    }
    std::nth_element(levels.begin(), levels.begin() + static_cast<ptrdiff_t>(levels.size() / 2),
                     levels.end());
    const double floor = 0.5 * levels[levels.size() / 2];
    const bench::Dropouts dropouts = bench::findDropouts(left, kDropoutWindowFrames, floor);
    std::printf("steady %d %zu %.1f\n", seconds, dropouts.count,
                1000.0 * static_cast<double>(dropouts.longestFrames) / kRateHz);
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: playback_probe response PROGRAM [CHANGES]\n"
                 "       playback_probe steady PROGRAM SECONDS\n"
                 "under scripts/with-pulse.sh\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || monitorSourceFromEnvironment().empty()) {
        return usage();
    }
    const std::string mode = argv[1];
    std::vector<std::string> program{argv[2]};
    for (int i = 4; i < argc; ++i) {
        program.emplace_back(argv[i]);
    }
    const int count = argc > 3 ? std::atoi(argv[3]) : 12;
    if (count < 1 || (mode != "response" && mode != "steady") || (mode == "steady" && argc < 4)) {
        return usage();
    }
    try {
        return mode == "response" ? measureResponse(program, count) : measureSteady(program, count);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "playback_probe: %s\n", e.what());
        return 1;
    }
}
