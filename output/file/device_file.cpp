// The file device: open and close around the platform's FileWriter, the frame limit, and the two
// ways of giving finished notices (at once, or on the wall clock from a worker thread).
#include "output/file/device_file.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "output/speakers.h"
#include "threading/worker_thread.h"

namespace {

// The longest a worker waits before it looks at its state again, so that no wait is unbounded.
constexpr auto kLongestWait = std::chrono::milliseconds(100);

bool isIntegerPcm(const WaveFormatExtensible& f) {
    const int bits = f.wBitsPerSample;
    return f.wFormatTag == kWaveFormatExtensible && f.SubFormat == kSubtypePcm &&
           (bits == 16 || bits == 24 || bits == 32) && f.Samples.wValidBitsPerSample == bits &&
           f.nChannels > 0 && f.nSamplesPerSec > 0 && f.nBlockAlign == f.nChannels * bits / 8;
}

}  // namespace

FileWaveOutDevice::FileWaveOutDevice(std::string path, std::unique_ptr<FileWriter> writer,
                                     FilePacing pacing, std::optional<double> durationSeconds)
    : filePath(std::move(path)),
      writer(std::move(writer)),
      pacing(pacing),
      durationSeconds(durationSeconds) {
    if (this->writer == nullptr) {
        throw std::invalid_argument("no file writer");
    }
    if (durationSeconds && (!std::isfinite(*durationSeconds) || *durationSeconds < 0.0)) {
        throw std::invalid_argument("duration not a finite count of seconds from 0 up");
    }
    if (pacing == FilePacing::Unpaced && !durationSeconds) {
        throw std::invalid_argument("unpaced file output needs a duration");
    }
}

FileWaveOutDevice::~FileWaveOutDevice() {
    close();
}

WaveResult FileWaveOutDevice::open(const WaveFormatExtensible& format, WaveOutCallback cb,
                                   uintptr_t inst) {
    std::lock_guard lifecycle(lifecycleMutex);
    std::lock_guard delivery(deliveryMutex);
    if (isOpen) {
        return kWaveAllocated;
    }
    if (!isIntegerPcm(format) || !writer->holds(format)) {
        return kWaveBadFormat;
    }
    {
        std::lock_guard status(statusMutex);
        finished = false;
        failure = FileOutputError::None;
        written = 0;
    }
    // The worker first, so that a file is never made that could not be written.
    if (pacing == FilePacing::Paced) {
        {
            std::lock_guard lock(queueMutex);
            stopRequested = false;
            queue.clear();
        }
        if (!createWorkerThread(worker, &FileWaveOutDevice::pace, this)) {
            return kWaveNoMemory;
        }
    }
    const FileOutputError created = writer->create(filePath, format);
    if (created != FileOutputError::None) {
        stopWorker();
        std::lock_guard status(statusMutex);
        failure = created;
        finished = true;
        statusChanged.notify_all();
        return kWaveError;
    }
    callback = cb;
    instance = inst;
    frameBytes = format.nBlockAlign;
    rateHz = format.nSamplesPerSec;
    channelMask = format.dwChannelMask;
    frameLimit.reset();
    if (durationSeconds) {
        frameLimit = static_cast<uint64_t>(std::llround(*durationSeconds * rateHz));
    }
    isOpen = true;
    writing = true;
    if (frameLimit == 0u) {
        finishFile(FileOutputError::None);
    }
    return kWaveNoError;
}

WaveResult FileWaveOutDevice::prepareHeader(WaveHeader& header) {
    std::lock_guard delivery(deliveryMutex);
    return markHeaderPrepared(header, isOpen);
}

WaveResult FileWaveOutDevice::unprepareHeader(WaveHeader& header) {
    std::lock_guard delivery(deliveryMutex);
    return markHeaderUnprepared(header, isOpen);
}

WaveResult FileWaveOutDevice::write(WaveHeader& header) {
    std::lock_guard delivery(deliveryMutex);
    if (!isOpen) {
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & kWhdrPrepared) == 0) {
        return kWaveUnprepared;
    }
    if ((header.dwFlags & kWhdrInQueue) != 0 || header.lpData == nullptr || !writing) {
        return kWaveError;
    }
    header.dwFlags = (header.dwFlags & ~kWhdrDone) | kWhdrInQueue;
    if (pacing == FilePacing::Unpaced) {
        deliver(header);
        return kWaveNoError;
    }
    const uint64_t frames = header.dwBufferLength / frameBytes;
    {
        std::lock_guard lock(queueMutex);
        if (queue.empty()) {
            // Nothing is playing: this buffer starts now, as on a card after an underrun.
            anchor = std::chrono::steady_clock::now();
            anchorFrames = 0;
        }
        anchorFrames += frames;
        // Due times come from the frame count since the anchor, so that they do not drift; whole
        // seconds and the rest apart, so that a session of days does not overflow.
        constexpr uint64_t kNanosecondsPerSecond = 1'000'000'000;
        const auto sinceAnchor = std::chrono::nanoseconds(
            static_cast<int64_t>(anchorFrames / rateHz * kNanosecondsPerSecond +
                                 anchorFrames % rateHz * kNanosecondsPerSecond / rateHz));
        queue.push_back({&header, anchor + sinceAnchor});
    }
    queueChanged.notify_all();
    return kWaveNoError;
}

