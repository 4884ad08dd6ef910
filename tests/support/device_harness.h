// Helpers for tests that drive a device layer directly: the extensible format of one attempt,
// and a log of the notices the device gives, which a test waits on with a time limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
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
