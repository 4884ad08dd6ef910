// The application-facing calls of the ALSA layer and the worker's life: open starts a worker
// that opens the PCM and plays (device_alsa_player.cpp); reset and close hand the queued buffers
// back themselves and wait, within limits, for the worker to follow.
#include "output/alsa/device_alsa.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "output/alsa/device_alsa_pcm.h"
#include "output/alsa/device_alsa_player.h"
#include "output/alsa/device_alsa_session.h"
#include "threading/worker_thread.h"

int alsaMakeWakeFd() {
    return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

int (*g_alsaMakeWakeFd)() = &alsaMakeWakeFd;

namespace {

using Clock = std::chrono::steady_clock;

// Bounds on the waits of the application-facing calls. Reset and close never wait for a server
// that does not answer (a stopped PulseAudio blocks every drop): reset's buffers are handed back
// before it waits, and a worker that close gives up on ends by itself once ALSA answers. Their
// sum stays well below half a second, so that a program ends at once whatever the server does.
constexpr auto kOpenTimeout = std::chrono::seconds(5);
constexpr auto kResetTimeout = std::chrono::milliseconds(150);
constexpr auto kCloseTimeout = std::chrono::milliseconds(150);
// Workers given up on while stuck in alsa-lib (a server that does not answer). While this many
// are still stuck, open refuses at once instead of adding another thread to the pile.
constexpr int kMaxStuckWorkers = 4;

}  // namespace

void AlsaWaveOutDevice::Session::run() {
    AlsaPcm pcm;
    const int err = pcm.open(pcmName, configText, format, timing);
    bool stopped = false;
    {
        std::lock_guard lock(queueMutex);
        openDone = true;
        openError = err;
        speakers = pcm.channelSpeakers();
        stopped = stopRequested;
    }
    changed.notify_all();
    if (err < 0 || stopped) {
        pcm.close();
        endWorker();
        return;
    }
    Player(*this, pcm).play();
    bool deviceGone = false;
    {
        std::lock_guard lock(queueMutex);
        deviceGone = lost;
    }
    if (!deviceGone) {
        pcm.dropAndPrepare();
    }
    pcm.close();
    endWorker();
}

void AlsaWaveOutDevice::Session::handBack(size_t count) {
    for (size_t i = 0; i < count; ++i) {
        WaveHeader* header = nullptr;
        {
            std::lock_guard lock(queueMutex);
            if (queue.empty()) {
                return;
            }
            header = queue.pop().header;
            header->dwFlags = (header->dwFlags & ~kWhdrInQueue) | kWhdrDone;
        }
        callback(owner, kWomDone, instance, reinterpret_cast<uintptr_t>(header), 0);
    }
}
AlsaWaveOutDevice::AlsaWaveOutDevice(std::string pcmName, std::string configText)
    : pcmName(std::move(pcmName)), configText(std::move(configText)) {
    if (!this->configText.empty()) {
        snd_config_t* tree = nullptr;
        if (loadAlsaConfig(this->configText, &tree) < 0) {
            throw std::invalid_argument("AlsaWaveOutDevice: the ALSA configuration does not parse");
        }
        snd_config_delete(tree);
    }
}

AlsaWaveOutDevice::~AlsaWaveOutDevice() {
    close();
}

void AlsaWaveOutDevice::planQueue(int32_t bufferCount, std::chrono::microseconds bufferDuration) {
    std::lock_guard guard(sessionMutex);
    timing = alsaTimingFor(bufferCount, bufferDuration);
}

std::shared_ptr<AlsaWaveOutDevice::Session> AlsaWaveOutDevice::currentSession() const {
    std::lock_guard lock(sessionMutex);
    return session;
}

WaveResult AlsaWaveOutDevice::open(const WaveFormatExtensible& format, WaveOutCallback callback,
                                   uintptr_t instance) {
    std::lock_guard guard(sessionMutex);
    if (session) {
        return kWaveAllocated;
    }
    if (const WaveResult check = checkWaveFormat(format); check != kWaveNoError) {
        return check;
    }
    if (callback == nullptr) {
        return kWaveError;
    }
    if (g_stuckAlsaWorkers.load() >= kMaxStuckWorkers) {
        return kWaveAllocated;  // the device has not answered the earlier attempts yet
    }
    auto s = std::make_shared<Session>(pcmName, configText, format, this, callback, instance);
    s->timing = timing;
    if (s->wakeFd < 0) {
        return kWaveError;
    }
    {
        std::lock_guard lock(openingMutex);
        if (opensRefused) {
            return kWaveError;
        }
        opening = s;
    }
    if (!createWorkerThread(s->worker, [s] { s->run(); })) {
        std::lock_guard lock(openingMutex);
        opening.reset();
        return kWaveNoMemory;
    }
    bool answered = false;
    {
        std::unique_lock lock(s->queueMutex);
        s->changed.wait_for(lock, kOpenTimeout, [&] { return s->openDone || s->openCancelled; });
        answered = s->openDone;
        if (!answered) {
            s->stopRequested = true;  // the worker closes the PCM once ALSA answers
            s->abandonLocked();
        }
    }
    {
        std::lock_guard lock(openingMutex);
        opening.reset();
    }
    if (!answered) {
        s->worker.detach();
        return kWaveError;
    }
    if (s->openError < 0) {
        s->worker.join();
        return waveResultFromAlsa(s->openError);
    }
    session = s;
    callback(this, kWomOpen, instance, 0, 0);
    return kWaveNoError;
}

std::vector<uint32_t> AlsaWaveOutDevice::channelSpeakers() const {
    const auto s = currentSession();
    if (!s) {
        return {};
    }
    std::lock_guard lock(s->queueMutex);
    return s->speakers;
}

WaveResult AlsaWaveOutDevice::prepareHeader(WaveHeader& header) {
    return markHeaderPrepared(header, currentSession() != nullptr);
}

WaveResult AlsaWaveOutDevice::unprepareHeader(WaveHeader& header) {
    return markHeaderUnprepared(header, currentSession() != nullptr);
}

WaveResult AlsaWaveOutDevice::write(WaveHeader& header) {
    const auto s = currentSession();
    if (!s) {
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & kWhdrPrepared) == 0) {
        return kWaveUnprepared;
    }
    if ((header.dwFlags & kWhdrInQueue) != 0 || header.lpData == nullptr) {
        return kWaveError;
    }
    const uint64_t frames = header.dwBufferLength / s->format.nBlockAlign;
    bool wake = false;
    {
        std::lock_guard lock(s->queueMutex);
        if (s->lost || s->workerEnded || s->stopRequested) {
            return kWaveError;
        }
        header.dwFlags = (header.dwFlags & ~kWhdrDone) | kWhdrInQueue;
        s->queue.push({&header, s->resetGeneration, s->queuedEndFrame, s->queuedEndFrame + frames});
        s->queuedEndFrame += frames;
        wake = s->wakeOnWrite;
    }
    if (wake) {
        s->wake();
    }
    return kWaveNoError;
}

