// The PipeWire objects behind one open of PipewireWaveOutDevice and their callbacks: the thread
// loop, the context, the connection and the playback stream, with the queue of written buffers
// that the stream's process callback drains. Private to the PipeWire layer.
//
// Locks: the loop's lock is held by the library's loop thread around every loop callback
// (state changes, the connection's errors), so stateMutex, which those callbacks take, is never
// held while the loop's lock is taken. The process callback runs on the data thread without the
// loop's lock and touches only the queue, the play marks and atomics.
#pragma once

#include <pipewire/pipewire.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "output/pipewire/device_pipewire.h"
#include "output/pipewire/device_pipewire_format.h"
#include "output/pulled_queue.h"

// When the frames pulled so far will have been heard: marks of (stream position, graph tick at
// which the frame before it reaches the listener), oldest first, in a fixed ring so that the
// process callback never allocates. A full ring folds the newest mark into the latest one,
// which only hands buffers back later, never too early.
class PlayMarks {
  public:
    void add(uint64_t endFrame, uint64_t heardAtTick);
    // The stream position heard by `tick`: the latest mark due by then (0 before any).
    uint64_t heardBy(uint64_t tick);
    void clear();

  private:
    struct Mark {
        uint64_t endFrame = 0;
        uint64_t heardAtTick = 0;
    };
    static constexpr size_t kCapacity = 32;
    std::array<Mark, kCapacity> marks{};
    size_t first = 0;
    size_t count = 0;
    uint64_t heard = 0;
};

struct PipewireWaveOutDevice::Stream {
    Stream(WaveOutDevice* owner, WaveOutCallback callback, uintptr_t instance,
           const PipewireFormat& format, uint32_t frameBytes);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Open's thread: makes the loop, connects and asks for the stream; kWaveNoError once the
    // request is sent (the answer comes through waitUntilAccepted).
    WaveResult start(const std::string& node, const std::string& mediaName,
                     std::chrono::microseconds latency);
    // Open's thread: waits, at most `limit`, until the server has accepted the stream (its format
    // is set), refused it, or cancelOpen was called; once accepted, at most `runLimit` more for
    // the first cycle of the graph, which tells the graph's rate (a stream that is not linked
    // yet is open all the same).
    WaveResult waitUntilAccepted(std::chrono::milliseconds limit,
                                 std::chrono::milliseconds runLimit);
    // After waitUntilAccepted: whether the server left the request unanswered for all its time.
    bool serverSilent() const { return silent; }
    // Any thread: the open waiting in waitUntilAccepted gives up at once.
    void cancelOpen();

    // Application threads, under the loop's lock: drop what the server holds / rename.
    void flush();
    void rename(const std::string& mediaName);
    // Close's thread: disconnects and destroys everything; bounded (nothing waits on the server).
    void stop();

    PulledQueue queue;
    const PipewireFormat format;
    const WaveOutCallback callback;
    const uintptr_t instance;
    std::atomic<uint64_t> underruns{0};
    std::atomic<uint32_t> graphRateHz{0};
    std::atomic<uint32_t> resets{0};  // raised by reset: the data thread forgets its marks

  private:
    static void onStateChanged(void* data, pw_stream_state old, pw_stream_state state,
                               const char* error);
    static void onProcess(void* data);
    // Invoked on the loop's thread by the data thread once the graph's rate is known.
    static int onRateKnown(spa_loop* loop, bool async, uint32_t seq, const void* data, size_t size,
                           void* user);
    static void onCoreError(void* data, uint32_t id, int seq, int res, const char* message);

    // The loop's thread: the server is gone or the stream ended by itself.
    void lose();
    // Data thread: hands back what the listener has heard, from the stream's clock.
    void finishHeard(uint64_t pulledEnd, size_t framesQueued);

    const uint32_t frameBytes;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{};
    spa_hook streamListener{};
    bool loopRunning = false;

    std::mutex stateMutex;
    std::condition_variable stateChanged;
    bool accepted = false;  // guarded by stateMutex, as are the five below
    bool refused = false;
    bool coreFailed = false;
    bool cancelled = false;
    bool stopping = false;
    bool rateKnown = false;
    bool silent = false;  // open's thread only

    // Data thread only.
    PlayMarks marks;
    uint32_t seenResets = 0;
    bool starved = false;
};
