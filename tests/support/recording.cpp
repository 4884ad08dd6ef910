#include "tests/support/recording.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "tests/support/signal_analysis.h"

namespace {

constexpr size_t kSoundWindowFrames = MonitorRecording::kRateHz / 100;

}  // namespace

std::string monitorSourceFromEnvironment() {
    const char* source = std::getenv("TONARIUM_MONITOR");
    return source != nullptr ? source : "";
}

MonitorRecording::MonitorRecording(const std::string& source) {
    parec = std::make_unique<ChildProcess>(
        std::vector<std::string>{"parec", "--device=" + source, "--raw", "--format=s16le",
                                 "--rate=" + std::to_string(kRateHz),
                                 "--channels=" + std::to_string(kChannels), "--latency-msec=10"},
        ChildPipes{.input = false, .output = true});
    reader = std::thread([this] { readAll(); });
}

MonitorRecording::~MonitorRecording() {
    parec->terminate();  // ends the reader at the end of the pipe
    reader.join();
}

void MonitorRecording::readAll() {
    constexpr size_t kFrameBytes = kChannels * sizeof(int16_t);
    std::vector<char> chunk(8192);
    std::vector<char> partial;
    for (;;) {
        const ssize_t n = ::read(parec->outputFd(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        const auto now = Clock::now();
        partial.insert(partial.end(), chunk.begin(), chunk.begin() + n);
        const size_t whole = partial.size() / kFrameBytes * kFrameBytes;
        {
            std::lock_guard lock(mutex);
            const size_t oldSize = recorded.size();
            recorded.resize(oldSize + whole / sizeof(int16_t));
            std::copy_n(partial.data(), whole, reinterpret_cast<char*>(recorded.data() + oldSize));
            arrivals.emplace_back(now, recorded.size() / kChannels);
        }
        partial.erase(partial.begin(), partial.begin() + static_cast<ptrdiff_t>(whole));
        arrived.notify_all();
    }
}

size_t MonitorRecording::frameCount() const {
    std::lock_guard lock(mutex);
    return recorded.size() / kChannels;
}

size_t MonitorRecording::framesArrivedBy(Clock::time_point time) const {
    std::lock_guard lock(mutex);
    size_t frames = 0;
    for (const auto& [when, count] : arrivals) {
        if (when > time) {
            break;
        }
        frames = count;
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
    const auto deadline = Clock::now() + limit;
    size_t frame = fromFrame;
    std::unique_lock lock(mutex);
    for (;;) {
        while ((frame + kSoundWindowFrames) * kChannels <= recorded.size()) {
            const std::span<const int16_t> window(recorded.data() + frame * kChannels,
                                                  kSoundWindowFrames * kChannels);
            if (rmsOf(channelOf(window, kChannels, 0)) > rms) {
                return frame;
            }
            frame += kSoundWindowFrames;
        }
        if (arrived.wait_until(lock, deadline) == std::cv_status::timeout) {
            return std::nullopt;
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

SilentStream::SilentStream()
    : pacat({"pacat", "--playback", "--raw", "--format=s16le", "--rate=48000", "--channels=2",
             "--latency-msec=20", "/dev/zero"}) {}
