// A device layer for tests: no sound, fully scripted, so that the format search and the playback
// loop can be tested deterministically without hardware.
//
// - Acceptance of formats is a predicate given at construction; every open attempt is recorded
//   with its full format, accepted or not.
// - Every operation is recorded (name and header) in the order it was made.
// - Written buffers stay queued until the test finishes them with finishOldest(); reset() and
//   close() hand back every queued buffer, oldest first, before they return. Each finished
//   buffer gets one kWomDone notice, and open and close send kWomOpen and kWomClose as the
//   platform's mapper does.
// - Uses that break the device contract (writing an unprepared header, unpreparing a queued one,
//   any call on a closed device, ...) are collected in violations().
// - setLost(true) makes it a device that has gone away: it hands back every queued buffer and
//   refuses writes and opens until setLost(false). With opensHang, an open meanwhile waits (up
//   to 20 s) for the device to come back or for refuseOpens(true), as a layer whose server does
//   not answer does.
//
// Threads: every member may be called from any thread. The module's playback thread makes the
// device calls while the test thread finishes buffers and reads the record. Notices are sent
// outside the device's own lock, on the thread that finishes the buffer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
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
        const WaveHeader* header = nullptr;  // null for open, reset and close
    };

    static FormatFilter acceptAll();
    static FormatFilter refuseAll();
    static FormatFilter acceptOnly(int channels, int bits, int rateHz);

    explicit TestWaveDevice(FormatFilter accepts = acceptAll());

    WaveResult open(const WaveFormatExtensible& format, WaveOutCallback callback,
                    uintptr_t instance) override;
    WaveResult prepareHeader(WaveHeader& header) override;
    WaveResult unprepareHeader(WaveHeader& header) override;
    WaveResult write(WaveHeader& header) override;
    WaveResult reset() override;
    WaveResult close() override;

    // Takes the device away (hands back every queued buffer; writes and opens are refused) or
    // brings it back.
    void setLost(bool lost, bool opensHang = false);
    void refuseOpens(bool refuse) override;

    // Finishes the oldest queued buffer and sends its notice. False when none is queued.
    bool finishOldest();

    // Waits until `operation` has been made at least `count` times; false after `limit`.
    bool waitForCount(const std::string& operation, size_t count,
                      std::chrono::milliseconds limit) const;

    std::vector<WaveFormatExtensible> attempts() const;
    std::vector<Call> calls() const;
    std::vector<std::string> operations() const;  // the names of calls(), in order
    size_t count(const std::string& operation) const;
    size_t queuedCount() const;
    bool isOpen() const;
    std::vector<std::string> violations() const;

  private:
    using Notice = std::function<void()>;

    // Appends a call to the record and wakes the waiters. The caller holds `mutex`.
    void recordLocked(const std::string& operation, const WaveHeader* header);
    // Takes the oldest queued buffer and returns its notice. The caller holds `mutex`.
    Notice finishLocked();
    Notice noticeLocked(uint32_t message, uintptr_t param1);

    FormatFilter accepts;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<WaveFormatExtensible> attemptRecord;
    std::vector<Call> callRecord;
    std::vector<std::string> violationRecord;
    std::deque<WaveHeader*> queue;
    bool opened = false;
    bool gone = false;
    bool hang = false;
    bool refusing = false;
    WaveOutCallback callback = nullptr;
    uintptr_t instance = 0;
};
