// What the sink of the private PulseAudio server of scripts/with-pulse.sh plays: parec records
// its monitor as 16-bit stereo at 48000 Hz, each frame kept with the time it arrived, so that a
// test can ask what was recorded after a moment and wait, with a limit, for a sound. The monitor
// delivers nothing while its sink has no input: a test that needs an unbroken timeline keeps a
// SilentStream playing beside the sound under test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

// The monitor source that scripts/with-pulse.sh exports (TONARIUM_MONITOR), or empty.
std::string monitorSourceFromEnvironment();

class MonitorRecording {
  public:
    static constexpr unsigned kRateHz = 48000;
    static constexpr unsigned kChannels = 2;
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::milliseconds;

    // Starts recording `source`; throws std::runtime_error when parec cannot be started.
    explicit MonitorRecording(const std::string& source);

    size_t frameCount() const;
    size_t framesArrivedBy(Clock::time_point time) const;
    std::optional<Clock::time_point> arrivalOf(size_t frame) const;  // nothing if not yet
    bool waitForFrames(size_t count, Ms limit) const;  // false when not there after `limit`
    // The first frame from `fromFrame` on that starts 10 ms whose RMS on channel 0 exceeds `rms`.
    std::optional<size_t> waitForSound(size_t fromFrame, double rms, Ms limit) const;
    // The first start, in steps of 10 ms from `fromFrame`, of `windowMs` of channel 0 that passes
    // `test`, waiting up to `limit` for the frames.
    std::optional<size_t> waitForWindow(size_t fromFrame, size_t windowMs,
                                        const std::function<bool(std::span<const double>)>& test,
                                        Ms limit) const;
    // Interleaved samples of frames [fromFrame, toFrame), clipped to what has arrived.
    std::vector<int16_t> samples(size_t fromFrame, size_t toFrame) const;
    std::vector<double> left(size_t fromFrame, size_t frames) const;  // channel 0, in [-1, 1)

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
