// How the worker plays. Positions are counted in frames from the latest drop: a written buffer
// occupies [startFrame, endFrame) of the stream; `copied` frames have been taken out of the queue
// into the scratch buffer, `written` of them have been accepted by the ring, and the device has
// consumed `written - fill` of them, where fill is the ring size minus snd_pcm_avail. One pass:
//  1. take over a reset (drop at once, prepare, start counting from 0) or a close;
//  2. read the ring's room once, and hand back, in order, every buffer whose last frame has been
//     consumed;
//  3. feed: copy as many queued frames as the ring has room for into the scratch buffer, in the
//     device's channel order, and write them without blocking;
//  4. start the stream when nothing more is waiting to be written, or when the ring is full;
//  5. poll the wake-up eventfd, plus the PCM's descriptors while frames wait to be written, until
//     the moment the oldest buffer will have been consumed.
// Wake-ups cost battery, so the worker sleeps from one buffer's end to the next: the moment is
// fixed when the consumed position moves and kept while it does not (a sound server reports
// consumption in period-sized steps, so the position can stand still between them), and it is
// looked at again only a step later when the position has not got there yet. After handing a
// buffer back it also looks once for that buffer written again (kPickUpMs). A written buffer
// wakes it only while the ring would otherwise run low before that, or before the stream has
// started; whole buffers go to the ring in one write, since every write also wakes the sound
// server's client thread.
// Buffer memory is read only under the queue lock, and only for buffers still queued, so a
// buffer handed back (by the worker, by reset, by close or on device loss) is never touched
// again, even while the worker is inside a slow ALSA call.
//
// Finished notices are given under notifyMutex, which is taken before the queue lock, so that
// notices from the worker and from reset or close never overtake each other.
#include "output/device_alsa.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "output/device_alsa_pcm.h"
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
// Queued audio that the device has not consumed for this long means the device is gone (a card
// removed behind dmix can answer "try again" for ever). PulseAudio may stall a new stream for
// about two seconds before it starts consuming, and a busy or briefly stopped server for longer;
// such a server is slow, not lost, and plays on by itself once it runs again.
constexpr auto kStallLimit = std::chrono::seconds(12);
// Workers given up on while stuck in alsa-lib (a server that does not answer). While this many
// are still stuck, open refuses at once instead of adding another thread to the pile.
constexpr int kMaxStuckWorkers = 4;
std::atomic<int> g_stuckWorkers{0};
// The worker looks at the consumed position at least this often while buffers are queued, to
// notice a device that stopped consuming.
constexpr int kMaxPollMs = 250;
// A buffer is finished this long after the moment its end is due, so that a position reported a
// little late does not cost a second wake-up.
constexpr int kDeadlineSlackMs = 2;
// A written buffer wakes the worker while the ring holds less than this much audio beyond the
// oldest buffer (at least one period): the server may take a period at once, and the worker
// may wake late on a busy machine.
constexpr int kRefillMarginMs = 20;
// A buffer handed back usually comes back soon, written again by its owner's next look (every
// 11 ms in the output module); the worker looks for it this long after handing one back rather
// than at the next buffer's end, so that the ring never runs low while the server takes a period
// at a time. A separate wake-up by every write would cost more: the writer and the worker then
// take turns with the sound server's client thread.
constexpr int kPickUpMs = 15;
// After a pass without progress the PCM's descriptors are left out for this long, so that a
// descriptor that stays ready without letting anything through cannot make the worker spin.
constexpr int kIdlePassPollMs = 5;
// A device that fails again right after every recovery is treated as lost rather than retried
// for ever.
constexpr int kMaxRecoveriesInARow = 100;
constexpr snd_pcm_uframes_t kMinScratchFrames = 256;
constexpr snd_pcm_uframes_t kMaxScratchFrames = 16384;

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

// First-in first-out ring of queued buffers; it allocates only when it outgrows its largest size
// so far, never in the steady state of a few buffers cycling.
class BufferQueue {
  public:
    BufferQueue() : slots(8) {}
    bool empty() const { return count == 0; }
    size_t size() const { return count; }
    QueuedBuffer& at(size_t i) { return slots[(head + i) % slots.size()]; }
    QueuedBuffer& front() { return at(0); }
    void push(const QueuedBuffer& entry) {
        if (count == slots.size()) {
            std::vector<QueuedBuffer> grown(slots.size() * 2);
            for (size_t i = 0; i < count; ++i) {
                grown[i] = at(i);
            }
            slots.swap(grown);
            head = 0;
        }
        slots[(head + count) % slots.size()] = entry;
        ++count;
    }
    QueuedBuffer pop() {
        QueuedBuffer entry = slots[head];
        head = (head + 1) % slots.size();
        --count;
        return entry;
    }

  private:
    std::vector<QueuedBuffer> slots;
    size_t head = 0;
    size_t count = 0;
};

