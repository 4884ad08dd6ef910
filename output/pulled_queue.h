// The written buffers of a device layer whose sound server pulls the audio on a thread of its own
// (PipeWire's process callback, PulseAudio's write request), and their finished notices.
//
// Positions count in frames from the latest handBackAll(): a written buffer occupies
// [start, end) of the stream. The server's thread copies queued frames out with pull(), in the
// order written, and tells with finishPlayed() how far the server has played; every buffer whose
// last frame is at or before that point is handed back with its finished notice. A buffer is
// therefore finished when it is heard (as far as the server tells), not when it was copied, so
// the audio ahead of the listener stays within the output module's queue.
//
// Buffer memory is read only under the queue lock and only for buffers still queued, so a buffer
// handed back is never touched again. Notices are given under a notice lock taken before the
// queue lock, so notices from the server's thread and from reset or close (handBackAll) never
// overtake each other. The locks are held for one buffer's copy at most, never across a call
// into the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "output/ring_fifo.h"
#include "output/wave_device.h"

class PulledQueue {
  public:
    // owner, callback and instance are passed to every finished notice; frameBytes is the open
    // format's block align.
    PulledQueue(WaveOutDevice* owner, WaveOutCallback callback, uintptr_t instance,
                uint32_t frameBytes);

    // Application threads: queues the header (kWhdrInQueue set, kWhdrDone cleared). False, with
    // nothing queued, once the queue is lost.
    bool write(WaveHeader& header);

    // Server thread: copies up to `frames` queued frames into `destination` (frames × frameBytes
    // bytes of room) and returns how many it copied; fewer when the queue runs short.
    size_t pull(char* destination, size_t frames);

    // Server thread: hands back, in order, every buffer that ends at or before `playedFrames`
    // (a position in frames since the latest handBackAll, never past what was pulled).
    void finishPlayed(uint64_t playedFrames);

    // Any thread: hands back every queued buffer and counts positions from 0 again. With
    // lose = true later writes are refused until the queue is made anew (the server is gone).
    void handBackAll(bool lose = false);

    // Frames pulled since the latest handBackAll; frames queued and not yet pulled.
    uint64_t pulledFrames() const;
    uint64_t unpulledFrames() const;
    // Whether any written buffer is still waiting for its notice.
    bool holdsBuffers() const;
    // The position just past the oldest buffer still waiting for its notice, if any.
    std::optional<uint64_t> oldestEnd() const;
    bool lost() const;

  private:
    struct Entry {
        WaveHeader* header = nullptr;
        uint64_t end = 0;  // the stream position just past its last frame
    };

    // With noticeMutex held: hands back the first `count` buffers.
    void handBackFront(size_t count);

    WaveOutDevice* const owner;
    const WaveOutCallback callback;
    const uintptr_t instance;
    const uint32_t frameBytes;

    std::mutex noticeMutex;  // taken before queueMutex
    mutable std::mutex queueMutex;
    RingFifo<Entry> entries;  // guarded by queueMutex, as are the three below
    uint64_t queuedEnd = 0;   // the end of the last queued buffer
    uint64_t pulled = 0;      // frames copied out
    bool isLost = false;
};
