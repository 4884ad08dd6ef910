#include "tests/output/test_wave_device.h"

#include <algorithm>

WaveResult TestWaveDevice::open(const WaveFormatExtensible& format, WaveOutCallback cb,
                                uintptr_t inst) {
    std::unique_lock lock(mutex);
    attemptRecord.push_back(format);
    callRecord.push_back({"open", nullptr});
    changed.notify_all();
    if (opened) {
        violationRecord.emplace_back("open while open");
        return kWaveAllocated;
    }
    changed.wait_for(lock, std::chrono::seconds(20), [&] { return !(gone && hang) || refusing; });
    if (gone || refusing || !accepts(format)) {
        return kWaveBadDevice;
    }
    opened = true;
    callback = cb;
    instance = inst;
    notify(lock, kWomOpen, {nullptr});
    return kWaveNoError;
}

WaveResult TestWaveDevice::update(const char* operation, WaveHeader& header) {
    std::lock_guard lock(mutex);
    const bool isWrite = operation == std::string("write");
    if (!recordLocked(operation, &header)) {
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & kWhdrInQueue) != 0 ||
        (isWrite && (header.dwFlags & kWhdrPrepared) == 0)) {
        violationRecord.push_back(operation + std::string(" of a queued or unprepared header"));
        return kWaveError;
    }
    if (operation == std::string("prepareHeader")) {
        header.dwFlags |= kWhdrPrepared;
    } else if (!isWrite) {
        header.dwFlags &= ~kWhdrPrepared;
    } else if (gone) {
        return kWaveBadDevice;
    } else {
        header.dwFlags = (header.dwFlags & ~kWhdrDone) | kWhdrInQueue;
        queue.push_back(&header);
    }
    return kWaveNoError;
}

WaveResult TestWaveDevice::handBack(const char* operation, bool lost) {
    std::unique_lock lock(mutex);
    if (!lost && !recordLocked(operation, nullptr)) {
        return kWaveInvalidHandle;
    }
    std::vector<WaveHeader*> headers(queue.begin(), queue.end());
    queue.clear();
    if (operation == std::string("close")) {
        opened = false;
        headers.push_back(nullptr);  // kWomClose comes last
    }
    notify(lock, kWomDone, headers);
    return kWaveNoError;
}

void TestWaveDevice::notify(std::unique_lock<std::mutex>& lock, uint32_t message,
                            const std::vector<WaveHeader*>& headers) {
    for (WaveHeader* h : headers) {
        if (h != nullptr) {
            h->dwFlags = (h->dwFlags & ~kWhdrInQueue) | kWhdrDone;
        }
    }
    const WaveOutCallback cb = callback;
    const uintptr_t inst = instance;
    lock.unlock();
    for (WaveHeader* h : headers) {
        cb(this,
           h != nullptr          ? message
           : message == kWomOpen ? kWomOpen
                                 : kWomClose,
           inst, reinterpret_cast<uintptr_t>(h), 0);
    }
}

void TestWaveDevice::refuseOpens(bool refuse) {
    std::lock_guard lock(mutex);
    refusing = refuse;
    changed.notify_all();
}

void TestWaveDevice::setLost(bool lost, bool opensHang) {
    {
        std::lock_guard lock(mutex);
        gone = lost;
        hang = opensHang;
        changed.notify_all();
    }
    if (lost) {
        handBack("lost", true);
    }
}

bool TestWaveDevice::finishOldest() {
    std::unique_lock lock(mutex);
    if (queue.empty()) {
        return false;
    }
    WaveHeader* header = queue.front();
    queue.pop_front();
    notify(lock, kWomDone, {header});
    return true;
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
    return std::count_if(callRecord.begin(), callRecord.end(),
                         [&](const Call& c) { return c.operation == operation; });
}