bool isRecoverable(long alsaError) {
    return alsaError == -EPIPE || alsaError == -ESTRPIPE || alsaError == -EINTR;
}

}  // namespace

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
                g_stuckWorkers.fetch_sub(1);
            }
        }
        changed.notify_all();
    }

    // Called with queueMutex held by open or close when they stop waiting for the worker: the
    // worker keeps the session alive through its own reference and ends once ALSA answers.
    void abandonLocked() {
        if (!workerEnded && !abandoned) {
            abandoned = true;
            g_stuckWorkers.fetch_add(1);
        }
    }

    std::atomic<uint64_t> underruns{0};

  private:
    class Player;
};

// The worker's playback state and its steps; lives on the worker's stack.
class AlsaWaveOutDevice::Session::Player {
  public:
    Player(Session& session, AlsaPcm& pcm) : s(session), pcm(pcm) {
        const snd_pcm_uframes_t period = pcm.periodSizeFrames();
        scratchFrames = std::clamp(pcm.ringFrames(), kMinScratchFrames, kMaxScratchFrames);
        periodMs = std::max<int>(1, static_cast<int>(period * 1000 / pcm.rateHz()));
        refillMarginFrames = std::max<uint64_t>(
            period, static_cast<uint64_t>(pcm.rateHz()) * kRefillMarginMs / 1000);
        scratch.resize(scratchFrames * pcm.frameBytes());
        fds.resize(pcm.pollDescriptorCount() + 1);
    }

    void play();

  private:
    enum class Step { Go, Again, End };

    Step takeRequests();
    long feed(snd_pcm_uframes_t room);
    long position(uint64_t& consumed, snd_pcm_uframes_t& fill, snd_pcm_uframes_t& room);
    void finishConsumed(uint64_t consumed);
    void noteQueue(uint64_t consumed);
    void waitForWork(bool progress);
    int msUntilDue();
    bool recoverFrom(long alsaError);
    void loseDevice();
    size_t copyQueued(size_t frames);

    Session& s;
    AlsaPcm& pcm;
    std::vector<char> scratch;
    size_t scratchFrames = 0;
    size_t pendingOffset = 0;  // scratch frames already written
    size_t pendingFrames = 0;  // scratch frames not yet written
    uint64_t copied = 0;
    uint64_t written = 0;
    uint64_t generation = 0;
    bool running = false;     // started since the latest drop or recovery
    bool drainedDry = false;  // the ring ran dry with nothing more queued
    std::vector<pollfd> fds;

    // For the time-out of the next poll; read under the queue lock at the end of a pass.
    bool unwritten = false;
    bool queued = false;
    uint64_t oldestEnd = 0;
    uint64_t consumedNow = 0;
    // When the oldest buffer's end is due, fixed when the position or the oldest buffer last
    // changed (dueEnd, dueConsumed).
    bool dueSet = false;
    Clock::time_point due;
    uint64_t dueEnd = 0;
    uint64_t dueConsumed = 0;
    bool overdue = false;     // looked again after `due` without the position moving
    bool handedBack = false;  // this pass handed a buffer back
    int periodMs = 1;
    uint64_t refillMarginFrames = 0;

    uint64_t lastConsumed = 0;
    Clock::time_point lastProgress = Clock::now();
    int recoveriesInARow = 0;
};

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

void AlsaWaveOutDevice::Session::Player::play() {
    for (;;) {
        const Step step = takeRequests();
        if (step == Step::End) {
            return;
        }
        if (step == Step::Again) {
            continue;
        }
        // One look at the ring per pass, before writing: a write wakes the sound server's client
        // thread, and every later call would contend with it for the plugin's lock.
        const uint64_t writtenBefore = written;
        uint64_t consumed = 0;
        snd_pcm_uframes_t fill = 0;
        snd_pcm_uframes_t room = 0;
        long err = position(consumed, fill, room);
        if (err >= 0) {
            finishConsumed(consumed);
            err = feed(room);
        }
        if (err < 0) {
            if (!recoverFrom(err) || ++recoveriesInARow > kMaxRecoveriesInARow) {
                loseDevice();
                return;
            }
            running = false;
            continue;
        }
        recoveriesInARow = 0;
        fill += static_cast<snd_pcm_uframes_t>(written - writtenBefore);
        if (!running && pcm.state() == SND_PCM_STATE_RUNNING) {
            running = true;  // a full ring started it
        }
        if (!running && fill > 0) {
            // Started once everything queued is in the ring, or once the ring is full: a sound
            // server's plugin may keep a frame of its ring free, so the start threshold (the
            // whole ring) is not always reached by writing.
            bool allWritten = pendingFrames == 0;
            if (allWritten) {
                std::lock_guard lock(s.queueMutex);
                allWritten = copied == s.queuedEndFrame;
            }
            if (allWritten || pendingFrames > 0) {
                running = pcm.start() >= 0;
            }
        }
        noteQueue(consumed);

        const auto now = Clock::now();
        const bool moved = consumed != lastConsumed || written != writtenBefore;
        if (moved || fill == 0) {
            lastConsumed = consumed;
            lastProgress = now;
        } else if (now - lastProgress > kStallLimit) {
            loseDevice();
            return;
        }
        waitForWork(moved);
    }
}

