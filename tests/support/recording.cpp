#include "tests/support/recording.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tests/support/signal_analysis.h"

std::string monitorSourceFromEnvironment() {
    const char* source = std::getenv("TONARIUM_MONITOR");
    return source != nullptr ? source : "";
}

MonitorRecording::MonitorRecording(const std::string& source)
    : parec(std::make_unique<ChildProcess>(
          std::vector<std::string>{"parec", "--device=" + source, "--raw", "--format=s16le",
                                   "--rate=48000", "--channels=2", "--latency-msec=10"},
          ChildPipes{.output = true}, [this](std::string_view bytes) { append(bytes); })) {}

void MonitorRecording::append(std::string_view bytes) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex);
    partial.append(bytes);
    const size_t whole = partial.size() / (kChannels * 2) * (kChannels * 2);
    const size_t oldSize = recorded.size();
    recorded.resize(oldSize + whole / 2);
    std::memcpy(recorded.data() + oldSize, partial.data(), whole);
    partial.erase(0, whole);
    arrivals.emplace_back(now, recorded.size() / kChannels);
    arrived.notify_all();
}

size_t MonitorRecording::frameCount() const {
    std::lock_guard lock(mutex);
    return recorded.size() / kChannels;
}

size_t MonitorRecording::framesArrivedBy(Clock::time_point time) const {
    std::lock_guard lock(mutex);
    size_t frames = 0;
    for (size_t i = 0; i < arrivals.size() && arrivals[i].first <= time; ++i) {
        frames = arrivals[i].second;
    }
    return frames;
}

std::optional<MonitorRecording::Clock::time_point> MonitorRecording::arrivalOf(size_t frame) const {
    std::lock_guard lock(mutex);
    for (const auto& [when, count] : arrivals) {
        if (count > frame) {
            return when;
        }
    }
    return std::nullopt;
}

bool MonitorRecording::waitForFrames(size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, limit, [&] { return recorded.size() / kChannels >= count; });
}

std::optional<size_t> MonitorRecording::waitForSound(size_t fromFrame, double rms,
                                                     std::chrono::milliseconds limit) const {
    return waitForWindow(fromFrame, 10, [rms](auto s) { return rmsOf(s) > rms; }, limit);
}

std::optional<size_t> MonitorRecording::waitForWindow(size_t fromFrame, size_t windowMs,
                                                      const Test& test,
                                                      std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    for (size_t start = fromFrame;; start += kRateHz / 100) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (!waitForFrames(start + windowMs * kRateHz / 1000, std::max(left, limit * 0))) {
            return std::nullopt;
        }
        if (test(this->left(start, windowMs * kRateHz / 1000))) {
            return start;
        }
    }
}

std::vector<int16_t> MonitorRecording::samples(size_t fromFrame, size_t toFrame) const {
    std::lock_guard lock(mutex);
    const size_t end = std::min(toFrame * kChannels, recorded.size());
    const size_t begin = std::min(fromFrame * kChannels, end);
    return {recorded.begin() + static_cast<ptrdiff_t>(begin),
            recorded.begin() + static_cast<ptrdiff_t>(end)};
}

std::vector<double> MonitorRecording::left(size_t fromFrame, size_t frames) const {
    return channelOf(samples(fromFrame, fromFrame + frames), kChannels, 0);
}

SilentStream::SilentStream()
    : pacat({"pacat", "--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
             "--latency-msec=20", "/dev/zero"}) {}