WaveResult AlsaWaveOutDevice::reset() {
    const auto s = currentSession();
    if (!s) {
        return kWaveInvalidHandle;
    }
    uint64_t generation = 0;
    {
        std::lock_guard notify(s->notifyMutex);
        size_t count = 0;
        {
            std::lock_guard lock(s->queueMutex);
            generation = ++s->resetGeneration;
            s->queuedEndFrame = 0;
            s->wakeOnWrite = true;
            count = s->queue.size();
        }
        s->handBack(count);
    }
    s->wake();
    std::unique_lock lock(s->queueMutex);
    const bool dropped = s->changed.wait_for(lock, kResetTimeout, [&] {
        return s->droppedGeneration >= generation || s->workerEnded || s->lost;
    });
    return dropped ? kWaveNoError : kWaveError;
}

WaveResult AlsaWaveOutDevice::close() {
    std::shared_ptr<Session> s;
    {
        std::lock_guard lock(sessionMutex);
        s = std::move(session);
        session.reset();
    }
    if (!s) {
        return kWaveInvalidHandle;
    }
    {
        std::lock_guard notify(s->notifyMutex);
        size_t count = 0;
        {
            std::lock_guard lock(s->queueMutex);
            s->stopRequested = true;
            ++s->resetGeneration;
            s->queuedEndFrame = 0;
            count = s->queue.size();
        }
        s->handBack(count);
    }
    s->wake();
    bool ended = false;
    {
        std::unique_lock lock(s->queueMutex);
        ended = s->changed.wait_for(lock, kCloseTimeout, [&] { return s->workerEnded; });
        if (!ended) {
            s->abandonLocked();
        }
    }
    if (ended) {
        s->worker.join();
    } else {
        // The worker holds the session and closes the PCM once ALSA answers; it touches neither
        // this object nor the caller's buffers (all handed back above), and gives no notices.
        s->worker.detach();
    }
    {
        std::lock_guard lock(sessionMutex);
        closedUnderruns = s->underruns.load(std::memory_order_relaxed);
    }
    s->callback(this, kWomClose, s->instance, 0, 0);
    return ended ? kWaveNoError : kWaveError;
}

uint64_t AlsaWaveOutDevice::underrunCount() const {
    std::lock_guard lock(sessionMutex);
    return session ? session->underruns.load(std::memory_order_relaxed) : closedUnderruns;
}

void AlsaWaveOutDevice::refuseOpens(bool refuse) {
    std::shared_ptr<Session> s;
    {
        std::lock_guard lock(openingMutex);
        opensRefused = refuse;
        s = refuse ? opening : nullptr;
    }
    if (s) {
        {
            std::lock_guard lock(s->queueMutex);
            s->openCancelled = true;
        }
        s->changed.notify_all();
    }
}

bool AlsaWaveOutDevice::deviceLost() const {
    const auto s = currentSession();
    if (!s) {
        return false;
    }
    std::lock_guard lock(s->queueMutex);
    return s->lost;
}
