// Helpers for tests that drive a device layer directly: the extensible format of one attempt,
// and a log of the notices the device gives, which a test waits on with a time limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "output/wave_device.h"

inline WaveFormatExtensible makeWaveFormat(uint16_t channels, uint32_t mask, uint16_t bits,
                                           uint32_t rate) {
    WaveFormatExtensible f;
    f.wFormatTag = kWaveFormatExtensible;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.nBlockAlign = static_cast<uint16_t>(channels * bits / 8);
    f.nAvgBytesPerSec = f.nBlockAlign * rate;
    f.wBitsPerSample = bits;
    f.cbSize = kExtensibleExtraBytes;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = mask;
    f.SubFormat = kSubtypePcm;
    return f;
}

// Pass `callback` and the log's address as instance data to WaveOutDevice::open.
class NoticeLog {
  public:
    struct Done {
        WaveHeader* header;
        uint32_t flags;  // the header's flags when the notice came
        std::thread::id thread;
        std::chrono::steady_clock::time_point time;
    };

    static void callback(WaveOutDevice*, uint32_t message, uintptr_t instance, uintptr_t param1,
                         uintptr_t) {
        auto* log = reinterpret_cast<NoticeLog*>(instance);
        std::lock_guard lock(log->mutex);
        if (message == kWomDone) {
            auto* header = reinterpret_cast<WaveHeader*>(param1);
            log->done.push_back({header, header->dwFlags, std::this_thread::get_id(),
                                 std::chrono::steady_clock::now()});
        } else if (message == kWomOpen) {
            ++log->opens;
        } else if (message == kWomClose) {
            ++log->closes;
        }
        log->changed.notify_all();
    }

    uintptr_t instance() { return reinterpret_cast<uintptr_t>(this); }

    // True once at least `count` finished notices have come, false after `limit`.
    bool waitForDone(size_t count, std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return done.size() >= count; });
    }

    size_t doneCount() {
        std::lock_guard lock(mutex);
        return done.size();
    }

    std::vector<Done> doneNotices() {
        std::lock_guard lock(mutex);
        return done;
    }

    int openCount() {
        std::lock_guard lock(mutex);
        return opens;
    }

    int closeCount() {
        std::lock_guard lock(mutex);
        return closes;
    }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Done> done;
    int opens = 0;
    int closes = 0;
};
