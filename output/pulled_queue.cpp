#include "output/pulled_queue.h"

#include <algorithm>
#include <cstring>

PulledQueue::PulledQueue(WaveOutDevice* owner, WaveOutCallback callback, uintptr_t instance,
                         uint32_t frameBytes)
    : owner(owner), callback(callback), instance(instance), frameBytes(frameBytes) {}

bool PulledQueue::write(WaveHeader& header) {
    std::lock_guard lock(queueMutex);
    if (isLost) {
        return false;
    }
    header.dwFlags = (header.dwFlags & ~kWhdrDone) | kWhdrInQueue;
    queuedEnd += header.dwBufferLength / frameBytes;
    entries.push({&header, queuedEnd});
    return true;
}

size_t PulledQueue::pull(char* destination, size_t frames) {
    std::lock_guard lock(queueMutex);
    size_t copied = 0;
    for (size_t i = 0; i < entries.size() && copied < frames; ++i) {
        const Entry& entry = entries.at(i);
        if (entry.end <= pulled) {
            continue;  // pulled already, not yet heard
        }
        const uint64_t length = entry.header->dwBufferLength / frameBytes;
        const uint64_t offset = pulled - (entry.end - length);
        const size_t take =
            static_cast<size_t>(std::min<uint64_t>(length - offset, frames - copied));
        std::memcpy(destination + copied * frameBytes, entry.header->lpData + offset * frameBytes,
                    take * frameBytes);
        copied += take;
        pulled += take;
    }
    return copied;
}

void PulledQueue::finishPlayed(uint64_t playedFrames) {
    std::lock_guard notices(noticeMutex);
    size_t count = 0;
    {
        std::lock_guard lock(queueMutex);
        const uint64_t played = std::min(playedFrames, pulled);
        while (count < entries.size() && entries.at(count).end <= played) {
            ++count;
        }
    }
    handBackFront(count);
}

void PulledQueue::handBackAll(bool lose) {
    std::lock_guard notices(noticeMutex);
    size_t count = 0;
    {
        std::lock_guard lock(queueMutex);
        count = entries.size();
        queuedEnd = 0;
        pulled = 0;
        isLost = isLost || lose;
    }
    handBackFront(count);
}

void PulledQueue::handBackFront(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        WaveHeader* header = nullptr;
        {
            std::lock_guard lock(queueMutex);
            if (entries.empty()) {
                return;
            }
            header = entries.pop().header;
            header->dwFlags = (header->dwFlags & ~kWhdrInQueue) | kWhdrDone;
        }
        callback(owner, kWomDone, instance, reinterpret_cast<uintptr_t>(header), 0);
    }
}

uint64_t PulledQueue::pulledFrames() const {
    std::lock_guard lock(queueMutex);
    return pulled;
}

uint64_t PulledQueue::unpulledFrames() const {
    std::lock_guard lock(queueMutex);
    return queuedEnd - pulled;
}

bool PulledQueue::holdsBuffers() const {
    std::lock_guard lock(queueMutex);
    return !entries.empty();
}

std::optional<uint64_t> PulledQueue::oldestEnd() const {
    std::lock_guard lock(queueMutex);
    if (entries.empty()) {
        return std::nullopt;
    }
    return entries.at(0).end;
}

bool PulledQueue::lost() const {
    std::lock_guard lock(queueMutex);
    return isLost;
}
