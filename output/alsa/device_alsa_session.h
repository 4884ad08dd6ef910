// The state that an ALSA device object shares with its worker thread: the queue of written
// buffers, the requests of the application-facing calls and the worker's answers. Private to
// the ALSA layer (device_alsa.cpp and device_alsa_player.cpp).
//
// Finished notices are given under notifyMutex, which is taken before the queue lock, so that
// notices from the worker and from reset or close never overtake each other.
#pragma once

#include <unistd.h>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "output/alsa/device_alsa.h"
#include "output/ring_fifo.h"

// Workers given up on while stuck in alsa-lib (a server that does not answer), counted by the
// sessions themselves; see kMaxStuckWorkers in device_alsa.cpp.
inline std::atomic<int> g_stuckAlsaWorkers{0};

// A written buffer's place in the stream. Positions count from the drop of its generation (the
// number of resets before it was written); reset hands back the buffers of the older generations
// one by one, and the worker, which may already play the new generation by then, leaves them
// alone.
struct QueuedBuffer {
    WaveHeader* header = nullptr;
    uint64_t generation = 0;
    uint64_t startFrame = 0;
    uint64_t endFrame = 0;
};

using BufferQueue = RingFifo<QueuedBuffer>;

struct AlsaWaveOutDevice::Session {
    Session(std::string pcmName, std::string configText, const WaveFormatExtensible& format,
            WaveOutDevice* owner, WaveOutCallback callback, uintptr_t instance)
        : pcmName(std::move(pcmName)),
          configText(std::move(configText)),
          format(format),
          owner(owner),
          callback(callback),
          instance(instance),
          wakeFd(g_alsaMakeWakeFd()) {}
    ~Session() {
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }

    // Worker thread.
    void run();

    // Any thread: makes the worker look at the queue and the requests.
    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd, &one, sizeof one);
    }

    // Any thread, with notifyMutex held and queueMutex not: hands back the first `count` queued
    // buffers with their finished notices.
    void handBack(size_t count);

    const std::string pcmName;
    const std::string configText;
    const WaveFormatExtensible format;
    AlsaTiming timing;  // set before the worker starts
    WaveOutDevice* const owner;
    const WaveOutCallback callback;
    const uintptr_t instance;
    const int wakeFd;
    std::thread worker;

    std::mutex notifyMutex;  // held while finished notices are given; taken before queueMutex
    std::mutex queueMutex;
    std::condition_variable changed;  // open done, drop done, worker ended

    // Guarded by queueMutex.
    BufferQueue queue;
    uint64_t queuedEndFrame = 0;     // stream position at the end of the last queued buffer
    uint64_t resetGeneration = 0;    // raised by every reset; the worker then drops
    uint64_t droppedGeneration = 0;  // the latest reset the worker has carried out
    bool openDone = false;
    int openError = 0;
    std::vector<uint32_t> speakers;  // of the opened PCM's map
    bool stopRequested = false;      // by close (or an abandoned open): no more notices, end
    bool lost = false;
    bool workerEnded = false;
    bool openCancelled = false;  // refuseOpens: the open in progress gives up at once
    bool abandoned = false;      // given up on by open or close while still in alsa-lib
    bool wakeOnWrite = true;     // the worker needs a written buffer before it wakes by itself

    // The worker's last step: marks it ended (and no longer stuck) and wakes the waiters.
    void endWorker() {
        {
            std::lock_guard lock(queueMutex);
            workerEnded = true;
            if (abandoned) {
                g_stuckAlsaWorkers.fetch_sub(1);
            }
        }
        changed.notify_all();
    }

    // Called with queueMutex held by open or close when they stop waiting for the worker: the
    // worker keeps the session alive through its own reference and ends once ALSA answers.
    void abandonLocked() {
        if (!workerEnded && !abandoned) {
            abandoned = true;
            g_stuckAlsaWorkers.fetch_add(1);
        }
    }

    std::atomic<uint64_t> underruns{0};

  private:
    class Player;
};
