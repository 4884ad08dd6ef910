#include "tests/output/test_wave_device.h"

#include <algorithm>

TestWaveDevice::FormatFilter TestWaveDevice::acceptAll() {
    return [](const WaveFormatExtensible&) { return true; };
}

TestWaveDevice::FormatFilter TestWaveDevice::refuseAll() {
    return [](const WaveFormatExtensible&) { return false; };
}

TestWaveDevice::FormatFilter TestWaveDevice::acceptOnly(int channels, int bits, int rateHz) {
    return [=](const WaveFormatExtensible& f) {
        return f.nChannels == channels && f.wBitsPerSample == bits &&
               f.nSamplesPerSec == static_cast<uint32_t>(rateHz);
    };
}

TestWaveDevice::TestWaveDevice(FormatFilter accepts) : accepts(std::move(accepts)) {}

WaveResult TestWaveDevice::open(const WaveFormatExtensible& format, WaveOutCallback cb,
                                uintptr_t inst) {
    Notice notice;
    {
        std::unique_lock<std::mutex> guard(mutex);
        attemptRecord.push_back(format);
        recordLocked("open", nullptr);
        if (opened) {
            violationRecord.emplace_back("open while open");
            return kWaveAllocated;
        }
        if (gone && hang) {
            changed.wait_for(guard, std::chrono::seconds(20), [&] { return refusing || !gone; });
        }
        if (gone || refusing) {
            return kWaveBadDevice;
        }
        if (!accepts(format)) {
            return kWaveBadFormat;
        }
        opened = true;
        callback = cb;
        instance = inst;
        notice = noticeLocked(kWomOpen, 0);
    }
    notice();
    return kWaveNoError;
}

WaveResult TestWaveDevice::prepareHeader(WaveHeader& header) {
    std::lock_guard<std::mutex> guard(mutex);
    recordLocked("prepareHeader", &header);
    if (!opened) {
        violationRecord.emplace_back("prepareHeader while closed");
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & kWhdrInQueue) != 0) {
        violationRecord.emplace_back("prepareHeader of a queued header");
    }
    header.dwFlags |= kWhdrPrepared;
    return kWaveNoError;
}

WaveResult TestWaveDevice::unprepareHeader(WaveHeader& header) {
    std::lock_guard<std::mutex> guard(mutex);
    recordLocked("unprepareHeader", &header);
    if (!opened) {
        violationRecord.emplace_back("unprepareHeader while closed");
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
    std::lock_guard<std::mutex> guard(mutex);
    recordLocked("write", &header);
    if (!opened) {
        violationRecord.emplace_back("write while closed");
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & kWhdrPrepared) == 0) {
        violationRecord.emplace_back("write of an unprepared header");
        return kWaveUnprepared;
    }
    if ((header.dwFlags & kWhdrInQueue) != 0) {
        violationRecord.emplace_back("write of a queued header");
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
    std::vector<Notice> notices;
    {
        std::lock_guard<std::mutex> guard(mutex);
        recordLocked("reset", nullptr);
        if (!opened) {
            violationRecord.emplace_back("reset while closed");
            return kWaveInvalidHandle;
        }
        while (!queue.empty()) {
            notices.push_back(finishLocked());
        }
    }
    for (const Notice& notice : notices) {
        notice();
    }
    return kWaveNoError;
}

WaveResult TestWaveDevice::close() {
    std::vector<Notice> notices;
    {
        std::lock_guard<std::mutex> guard(mutex);
        recordLocked("close", nullptr);
        if (!opened) {
            violationRecord.emplace_back("close while closed");
            return kWaveInvalidHandle;
        }
        // Buffers still queued are handed back first, as reset() does.
        while (!queue.empty()) {
            notices.push_back(finishLocked());
        }
        notices.push_back(noticeLocked(kWomClose, 0));
        opened = false;
    }
    for (const Notice& notice : notices) {
        notice();
    }
    return kWaveNoError;
}

void TestWaveDevice::refuseOpens(bool refuse) {
    std::lock_guard<std::mutex> guard(mutex);
    refusing = refuse;
    changed.notify_all();
}

void TestWaveDevice::setLost(bool lost, bool opensHang) {
    std::vector<Notice> notices;
    {
        std::lock_guard<std::mutex> guard(mutex);
        gone = lost;
        hang = opensHang;
        changed.notify_all();
        while (lost && !queue.empty()) {
            notices.push_back(finishLocked());
        }
    }
    for (const Notice& notice : notices) {
        notice();
    }
}

bool TestWaveDevice::finishOldest() {
    Notice notice;
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (queue.empty()) {
            return false;
        }
        notice = finishLocked();
    }
    notice();
    return true;
}

TestWaveDevice::Notice TestWaveDevice::finishLocked() {
    WaveHeader* header = queue.front();
    queue.pop_front();
    header->dwFlags = (header->dwFlags & ~kWhdrInQueue) | kWhdrDone;
    return noticeLocked(kWomDone, reinterpret_cast<uintptr_t>(header));
}

TestWaveDevice::Notice TestWaveDevice::noticeLocked(uint32_t message, uintptr_t param1) {
    return [this, cb = callback, inst = instance, message, param1] {
        if (cb != nullptr) {
            cb(this, message, inst, param1, 0);
        }
    };
}

void TestWaveDevice::recordLocked(const std::string& operation, const WaveHeader* header) {
    callRecord.push_back(Call{operation, header});
    changed.notify_all();
}

bool TestWaveDevice::waitForCount(const std::string& operation, size_t n,
                                  std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, limit, [&] {
        return static_cast<size_t>(
                   std::count_if(callRecord.begin(), callRecord.end(),
                                 [&](const Call& c) { return c.operation == operation; })) >= n;
    });
}

std::vector<WaveFormatExtensible> TestWaveDevice::attempts() const {
    std::lock_guard<std::mutex> guard(mutex);
    return attemptRecord;
}

std::vector<TestWaveDevice::Call> TestWaveDevice::calls() const {
    std::lock_guard<std::mutex> guard(mutex);
    return callRecord;
}

std::vector<std::string> TestWaveDevice::operations() const {
    std::lock_guard<std::mutex> guard(mutex);
    std::vector<std::string> names;
    names.reserve(callRecord.size());
    for (const Call& c : callRecord) {
        names.push_back(c.operation);
    }
    return names;
}

size_t TestWaveDevice::count(const std::string& operation) const {
    std::lock_guard<std::mutex> guard(mutex);
    return static_cast<size_t>(
        std::count_if(callRecord.begin(), callRecord.end(),
                      [&](const Call& c) { return c.operation == operation; }));
}

size_t TestWaveDevice::queuedCount() const {
    std::lock_guard<std::mutex> guard(mutex);
    return queue.size();
}

bool TestWaveDevice::isOpen() const {
    std::lock_guard<std::mutex> guard(mutex);
    return opened;
}

std::vector<std::string> TestWaveDevice::violations() const {
    std::lock_guard<std::mutex> guard(mutex);
    return violationRecord;
}
