// The ALSA worker's playback state and its steps; lives on the worker's stack (see
// device_alsa_player.cpp for how it plays).
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "output/alsa/device_alsa_pcm.h"
#include "output/alsa/device_alsa_session.h"

class AlsaWaveOutDevice::Session::Player {
  public:
    Player(Session& session, AlsaPcm& pcm);

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
    std::chrono::steady_clock::time_point due;
    uint64_t dueEnd = 0;
    uint64_t dueConsumed = 0;
    bool overdue = false;     // looked again after `due` without the position moving
    bool handedBack = false;  // this pass handed a buffer back
    int periodMs = 1;
    uint64_t refillMarginFrames = 0;

    uint64_t lastConsumed = 0;
    std::chrono::steady_clock::time_point lastProgress = std::chrono::steady_clock::now();
    int recoveriesInARow = 0;
};
