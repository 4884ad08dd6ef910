#include "tests/support/recording.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "tests/support/signal_analysis.h"

constexpr size_t kFrameBytes = MonitorRecording::kChannels * sizeof(int16_t);

std::string monitorSourceFromEnvironment() {
    const char* source = std::getenv("TONARIUM_MONITOR");
    return source != nullptr ? source : "";
}

MonitorRecording::MonitorRecording(const std::string& source)
    : parec({"parec", "--device=" + source, "--raw", "--format=s16le", "--rate=48000",
             "--channels=2", "--latency-msec=10"},
            {.output = true}, [this](std::string_view more) {
                const auto now = Clock::now();
                std::lock_guard lock(mutex);
                bytes.append(more);
                arrivals.emplace_back(now, bytes.size() / kFrameBytes);
                arrived.notify_all();
            }) {}

size_t MonitorRecording::frameCount() const {
    std::lock_guard lock(mutex);
    return bytes.size() / kFrameBytes;
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

bool MonitorRecording::waitForFrames(size_t count, Ms limit) const {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, limit, [&] { return bytes.size() / kFrameBytes >= count; });
}

std::optional<size_t> MonitorRecording::waitForSound(size_t fromFrame, double rms, Ms limit) const {
    return waitForWindow(
        fromFrame, 10, [rms](auto s) { return rmsOf(s) > rms; }, limit);
}

std::optional<size_t> MonitorRecording::waitForWindow(
    size_t fromFrame, size_t windowMs, const std::function<bool(std::span<const double>)>& test,
    Ms limit) const {
    const auto deadline = Clock::now() + limit;
    for (size_t start = fromFrame;; start += kRateHz / 100) {
        const auto left = std::chrono::ceil<Ms>(deadline - Clock::now());
        if (!waitForFrames(start + windowMs * kRateHz / 1000, std::max(left, Ms(0)))) {
            return std::nullopt;
        }
        if (test(this->left(start, windowMs * kRateHz / 1000))) {
            return start;
        }
    }
}

std::vector<int16_t> MonitorRecording::samples(size_t fromFrame, size_t toFrame) const {
    std::lock_guard lock(mutex);
    const size_t end = std::min(toFrame, bytes.size() / kFrameBytes);
    const size_t begin = std::min(fromFrame, end);
    std::vector<int16_t> out((end - begin) * kChannels);
    std::memcpy(out.data(), bytes.data() + begin * kFrameBytes, out.size() * sizeof(int16_t));
    return out;
}

std::vector<double> MonitorRecording::left(size_t fromFrame, size_t frames) const {
    return channelOf(samples(fromFrame, fromFrame + frames), kChannels, 0);
}