AlsaWaveOutDevice::Session::Player::Step AlsaWaveOutDevice::Session::Player::takeRequests() {
    {
        std::lock_guard lock(s.queueMutex);
        if (s.stopRequested) {
            return Step::End;
        }
        if (s.resetGeneration == generation) {
            return Step::Go;
        }
        generation = s.resetGeneration;
    }
    // Reset: drop at once, never drain; the buffers were handed back by reset itself.
    pendingFrames = pendingOffset = 0;
    copied = written = lastConsumed = 0;
    running = false;
    drainedDry = false;
    dueSet = false;
    lastProgress = Clock::now();
    const int err = pcm.dropAndPrepare();
    {
        std::lock_guard lock(s.queueMutex);
        s.droppedGeneration = generation;
    }
    s.changed.notify_all();
    if (err < 0) {
        loseDevice();
        return Step::End;
    }
    return Step::Again;
}

size_t AlsaWaveOutDevice::Session::Player::copyQueued(size_t frames) {
    const unsigned frameBytes = pcm.frameBytes();
    size_t taken = 0;
    for (size_t i = 0; i < s.queue.size() && taken < frames; ++i) {
        const QueuedBuffer& entry = s.queue.at(i);
        if (entry.generation != generation || entry.endFrame <= copied + taken) {
            continue;
        }
        const uint64_t from = copied + taken - entry.startFrame;
        const size_t n = static_cast<size_t>(
            std::min<uint64_t>(entry.endFrame - (copied + taken), frames - taken));
        copyFrames(pcm.channelRoute(), pcm.sampleBytes(), entry.header->lpData + from * frameBytes,
                   scratch.data() + taken * frameBytes, n);
        taken += n;
    }
    return taken;
}

long AlsaWaveOutDevice::Session::Player::feed(snd_pcm_uframes_t room) {
    const unsigned frameBytes = pcm.frameBytes();
    for (;;) {
        if (pendingFrames == 0) {
            if (room == 0) {
                return 0;
            }
            const size_t want = std::min<size_t>(static_cast<size_t>(room), scratchFrames);
            size_t taken = 0;
            {
                std::lock_guard lock(s.queueMutex);
                if (s.stopRequested || s.resetGeneration != generation) {
                    return 0;
                }
                taken = copyQueued(want);
            }
            if (taken == 0) {
                return 0;
            }
            if (drainedDry) {
                // Audio again after the ring ran dry: there was a gap.
                drainedDry = false;
                s.underruns.fetch_add(1, std::memory_order_relaxed);
            }
            copied += taken;
            pendingOffset = 0;
            pendingFrames = taken;
        }
        const snd_pcm_sframes_t n =
            pcm.write(scratch.data() + pendingOffset * frameBytes, pendingFrames);
        if (n == -EAGAIN || n == 0) {
            return 0;
        }
        if (n < 0) {
            return n;
        }
        pendingOffset += static_cast<size_t>(n);
        pendingFrames -= static_cast<size_t>(n);
        written += static_cast<uint64_t>(n);
        room -= std::min(room, static_cast<snd_pcm_uframes_t>(n));
    }
}

long AlsaWaveOutDevice::Session::Player::position(uint64_t& consumed, snd_pcm_uframes_t& fill,
                                                  snd_pcm_uframes_t& room) {
    const snd_pcm_sframes_t avail = pcm.avail();
    if (avail < 0) {
        return avail;
    }
    room = static_cast<snd_pcm_uframes_t>(avail);
    const snd_pcm_uframes_t ring = pcm.ringFrames();
    fill = room < ring ? ring - room : 0;
    consumed = written - std::min<uint64_t>(fill, written);
    return 0;
}

