// Recording of what a PulseAudio sink plays, for end-to-end tests run under
// scripts/with-pulse.sh: parec records the sink's monitor as 16-bit stereo at 48000 Hz, and a
// reader thread keeps every frame with the time it arrived, so that a test can ask what was
// recorded after a given moment and wait, with a time limit, for sound to appear.
//
// The monitor delivers nothing while its sink has no input, so a test that needs an unbroken
// timeline keeps a SilentStream playing beside the sound under test.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

// The monitor source that scripts/with-pulse.sh exports (TONARIUM_MONITOR), or empty.
std::string monitorSourceFromEnvironment();

class MonitorRecording {
  public:
    static constexpr unsigned kRateHz = 48000;
    static constexpr unsigned kChannels = 2;
    using Clock = std::chrono::steady_clock;

    // Starts recording `source`; throws std::runtime_error when parec cannot be started.
    explicit MonitorRecording(const std::string& source);
    ~MonitorRecording();
    MonitorRecording(const MonitorRecording&) = delete;
    MonitorRecording& operator=(const MonitorRecording&) = delete;

    size_t frameCount() const;
    // Frames that had arrived by `time`.
    size_t framesArrivedBy(Clock::time_point time) const;
    // When `frame` arrived; nothing if it has not.
    std::optional<Clock::time_point> arrivalOf(size_t frame) const;
    // True once `count` frames have arrived, false after `limit`.
    bool waitForFrames(size_t count, std::chrono::milliseconds limit) const;
    // The first frame at or after `fromFrame` that starts a 10 ms stretch whose RMS on channel 0
    // exceeds `rms`; waits up to `limit` for it to be recorded.
    std::optional<size_t> waitForSound(size_t fromFrame, double rms,
                                       std::chrono::milliseconds limit) const;
    // Interleaved samples of frames [fromFrame, toFrame) (clipped to what has arrived).
    std::vector<int16_t> samples(size_t fromFrame, size_t toFrame) const;

  private:
    void readAll();

    std::unique_ptr<ChildProcess> parec;
    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<int16_t> recorded;
    std::vector<std::pair<Clock::time_point, size_t>> arrivals;  // (time, frames by then)
    std::thread reader;
};

// Plays silence into the default sink for as long as it exists.
class SilentStream {
  public:
    SilentStream();

  private:
    ChildProcess pacat;
};
