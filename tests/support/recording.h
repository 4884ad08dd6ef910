// What the sink of the private PulseAudio server of scripts/with-pulse.sh plays: parec records
// its monitor as 16-bit stereo at 48000 Hz, each frame kept with the time it arrived, so that a
// test can ask what was recorded after a moment and wait, with a limit, for a sound. The monitor
// delivers nothing while its sink has no input: a test that needs an unbroken timeline keeps a
// SilentStream playing beside the sound under test.
#pragma once

#include <cstdlib>
#include <cstring>

#include "tests/support/child_process.h"
#include "tests/support/signal_analysis.h"

// The monitor source that scripts/with-pulse.sh exports (TONARIUM_MONITOR), or empty.
inline std::string monitorSourceFromEnvironment() {
    return std::getenv("TONARIUM_MONITOR") != nullptr ? std::getenv("TONARIUM_MONITOR") : "";
}

class MonitorRecording {
  public:
    static constexpr unsigned kRateHz = 48000;
    static constexpr unsigned kChannels = 2;
    static constexpr size_t kFrameBytes = kChannels * sizeof(int16_t);
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::milliseconds;

    // Starts recording `source`; throws std::runtime_error when parec cannot be started.
    explicit MonitorRecording(const std::string& source)
        : parec({"parec", "--device=" + source, "--raw", "--format=s16le", "--rate=48000",
                 "--channels=2", "--latency-msec=10"},
                {.output = true}, [this](std::string_view more) {
                    const auto now = Clock::now();
                    std::lock_guard lock(mutex);
                    bytes.append(more);
                    arrivals.emplace_back(now, bytes.size() / kFrameBytes);
                    arrived.notify_all();
                }) {}

    size_t frameCount() const {
        std::lock_guard lock(mutex);
        return bytes.size() / kFrameBytes;
    }

    size_t framesArrivedBy(Clock::time_point time) const {
        std::lock_guard lock(mutex);
        const auto after = std::find_if(arrivals.begin(), arrivals.end(),
                                        [time](const auto& a) { return a.first > time; });
        return after == arrivals.begin() ? 0 : std::prev(after)->second;
    }

    std::optional<Clock::time_point> arrivalOf(size_t frame) const {  // nothing if not yet
        std::lock_guard lock(mutex);
        const auto at = std::find_if(arrivals.begin(), arrivals.end(),
                                     [frame](const auto& a) { return a.second > frame; });
        return at == arrivals.end() ? std::nullopt : std::optional(at->first);
    }

    bool waitForFrames(size_t count, Ms limit) const {  // false when not there after `limit`
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, limit, [&] { return bytes.size() / kFrameBytes >= count; });
    }

    // The first frame from `fromFrame` on that starts 10 ms whose RMS on channel 0 exceeds `rms`.
    std::optional<size_t> waitForSound(size_t fromFrame, double rms, Ms limit) const {
        return waitForWindow(
            fromFrame, 10, [rms](auto s) { return rmsOf(s) > rms; }, limit);
    }

    // The first start, in steps of 10 ms from `fromFrame`, of `windowMs` of channel 0 that
    // passes `test`, waiting up to `limit` for the frames.
    std::optional<size_t> waitForWindow(size_t fromFrame, size_t windowMs,
                                        const std::function<bool(std::span<const double>)>& test,
                                        Ms limit) const {
        const auto deadline = Clock::now() + limit;
        const size_t window = windowMs * kRateHz / 1000;
        for (size_t start = fromFrame;
             waitForFrames(start + window, std::chrono::ceil<Ms>(deadline - Clock::now()));
             start += kRateHz / 100) {
            if (test(channelOf(samples(start, start + window), kChannels, 0))) {
                return start;
            }
        }
        return std::nullopt;
    }

    // Interleaved samples of frames [fromFrame, toFrame), clipped to what has arrived.
    std::vector<int16_t> samples(size_t fromFrame, size_t toFrame) const {
        std::lock_guard lock(mutex);
        const size_t end = std::min(toFrame, bytes.size() / kFrameBytes);
        const size_t begin = std::min(fromFrame, end);
        std::vector<int16_t> out((end - begin) * kChannels);
        std::memcpy(out.data(), bytes.data() + begin * kFrameBytes, (end - begin) * kFrameBytes);
        return out;
    }

  private:
    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::string bytes;                                           // as recorded
    std::vector<std::pair<Clock::time_point, size_t>> arrivals;  // (time, frames by then)
    ChildProcess parec;                                          // last: its reader appends
};

// Plays silence into the default sink for as long as it exists.
class SilentStream {
    ChildProcess pacat{{"pacat", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
                        "--latency-msec=20", "/dev/zero"}};
};