bool AlsaWaveOutDevice::Session::Player::recoverFrom(long alsaError) {
    if (!isRecoverable(alsaError)) {
        return false;
    }
    if (pcm.recover(static_cast<int>(alsaError)) < 0) {
        return false;
    }
    if (alsaError == -EINTR) {
        return true;
    }
    // The ring ran dry (or was lost in a suspend): all that was written counts as played. With
    // nothing more queued it is the end of the stream, not yet a gap: only audio queued after
    // it shows that the sound stopped in between.
    bool allWritten = pendingFrames == 0;
    if (allWritten) {
        std::lock_guard lock(s.queueMutex);
        allWritten = copied == s.queuedEndFrame;
    }
    if (alsaError == -EPIPE && allWritten) {
        drainedDry = true;
    } else {
        s.underruns.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

void AlsaWaveOutDevice::Session::Player::finishConsumed(uint64_t consumed) {
    std::lock_guard notify(s.notifyMutex);
    for (;;) {
        WaveHeader* header = nullptr;
        {
            std::lock_guard lock(s.queueMutex);
            const bool current = !s.stopRequested && s.resetGeneration == generation;
            if (!current || s.queue.empty() || s.queue.front().generation != generation ||
                s.queue.front().endFrame > consumed) {
                return;
            }
            header = s.queue.pop().header;
            header->dwFlags = (header->dwFlags & ~kWhdrInQueue) | kWhdrDone;
        }
        handedBack = true;
        s.callback(s.owner, kWomDone, s.instance, reinterpret_cast<uintptr_t>(header), 0);
    }
}

void AlsaWaveOutDevice::Session::Player::noteQueue(uint64_t consumed) {
    std::lock_guard lock(s.queueMutex);
    const bool current = !s.stopRequested && s.resetGeneration == generation;
    queued = current && !s.queue.empty() && s.queue.front().generation == generation;
    oldestEnd = queued ? s.queue.front().endFrame : 0;
    unwritten = pendingFrames > 0 || copied < s.queuedEndFrame;
    consumedNow = consumed;
    // Beyond the oldest buffer the ring holds written - oldestEnd frames when the worker next
    // wakes by itself; a new buffer may wait until then if that is enough.
    s.wakeOnWrite = !queued || !running || (!unwritten && written < oldestEnd + refillMarginFrames);
}

void AlsaWaveOutDevice::Session::Player::waitForWork(bool progress) {
    int timeoutMs = queued ? msUntilDue() : -1;
    if (handedBack && running) {
        timeoutMs = timeoutMs < 0 ? kPickUpMs : std::min(timeoutMs, kPickUpMs);
    }
    handedBack = false;
    fds[0] = {s.wakeFd, POLLIN, 0};
    unsigned pcmFds = 0;
    if (unwritten && progress) {
        pcmFds = pcm.pollDescriptors(fds.data() + 1, static_cast<unsigned>(fds.size() - 1));
    } else if (unwritten) {
        timeoutMs = timeoutMs < 0 ? kIdlePassPollMs : std::min(timeoutMs, kIdlePassPollMs);
    }
    const int ready = ::poll(fds.data(), pcmFds + 1, timeoutMs);
    if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t n = ::read(s.wakeFd, &count, sizeof count);
    }
    if (ready > 0 && pcmFds > 0) {
        // Lets plugins that signal through their descriptors acknowledge the wake-up.
        pcm.pollEvents(fds.data() + 1, pcmFds);
    }
}

int AlsaWaveOutDevice::Session::Player::msUntilDue() {
    const auto now = Clock::now();
    if (!dueSet || dueEnd != oldestEnd || dueConsumed != consumedNow) {
        const uint64_t framesToGo = oldestEnd > consumedNow ? oldestEnd - consumedNow : 0;
        const uint64_t us = (framesToGo * 1000000 + pcm.rateHz() - 1) / pcm.rateHz();
        due = now + std::chrono::microseconds(us) + std::chrono::milliseconds(kDeadlineSlackMs);
        dueSet = true;
        dueEnd = oldestEnd;
        dueConsumed = consumedNow;
        overdue = false;
    } else if (now >= due) {
        // Due, yet the position has not got there: it moves in period steps, so look again half
        // a period later, and a whole one later while it keeps standing still (a sound server
        // may take a second or two to begin consuming a new stream).
        due = now + std::chrono::milliseconds(std::max(1, overdue ? periodMs : periodMs / 2));
        overdue = true;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
    return static_cast<int>(std::clamp<int64_t>(ms, 1, kMaxPollMs));
}

void AlsaWaveOutDevice::Session::Player::loseDevice() {
    std::lock_guard notify(s.notifyMutex);
    size_t count = 0;
    {
        std::lock_guard lock(s.queueMutex);
        s.lost = true;
        count = s.queue.size();
        s.queuedEndFrame = 0;
    }
    s.handBack(count);
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
    if (g_stuckWorkers.load() >= kMaxStuckWorkers) {
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
    if (!currentSession()) {
        return kWaveInvalidHandle;
    }
    header.dwFlags |= kWhdrPrepared;
    return kWaveNoError;
}

WaveResult AlsaWaveOutDevice::unprepareHeader(WaveHeader& header) {
    if (!currentSession()) {
        return kWaveInvalidHandle;
    }
    if ((header.dwFlags & kWhdrInQueue) != 0) {
        return kWaveError;  // still playing
    }
    header.dwFlags &= ~kWhdrPrepared;
    return kWaveNoError;
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