WaveResult FileWaveOutDevice::reset() {
    std::lock_guard delivery(deliveryMutex);
    if (!isOpen) {
        return kWaveInvalidHandle;
    }
    dropQueued();
    return kWaveNoError;
}

WaveResult FileWaveOutDevice::close() {
    std::lock_guard lifecycle(lifecycleMutex);
    // The worker takes deliveryMutex to deliver, so it is ended before that lock is taken.
    stopWorker();
    std::lock_guard delivery(deliveryMutex);
    if (!isOpen) {
        return kWaveInvalidHandle;
    }
    dropQueued();
    if (writing) {
        finishFile(FileOutputError::None);
    }
    isOpen = false;
    return kWaveNoError;
}

bool FileWaveOutDevice::waitUntilComplete(std::chrono::milliseconds limit) const {
    std::unique_lock lock(statusMutex);
    return statusChanged.wait_for(lock, limit, [&] { return finished; });
}

FileOutputError FileWaveOutDevice::error() const {
    std::lock_guard lock(statusMutex);
    return failure;
}

std::vector<uint32_t> FileWaveOutDevice::channelSpeakers() const {
    return speakerBitsOfMask(channelMask);
}

uint64_t FileWaveOutDevice::framesWritten() const {
    std::lock_guard lock(statusMutex);
    return written;
}

void FileWaveOutDevice::deliver(WaveHeader& header) {
    if (writing) {
        uint64_t frames = header.dwBufferLength / frameBytes;
        uint64_t before = 0;
        {
            std::lock_guard lock(statusMutex);
            before = written;
        }
        if (frameLimit) {
            frames = std::min(frames, *frameLimit - before);
        }
        uint64_t stored = 0;
        const FileOutputError result = writer->write(header.lpData, frames, stored);
        {
            std::lock_guard lock(statusMutex);
            written = before + stored;
        }
        if (result != FileOutputError::None) {
            finishFile(result);
        } else if (frameLimit && before + frames == *frameLimit) {
            finishFile(FileOutputError::None);
        }
    }
    header.dwFlags = (header.dwFlags & ~kWhdrInQueue) | kWhdrDone;
    callback(this, kWomDone, instance, reinterpret_cast<uintptr_t>(&header), 0);
}

void FileWaveOutDevice::finishFile(FileOutputError cause) {
    writing = false;
    const FileOutputError finishing = writer->finish();
    std::lock_guard lock(statusMutex);
    if (failure == FileOutputError::None) {
        failure = cause != FileOutputError::None ? cause : finishing;
    }
    finished = true;
    statusChanged.notify_all();
}

void FileWaveOutDevice::dropQueued() {
    std::deque<Pending> dropped;
    {
        std::lock_guard lock(queueMutex);
        dropped.swap(queue);
    }
    for (const Pending& pending : dropped) {
        pending.header->dwFlags = (pending.header->dwFlags & ~kWhdrInQueue) | kWhdrDone;
        callback(this, kWomDone, instance, reinterpret_cast<uintptr_t>(pending.header), 0);
    }
}

void FileWaveOutDevice::pace() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(queueMutex);
    while (!stopRequested) {
        const Clock::time_point now = Clock::now();
        if (queue.empty() || now < queue.front().due) {
            const Clock::time_point wake = queue.empty()
                                               ? now + kLongestWait
                                               : std::min(queue.front().due, now + kLongestWait);
            queueChanged.wait_until(lock, wake);
            continue;
        }
        // Due. The delivery lock comes first in the order of locks, so the queue is looked at
        // again under both: a reset may have emptied it meanwhile.
        lock.unlock();
        {
            std::lock_guard delivery(deliveryMutex);
            WaveHeader* header = nullptr;
            {
                std::lock_guard again(queueMutex);
                if (!queue.empty() && queue.front().due <= Clock::now()) {
                    header = queue.front().header;
                    queue.pop_front();
                }
            }
            if (header != nullptr) {
                deliver(*header);
            }
        }
        lock.lock();
    }
}

void FileWaveOutDevice::stopWorker() {
    {
        std::lock_guard lock(queueMutex);
        stopRequested = true;
    }
    queueChanged.notify_all();
    if (worker.joinable()) {
        worker.join();
    }
}
