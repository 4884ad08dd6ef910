// A device layer for tests: no sound, fully scripted. Format acceptance is a predicate; every
// open attempt and every call is recorded. Written buffers stay queued until finishOldest();
// reset() and close() hand back every queued buffer, oldest first, with their notices. Uses that
// break the device contract (writing an unprepared or queued header, any call while closed, ...)
// are collected in violations(). setLost(true) takes the device away: queued buffers are handed
// back, writes and opens are refused until setLost(false); with opensHang an open meanwhile
// waits (up to 20 s) for the device or for refuseOpens(true). Any member, any thread; notices
// are sent outside the device's lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "output/wave_device.h"

class TestWaveDevice : public WaveOutDevice {
  public:
    using FormatFilter = std::function<bool(const WaveFormatExtensible&)>;
    struct Call {
        std::string operation;  // "open", "prepareHeader", "unprepareHeader", "write", ...
        const WaveHeader* header;
        bool operator==(const Call&) const = default;
    };
    static FormatFilter acceptAll() {
        return [](const WaveFormatExtensible&) { return true; };
    }
    static FormatFilter refuseAll() {
        return [](const WaveFormatExtensible&) { return false; };
    }
    explicit TestWaveDevice(FormatFilter accepts = acceptAll()) : accepts(std::move(accepts)) {}

    WaveResult open(const WaveFormatExtensible& format, WaveOutCallback cb,
                    uintptr_t inst) override;
    WaveResult prepareHeader(WaveHeader& header) override {
        return update("prepareHeader", header);
    }
    WaveResult unprepareHeader(WaveHeader& header) override {
        return update("unprepareHeader", header);
    }
    WaveResult write(WaveHeader& header) override { return update("write", header); }
    WaveResult reset() override { return handBack("reset", false); }
    WaveResult close() override { return handBack("close", false); }
    void refuseOpens(bool refuse) override;
    void setLost(bool lost, bool opensHang = false);

    // Finishes the oldest queued buffer and sends its notice. False when none is queued.
    bool finishOldest();
    // Waits until `operation` has been made at least `count` times; false after `limit`.
    bool waitForCount(const std::string& operation, size_t count,
                      std::chrono::milliseconds limit) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return countLocked(operation) >= count; });
    }
    size_t count(const std::string& operation) const {
        return std::lock_guard(mutex), countLocked(operation);
    }
    std::vector<WaveFormatExtensible> attempts() const {
        return std::lock_guard(mutex), attemptRecord;
    }
    std::vector<Call> calls() const { return std::lock_guard(mutex), callRecord; }
    bool isOpen() const { return std::lock_guard(mutex), opened; }
    std::vector<std::string> violations() const { return std::lock_guard(mutex), violationRecord; }

  private:
    WaveResult update(const char* operation, WaveHeader& header);
    size_t countLocked(const std::string& operation) const;
    // Records the call; a violation when the device is closed.
    bool recordLocked(const std::string& operation, const WaveHeader* header);
    WaveResult handBack(const char* operation, bool lost);
    void notify(std::unique_lock<std::mutex>& lock, uint32_t message,
                const std::vector<WaveHeader*>& headers);

    FormatFilter accepts;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<WaveFormatExtensible> attemptRecord;
    std::vector<Call> callRecord;
    std::vector<std::string> violationRecord;
    std::deque<WaveHeader*> queue;
    bool opened = false, gone = false, hang = false, refusing = false;
    WaveOutCallback callback = nullptr;
    uintptr_t instance = 0;
};
