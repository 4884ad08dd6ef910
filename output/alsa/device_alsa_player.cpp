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
#include "output/alsa/device_alsa_player.h"

#include <algorithm>
#include <cerrno>

namespace {

using Clock = std::chrono::steady_clock;

// Queued audio that the device has not consumed for this long means the device is gone (a card
// removed behind dmix can answer "try again" for ever). PulseAudio may stall a new stream for
// about two seconds before it starts consuming, and a busy or briefly stopped server for longer;
// such a server is slow, not lost, and plays on by itself once it runs again.
constexpr auto kStallLimit = std::chrono::seconds(12);
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
// How long after its due moment a remainder of the ring that a plugin keeps to itself is taken
// as heard.
constexpr int kTailMarginMs = 30;
// A device that fails again right after every recovery is treated as lost rather than retried
// for ever.
constexpr int kMaxRecoveriesInARow = 100;
constexpr snd_pcm_uframes_t kMinScratchFrames = 256;
constexpr snd_pcm_uframes_t kMaxScratchFrames = 16384;

bool isRecoverable(long alsaError) {
    return alsaError == -EPIPE || alsaError == -ESTRPIPE || alsaError == -EINTR;
}

}  // namespace

AlsaWaveOutDevice::Session::Player::Player(Session& session, AlsaPcm& pcm) : s(session), pcm(pcm) {
    const snd_pcm_uframes_t period = pcm.periodSizeFrames();
    scratchFrames = std::clamp(pcm.ringFrames(), kMinScratchFrames, kMaxScratchFrames);
    periodMs = std::max<int>(1, static_cast<int>(period * 1000 / pcm.rateHz()));
    refillMarginFrames =
        std::max<uint64_t>(period, static_cast<uint64_t>(pcm.rateHz()) * kRefillMarginMs / 1000);
    scratch.resize(scratchFrames * pcm.frameBytes());
    fds.resize(pcm.pollDescriptorCount() + 1);
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
    // A sound server's plugin may free the ring's last part only when the server asks for more,
    // which it does not once the stream ends (ALSA's pulse plugin on pipewire-pulse keeps the
    // last frames to itself for good). A ring that stood still since the last pass is measured
    // by its delay instead, which says what has been heard; and a remainder of less than a
    // period that stands still for as long as it and the delay take to play, and a margin, has
    // been heard. A stalled server holds a fuller ring, which this never finishes. The consumed
    // position never goes back.
    if (fill > 0 && consumed <= lastConsumed) {
        const snd_pcm_sframes_t delay = pcm.delay();
        if (delay >= 0) {
            const auto delayFrames = std::min<uint64_t>(static_cast<uint64_t>(delay), written);
            consumed = std::max(consumed, written - delayFrames);
            const uint64_t waiting = std::max<uint64_t>(fill, delayFrames);
            const auto playOut = std::chrono::microseconds(waiting * 1000000 / pcm.rateHz()) +
                                 std::chrono::milliseconds(kTailMarginMs);
            if (pendingFrames == 0 && written - consumed <= pcm.periodSizeFrames() &&
                Clock::now() - lastProgress > playOut) {
                consumed = written;
            }
        }
        consumed = std::max(consumed, lastConsumed);
    }
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
