#include "app/tone_changes.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <thread>

#include "synthesis/gain_ramp.h"
#include "synthesis/sines.h"

namespace {

// Input 0 of the tone source: the fundamental frequency in hertz.
constexpr int32_t kFrequencyInput = 0;

constexpr double kSilentGain = 0.0;
constexpr double kFullGain = 1.0;

// How often a wait looks at the fader.
constexpr std::chrono::milliseconds kPollInterval{1};
// Added to every computed limit, for the playback thread's own polls and a busy machine.
constexpr std::chrono::milliseconds kWaitMargin{50};
// The slowest rate the output opens, for limits when the rate is not known.
constexpr int32_t kSlowestRateHz = 44100;
constexpr double kMsPerSecond = 1000.0;

// Polls `done` until it holds or `limit` has passed.
template <class Condition>
void waitUntil(Condition done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollInterval);
    }
}

std::chrono::milliseconds wholeMs(double ms) {
    return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(ms)));
}

}  // namespace

bool DirectToneChanges::setToneCount(int32_t count) {
    std::lock_guard<ParameterLock> guard(lock);
    return sines.setToneCount(count);
}

void DirectToneChanges::setFrequency(double hz) {
    std::lock_guard<ParameterLock> guard(lock);
    sines.setInputValue(kFrequencyInput, hz);
}

SmoothTiming smoothTiming(double rampMs, int32_t bufferCount, int32_t bufferFrames,
                          int32_t rateHz) {
    const double rate = rateHz > 0 ? rateHz : kSlowestRateHz;
    const double bufferMs = std::max(bufferFrames, 0) * kMsPerSecond / rate;
    SmoothTiming timing;
    // Setting a target waits at most for the buffer being rendered; the fade then starts in the
    // next one, which the playback thread renders within one buffer's time.
    timing.waitLimit = wholeMs(rampMs + 2.0 * bufferMs) + kWaitMargin;
    timing.drainFrames = static_cast<int64_t>(std::max(bufferCount, 0)) * std::max(bufferFrames, 0);
    timing.drainLimit = timing.waitLimit + wholeMs(std::max(bufferCount, 0) * bufferMs);
    return timing;
}

double SmoothToneChanges::frequency() {
    std::lock_guard<ParameterLock> guard(lock);
    return sines.inputValue(kFrequencyInput);
}

void SmoothToneChanges::fadeToSilence() {
    {
        std::lock_guard<ParameterLock> guard(lock);
        ramp.setTargetGain(kSilentGain);
    }
    waitUntil([this] { return ramp.reachedTarget(); }, timing.waitLimit);
}

bool SmoothToneChanges::setToneCount(int32_t count) {
    // The new phases all start at 0.0: a jump, unless nothing sounds.
    const bool playing = frequency() > 0.0;
    if (playing) {
        fadeToSilence();
    }
    std::lock_guard<ParameterLock> guard(lock);
    const bool accepted = sines.setToneCount(count);
    if (playing) {
        ramp.setTargetGain(kFullGain);
    }
    return accepted;
}

void SmoothToneChanges::setFrequency(double hz) {
    const bool playing = frequency() > 0.0;
    if (playing && hz > 0.0) {
        std::lock_guard<ParameterLock> guard(lock);
        sines.setInputValue(kFrequencyInput, hz);
        return;
    }
    // A stop is faded out before it is written. A start or resumption jumps to the held phases,
    // so it is written while the fader is silent (it already is, unless an earlier fade ran out
    // of time), then faded in.
    if (playing || hz > 0.0) {
        fadeToSilence();
    }
    std::lock_guard<ParameterLock> guard(lock);
    sines.setInputValue(kFrequencyInput, hz);
    if (hz > 0.0) {
        ramp.setTargetGain(kFullGain);
    }
}

void SmoothToneChanges::fadeOut() {
    fadeToSilence();
    // Until the buffers that held the fade have been played, closing the output would cut the
    // sound where it still plays.
    waitUntil(
        [this] { return ramp.framesProcessed() >= ramp.settledAtFrame() + timing.drainFrames; },
        timing.drainLimit);
}

bool NamedToneChanges::setToneCount(int32_t count) {
    if (!inner.setToneCount(count)) {
        return false;
    }
    toneCount = count;
    name(toneCount, hz);
    return true;
}

void NamedToneChanges::setFrequency(double newHz) {
    inner.setFrequency(newHz);
    hz = newHz;
    name(toneCount, hz);
}
