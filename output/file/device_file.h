// A device layer that plays into a sound file: the frames of every finished buffer go into the
// file exactly as the output module made them, through a FileWriter of the platform.
//
// Two ways of giving the finished notices, chosen at construction:
//  - Unpaced: write() stores the buffer and gives its notice before it returns, so the playback
//    loop renders as fast as the machine allows.
//  - Paced: a worker thread gives the notices on the wall clock as a sound card would: a buffer
//    of N frames finishes N / rate seconds after the one before it, or after its write when
//    nothing was playing. Its frames go into the file when it finishes, so reset() drops the
//    audio not yet heard, as a card does, and every change lands in the file where it was heard.
//
// With a duration, the file gets exactly llround(seconds × rate) frames (the rate of the open
// format), the frames beyond are dropped, the file is then finished at once, and later writes
// are refused (queued nothing, no notice), which leaves the loop waiting until it is closed.
// A write that fails stops the writing the same way: the file is closed with a header that
// matches the frames it holds, and error() tells what happened.
//
// open() refuses a format the file kind cannot hold (kWaveBadFormat, so the output module's
// search goes on) and answers kWaveError when the file cannot be created; error() then tells
// why. close() and the destructor finish the file.
//
// Threads: open, close, prepareHeader, unprepareHeader, write and reset may come from any
// thread (the playback thread, a control handler). In paced mode the notices come from the
// worker, or from the caller of reset/close for the buffers those drop; in unpaced mode from the
// caller of write. The file is written under the delivery lock, which is never held while
// waiting on the clock, so reset() waits at most for one buffer being stored.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "output/file/file_output.h"
#include "output/wave_device.h"

enum class FilePacing {
    Unpaced,  // notices at once: render as fast as possible
    Paced,    // notices on the wall clock, like a sound card
};

class FileWaveOutDevice : public WaveOutDevice {
  public:
    // Throws std::invalid_argument for a null writer, a duration that is negative or not
    // finite, or unpaced output without a duration (it would never end).
    FileWaveOutDevice(std::string path, std::unique_ptr<FileWriter> writer, FilePacing pacing,
                      std::optional<double> durationSeconds);
    ~FileWaveOutDevice() override;

    WaveResult open(const WaveFormatExtensible& format, WaveOutCallback callback,
                    uintptr_t instance) override;
    WaveResult prepareHeader(WaveHeader& header) override;
    WaveResult unprepareHeader(WaveHeader& header) override;
    WaveResult write(WaveHeader& header) override;
    WaveResult reset() override;
    WaveResult close() override;

    // True once the file of the latest open is finished: all the frames of the duration
    // written and the file closed, or writing stopped by a failure, or the device closed.
    // False when none of these happened within `limit`. Any thread.
    bool waitUntilComplete(std::chrono::milliseconds limit) const;

    // What went wrong in the latest open or since: None while all is well. Kept after close().
    // Any thread.
    // A file that refuses writes is complete or failed: it must not be opened again.
    bool mayComeBack() const override { return false; }

    FileOutputError error() const;

    // A file's channels are the speakers of its format's mask, which it records.
    std::vector<uint32_t> channelSpeakers() const override;

    // Frames stored in the file since the latest open. Any thread.
    uint64_t framesWritten() const;

    const std::string& path() const { return filePath; }

  private:
    struct Pending {
        WaveHeader* header;
        std::chrono::steady_clock::time_point due;
    };

    // Stores the buffer's frames (up to the frame limit) and gives its notice. The caller holds
    // deliveryMutex.
    void deliver(WaveHeader& header);
    // Closes the file and wakes waitUntilComplete; `failure` (if any) is recorded first. The
    // caller holds deliveryMutex.
    void finishFile(FileOutputError failure);
    // The paced worker: gives each queued buffer its notice when it is due.
    void pace();
    // Hands back every queued buffer with its notice, oldest first. The caller holds
    // deliveryMutex.
    void dropQueued();
    void stopWorker();

    const std::string filePath;
    const std::unique_ptr<FileWriter> writer;
    const FilePacing pacing;
    const std::optional<double> durationSeconds;

    // Set by open, read by every call; changed only while no buffer is queued.
    WaveOutCallback callback = nullptr;
    uintptr_t instance = 0;
    uint32_t frameBytes = 0;
    uint32_t rateHz = 0;
    uint32_t channelMask = 0;
    std::optional<uint64_t> frameLimit;

    // Serialises open and close, which start and end the worker. Taken before every other lock.
    std::mutex lifecycleMutex;

    // Serialises the file and the notices. Taken before stateMutex, never while waiting.
    std::mutex deliveryMutex;
    bool isOpen = false;   // under deliveryMutex
    bool writing = false;  // the file is open and takes frames; under deliveryMutex

    // The paced queue and its clock.
    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<Pending> queue;
    std::chrono::steady_clock::time_point anchor;  // when the current run of buffers started
    uint64_t anchorFrames = 0;                     // frames queued since the anchor
    bool stopRequested = false;
    std::thread worker;

    // Completion, for waitUntilComplete and the queries.
    mutable std::mutex statusMutex;
    mutable std::condition_variable statusChanged;
    bool finished = false;
    FileOutputError failure = FileOutputError::None;
    uint64_t written = 0;
};
