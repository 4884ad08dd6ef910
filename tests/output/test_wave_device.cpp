#include "tests/output/test_wave_device.h"

#include <algorithm>

WaveResult TestWaveDevice::open(const WaveFormatExtensible& format, WaveOutCallback cb,
                                uintptr_t inst) {
    std::unique_lock guard(mutex);
    attemptRecord.push_back(format);
    callRecord.push_back({"open", nullptr});
    changed.notify_all();
    if (opened) {
        violationRecord.emplace_back("open while open");
        return kWaveAllocated;
    }
    if (gone && hang) {
        changed.wait_for(guard, std::chrono::seconds(20), [&] { return refusing || !gone; });
    }
    if (gone || refusing || !accepts(format)) {
        return gone || refusing ? kWaveBadDevice : kWaveBadFormat;
    }
    opened = true;
    callback = cb;
    instance = inst;
    const Notice notice = noticeLocked(kWomOpen, nullptr);
    guard.unlock();
    notice();
    return kWaveNoError;
}

WaveResult TestWaveDevice::prepareHeader(WaveHeader& header) {
    std::lock_guard guard(mutex);
    if (!recordLocked("prepareHeader", &header)) {
        return kWaveInvalidHandle;
    }
    header.dwFlags |= kWhdrPrepared;
    return kWaveNoError;
}

WaveResult TestWaveDevice::unprepareHeader(WaveHeader& header) {
    std::lock_guard guard(mutex);
    if (!recordLocked("unprepareHeader", &header)) {
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & kWhdrInQueue) != 0) {
        violationRecord.emplace_back("unprepareHeader of a queued header");
        return kWaveError;
    }
    header.dwFlags &= ~kWhdrPrepared;
    return kWaveNoError;
}

WaveResult TestWaveDevice::write(WaveHeader& header) {
    std::lock_guard guard(mutex);
    if (!recordLocked("write", &header)) {
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & (kWhdrPrepared | kWhdrInQueue)) != kWhdrPrepared) {
        violationRecord.emplace_back("write of an unprepared or queued header");
        return kWaveError;
    }
    if (gone) {
        return kWaveBadDevice;
    }
    header.dwFlags = (header.dwFlags & ~kWhdrDone) | kWhdrInQueue;
    queue.push_back(&header);
    return kWaveNoError;
}

WaveResult TestWaveDevice::reset() {
    std::unique_lock guard(mutex);
    if (!recordLocked("reset", nullptr)) {
        return kWaveInvalidHandle;
    }
    const auto notices = drainLocked();
    guard.unlock();
    sendAll(notices);
    return kWaveNoError;
}

WaveResult TestWaveDevice::close() {
    std::unique_lock guard(mutex);
    if (!recordLocked("close", nullptr)) {
        return kWaveInvalidHandle;
    }
    auto notices = drainLocked();
    notices.push_back(noticeLocked(kWomClose, nullptr));
    opened = false;
    guard.unlock();
    sendAll(notices);
    return kWaveNoError;
}

void TestWaveDevice::refuseOpens(bool refuse) {
    std::lock_guard guard(mutex);
    refusing = refuse;
    changed.notify_all();
}

void TestWaveDevice::setLost(bool lost, bool opensHang) {
    std::unique_lock guard(mutex);
    gone = lost;
    hang = opensHang;
    changed.notify_all();
    const auto notices = lost ? drainLocked() : std::vector<Notice>{};
    guard.unlock();
    sendAll(notices);
}

bool TestWaveDevice::finishOldest() {
    std::unique_lock guard(mutex);
    if (queue.empty()) {
        return false;
    }
    WaveHeader* header = queue.front();
    queue.pop_front();
    const Notice notice = noticeLocked(kWomDone, header);
    guard.unlock();
    notice();
    return true;
}

std::vector<TestWaveDevice::Notice> TestWaveDevice::drainLocked() {
    std::vector<Notice> notices;
    for (WaveHeader* header : queue) {
        notices.push_back(noticeLocked(kWomDone, header));
    }
    queue.clear();
    return notices;
}

TestWaveDevice::Notice TestWaveDevice::noticeLocked(uint32_t message, WaveHeader* header) {
    if (header != nullptr) {
        header->dwFlags = (header->dwFlags & ~kWhdrInQueue) | kWhdrDone;
    }
    return [this, cb = callback, inst = instance, message, header] {
        cb(this, message, inst, reinterpret_cast<uintptr_t>(header), 0);
    };
}

void TestWaveDevice::sendAll(const std::vector<Notice>& notices) {
    for (const Notice& notice : notices) {
        notice();
    }
}

bool TestWaveDevice::recordLocked(const std::string& operation, const WaveHeader* header) {
    callRecord.push_back({operation, header});
    changed.notify_all();
    if (!opened) {
        violationRecord.push_back(operation + " while closed");
    }
    return opened;
}

size_t TestWaveDevice::countLocked(const std::string& operation) const {
    return static_cast<size_t>(
        std::count_if(callRecord.begin(), callRecord.end(),
                      [&](const Call& c) { return c.operation == operation; }));
}

bool TestWaveDevice::waitForCount(const std::string& operation, size_t n,
                                  std::chrono::milliseconds limit) const {
    std::unique_lock guard(mutex);
    return changed.wait_for(guard, limit, [&] { return countLocked(operation) >= n; });
}

size_t TestWaveDevice::count(const std::string& operation) const {
    std::lock_guard guard(mutex);
    return countLocked(operation);
}

std::vector<WaveFormatExtensible> TestWaveDevice::attempts() const {
    std::lock_guard guard(mutex);
    return attemptRecord;
}

std::vector<TestWaveDevice::Call> TestWaveDevice::calls() const {
    std::lock_guard guard(mutex);
    return callRecord;
}

size_t TestWaveDevice::queuedCount() const {
    std::lock_guard guard(mutex);
    return queue.size();
}

bool TestWaveDevice::isOpen() const {
    std::lock_guard guard(mutex);
    return opened;
}

std::vector<std::string> TestWaveDevice::violations() const {
    std::lock_guard guard(mutex);
    return violationRecord;
}
