// Helpers for tests that drive a device layer directly: the extensible format of one attempt,
// a log of the notices the device gives, which a test waits on with a time limit, and a sine
// written to the device as the output module writes its buffers.
#pragma once

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <numbers>
#include <vector>

#include "output/wave_device.h"

// Integer PCM with the speakers of the system's layout for the channel count (2, 4, 6 or 8).
inline WaveFormatExtensible makeWaveFormat(uint16_t channels, uint16_t bits, uint32_t rate) {
    const auto align = static_cast<uint16_t>(channels * bits / 8);
    const uint32_t mask = channels == 8 ? 0xFF : channels == 6 ? 0x3F : channels == 4 ? 0x33 : 0x03;
    return {kWaveFormatExtensible, channels, rate, align * rate, align, bits,
            kExtensibleExtraBytes, {bits},   mask, kSubtypePcm};
}

// Pass `callback` and instance() to WaveOutDevice::open.
class NoticeLog {
  public:
    struct Notice {
        uint32_t message;
        WaveHeader* header;  // for kWomDone
        uint32_t flags;      // the header's flags when the notice came
        std::chrono::steady_clock::time_point time;
    };
    static void callback(WaveOutDevice*, uint32_t message, uintptr_t instance, uintptr_t param1,
                         uintptr_t) {
        auto* log = reinterpret_cast<NoticeLog*>(instance);
        auto* header = message == kWomDone ? reinterpret_cast<WaveHeader*>(param1) : nullptr;
        std::lock_guard lock(log->mutex);
        log->notices.push_back({message, header, header != nullptr ? header->dwFlags : 0,
                                std::chrono::steady_clock::now()});
        log->done += header != nullptr ? 1 : 0;
        log->changed.notify_all();
    }
    uintptr_t instance() { return reinterpret_cast<uintptr_t>(this); }
    // True once at least `count` finished notices have come, false after `limit`.
    bool waitForDone(size_t count, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return done >= count; });
    }
    size_t doneCount() { return std::lock_guard(mutex), done; }
    std::vector<Notice> all() { return std::lock_guard(mutex), notices; }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Notice> notices;
    size_t done = 0;
};

// A 32-bit stereo sine played as the output module plays: `headerCount` headers of
// `bufferFrames` frames, each written again once its finished notice has come.
struct SinePlayer {
    SinePlayer(size_t headerCount, uint32_t bufferFrames, uint32_t rateHz, double hz,
               double amplitude)
        : bufferFrames(bufferFrames),
          rateHz(rateHz),
          hz(hz),
          amplitude(amplitude),
          headers(headerCount),
          samples(headerCount * 2 * bufferFrames) {}

    // Writes `count` more buffers; false when a notice does not come within `limit` or a write
    // fails.
    bool play(WaveOutDevice& device, NoticeLog& log, size_t count,
              std::chrono::milliseconds limit) {
        const size_t n = headers.size();
        for (const size_t end = written + count; written < end; ++written) {
            WaveHeader& h = headers[written % n];
            if (written >= n && !log.waitForDone(written - n + 1, limit)) {
                return false;
            }
            device.unprepareHeader(h);
            h = {reinterpret_cast<char*>(&samples[written % n * 2 * bufferFrames]),
                 bufferFrames * 8};
            for (size_t f = 0; f < bufferFrames; ++f, ++frame) {
                const double x = std::sin(2 * std::numbers::pi * hz * frame / rateHz);
                reinterpret_cast<int32_t*>(h.lpData)[2 * f] =
                    reinterpret_cast<int32_t*>(h.lpData)[2 * f + 1] = amplitude * x * 2147483648.0;
            }
            device.prepareHeader(h);
            if (device.write(h) != kWaveNoError) {
                return false;
            }
        }
        return log.waitForDone(written, limit);
    }

    const uint32_t bufferFrames;
    const uint32_t rateHz;
    const double hz;
    const double amplitude;
    std::vector<WaveHeader> headers;
    std::vector<int32_t> samples;
    size_t written = 0;  // buffers written so far
    uint64_t frame = 0;  // the sine's next frame
};
