// Helpers for tests that drive a device layer directly: the extensible format of one attempt,
// and a log of the notices the device gives, which a test waits on with a time limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "output/wave_device.h"

inline WaveFormatExtensible makeWaveFormat(uint16_t channels, uint32_t mask, uint16_t bits,
                                           uint32_t rate) {
    WaveFormatExtensible f = {kWaveFormatExtensible, channels, rate, 0,          0, bits,
                              kExtensibleExtraBytes, {bits},   mask, kSubtypePcm};
    f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.nAvgBytesPerSec = f.nBlockAlign * rate;
    return f;
}

// Pass `callback` and instance() to WaveOutDevice::open.
class NoticeLog {
  public:
    struct Notice {
        uint32_t message;
        WaveHeader* header;  // null for kWomOpen and kWomClose
        uint32_t flags;      // the header's flags when the notice came
        std::chrono::steady_clock::time_point time;
    };

    static void callback(WaveOutDevice*, uint32_t message, uintptr_t instance, uintptr_t param1,
                         uintptr_t) {
        auto* log = reinterpret_cast<NoticeLog*>(instance);
        auto* header = message == kWomDone ? reinterpret_cast<WaveHeader*>(param1) : nullptr;
        std::lock_guard lock(log->mutex);
        log->notices.push_back({message, header, header != nullptr ? header->dwFlags : 0u,
                                std::chrono::steady_clock::now()});
        log->done += message == kWomDone ? 1 : 0;
        log->changed.notify_all();
    }
    uintptr_t instance() { return reinterpret_cast<uintptr_t>(this); }

    // True once at least `count` finished notices have come, false after `limit`.
    bool waitForDone(size_t count, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return done >= count; });
    }
    size_t doneCount() {
        std::lock_guard lock(mutex);
        return done;
    }
    std::vector<Notice> all() {
        std::lock_guard lock(mutex);
        return notices;
    }
    std::vector<Notice> doneNotices() {
        std::vector<Notice> out;
        for (const Notice& n : all()) {
            if (n.message == kWomDone) {
                out.push_back(n);
            }
        }
        return out;
    }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Notice> notices;
    size_t done = 0;
};
