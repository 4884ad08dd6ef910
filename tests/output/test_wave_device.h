// A device layer for tests: no sound, fully scripted. Format acceptance is a predicate; every
// call is recorded. Written buffers stay queued until finishOldest();
// reset() and close() hand back every queued buffer, oldest first, with their notices. Uses that
// break the device contract (writing an unprepared or queued header, any call while closed, ...)
// are collected in violations(). setLost(true) takes the device away: queued buffers are handed
// back, writes and opens are refused until setLost(false). Any member, any thread; notices come
// under the device's lock, so a callback must not call back into it.
#pragma once

#include <algorithm>
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
                    uintptr_t inst) override {
        std::lock_guard lock(mutex);
        callRecord.push_back({"open", nullptr});
        changed.notify_all();
        if (opened || gone || !accepts(format)) {
            return kWaveBadDevice;
        }
        opened = true;
        callback = cb;
        instance = inst;
        cb(this, kWomOpen, inst, 0, 0);
        return kWaveNoError;
    }
    WaveResult prepareHeader(WaveHeader& h) override { return update("prepareHeader", h); }
    WaveResult unprepareHeader(WaveHeader& h) override { return update("unprepareHeader", h); }
    WaveResult write(WaveHeader& h) override { return update("write", h); }
    WaveResult reset() override { return handBack("reset"); }
    WaveResult close() override { return handBack("close"); }

    std::string outputName() const override { return reportedName; }
    uint32_t serverRateHz() const override { return reportedServerRate; }
    void describeStream(const std::string& name) override {
        std::lock_guard lock(mutex);
        streamNames.push_back(name);
    }
    std::vector<std::string> describedStreams() const {
        return std::lock_guard(mutex), streamNames;
    }
    std::string reportedName;         // what outputName() says
    uint32_t reportedServerRate = 0;  // what serverRateHz() says

    // Takes the device away (handing back what it holds) or brings it back.
    void setLost(bool lost) {
        std::lock_guard lock(mutex);
        gone = lost;
        while (lost && finishLocked()) {
        }
    }
    // Finishes the oldest queued buffer and sends its notice. False when none is queued.
    bool finishOldest() { return std::lock_guard(mutex), finishLocked(); }
    // Waits until `operation` has been made at least `count` times; false after `limit`.
    bool waitForCount(const std::string& operation, size_t count,
                      std::chrono::milliseconds limit) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return countLocked(operation) >= count; });
    }
    size_t count(const std::string& operation) const {
        return std::lock_guard(mutex), countLocked(operation);
    }
    std::vector<Call> calls() const { return std::lock_guard(mutex), callRecord; }
    bool isOpen() const { return std::lock_guard(mutex), opened; }
    std::vector<std::string> violations() const { return std::lock_guard(mutex), violationRecord; }

  private:
    // Records a call, with a violation when the device is closed or the header queued or (for a
    // write) unprepared. True when the call may go ahead.
    bool recordLocked(const std::string& operation, WaveHeader* h) {
        callRecord.push_back({operation, h});
        changed.notify_all();
        const bool bad =
            h != nullptr && ((h->dwFlags & kWhdrInQueue) != 0 ||
                             (operation == "write" && (h->dwFlags & kWhdrPrepared) == 0));
        if (!opened || bad) {
            violationRecord.push_back(
                operation + (opened ? " of a queued or unprepared header" : " while closed"));
        }
        return opened && !bad;
    }
    WaveResult update(const std::string& operation, WaveHeader& h) {
        std::lock_guard lock(mutex);
        if (!recordLocked(operation, &h)) {
            return kWaveError;
        }
        if (operation != "write") {
            h.dwFlags = operation == "prepareHeader" ? h.dwFlags | kWhdrPrepared
                                                     : h.dwFlags & ~kWhdrPrepared;
        } else if (!gone) {
            h.dwFlags = (h.dwFlags & ~kWhdrDone) | kWhdrInQueue;
            queue.push_back(&h);
        }
        return operation == "write" && gone ? kWaveBadDevice : kWaveNoError;
    }
    WaveResult handBack(const std::string& operation) {
        std::lock_guard lock(mutex);
        if (!recordLocked(operation, nullptr)) {
            return kWaveInvalidHandle;
        }
        while (finishLocked()) {
        }
        if (operation == "close") {
            opened = false;
            callback(this, kWomClose, instance, 0, 0);
        }
        return kWaveNoError;
    }
    bool finishLocked() {
        if (queue.empty()) {
            return false;
        }
        WaveHeader* h = queue.front();
        queue.pop_front();
        h->dwFlags = (h->dwFlags & ~kWhdrInQueue) | kWhdrDone;
        callback(this, kWomDone, instance, reinterpret_cast<uintptr_t>(h), 0);
        return true;
    }
    size_t countLocked(const std::string& operation) const {
        return std::count_if(callRecord.begin(), callRecord.end(),
                             [&](const Call& c) { return c.operation == operation; });
    }

    FormatFilter accepts;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<Call> callRecord;
    std::vector<std::string> violationRecord;
    std::vector<std::string> streamNames;
    std::deque<WaveHeader*> queue;
    bool opened = false, gone = false;
    WaveOutCallback callback = nullptr;
    uintptr_t instance = 0;
};
