// The two kinds of change the dialogue makes to the sound while it plays, the tone count and the
// fundamental frequency, and the fade at a normal end, behind one interface with two ways of
// making them.
//
// DirectToneChanges writes into the tone source under the renderer's lock, and the change sounds
// from the next rendered frame: a stop silences within one sample, a resumption jumps to where
// the held phases stand, a new tone count restarts every phase. That is the default sound.
//
// SmoothToneChanges works with a fader (M_GainRamp) between the tone source and the output and
// fades around every change that would otherwise click: a start or resumption (a positive
// frequency after a non-positive one) is written while the fader is silent and then faded in; a
// stop (a non-positive frequency while playing) is faded out and then written; a new tone count
// while playing is faded out, made, and faded in again. A frequency change while playing is
// written as it is: the tone source keeps its phases, so it is continuous already. The lock is
// taken only to set a target or to write, never while a fade renders; every wait for a fade has
// a limit, after which the change is made anyway (a device that stopped rendering must not hold
// up the dialogue).
//
// Threads: the methods run on one control thread (the main thread); the renderer's thread runs
// the tone source and the fader under the lock given as a ParameterLock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "engine/locker.h"

class M_GainRamp;
class M_Sines;

// The lock that the renderer of the tone source holds while it renders.
class ParameterLock {
  public:
    virtual void lock() = 0;
    virtual void unlock() = 0;

  protected:
    ~ParameterLock() = default;
};

// The lock of a container that renders the tone source (its ILocker), as a ParameterLock.
class ContainerLock final : public ParameterLock {
  public:
    explicit ContainerLock(ILocker& locker) : locker(locker) {}
    void lock() override { locker.lock(); }
    void unlock() override { locker.unlock(); }

  private:
    ILocker& locker;
};

class ToneChanges {
  public:
    // Replaces the tone count; false, with nothing changed, when the tone source refuses it.
    virtual bool setToneCount(int32_t count) = 0;

    // Sets the fundamental frequency in hertz; one not positive silences the tone source.
    virtual void setFrequency(double hz) = 0;

    // Called at a normal end, before the output closes, so that the sound ends without a click.
    virtual void fadeOut() = 0;

  protected:
    ~ToneChanges() = default;
};

class DirectToneChanges final : public ToneChanges {
  public:
    DirectToneChanges(M_Sines& sines, ParameterLock& lock) : sines(sines), lock(lock) {}

    bool setToneCount(int32_t count) override;
    void setFrequency(double hz) override;
    // Nothing: the sound stops where the output closes.
    void fadeOut() override {}

  private:
    M_Sines& sines;
    ParameterLock& lock;
};

// How long the smooth changes may wait for the renderer.
struct SmoothTiming {
    // The longest wait for one fade: the next buffer's turn, then the fade itself.
    std::chrono::milliseconds waitLimit{0};
    // Frames that must be rendered after a fade out before every buffer that held part of it
    // has been played: the whole queue of buffers.
    int64_t drainFrames = 0;
    // The longest wait for those frames.
    std::chrono::milliseconds drainLimit{0};
};

// The timing for a fade of rampMs over an output that keeps bufferCount buffers of bufferFrames
// frames each queued at rateHz. A rate that is not positive gives the limits of the slowest rate
// the output opens.
SmoothTiming smoothTiming(double rampMs, int32_t bufferCount, int32_t bufferFrames, int32_t rateHz);

class SmoothToneChanges final : public ToneChanges {
  public:
    // `ramp` reads the output of `sines` and feeds the output; its gain must be 0 while the
    // frequency is not positive (a fader made with start gain 0 and reset is).
    SmoothToneChanges(M_Sines& sines, M_GainRamp& ramp, ParameterLock& lock, SmoothTiming timing)
        : sines(sines), ramp(ramp), lock(lock), timing(timing) {}

    bool setToneCount(int32_t count) override;
    void setFrequency(double hz) override;
    // Fades out, then waits until the fade has been played, each within its limit.
    void fadeOut() override;

  private:
    // The frequency the tone source plays now (only this thread writes it).
    double frequency();
    // Sets the fader's target to 0 and waits, without the lock, until it is there or the limit
    // has passed. At once when the fader is silent already.
    void fadeToSilence();

    M_Sines& sines;
    M_GainRamp& ramp;
    ParameterLock& lock;
    SmoothTiming timing;
};

// Passes every change on and then tells `name` what plays now (the tone count and the
// fundamental), so that the stream's name on a sound server follows the dialogue.
class NamedToneChanges final : public ToneChanges {
  public:
    using Namer = std::function<void(int32_t toneCount, double hz)>;
    NamedToneChanges(ToneChanges& inner, int32_t toneCount, double hz, Namer name)
        : inner(inner), toneCount(toneCount), hz(hz), name(std::move(name)) {}

    bool setToneCount(int32_t count) override;
    void setFrequency(double hz) override;
    void fadeOut() override { inner.fadeOut(); }

  private:
    ToneChanges& inner;
    int32_t toneCount;
    double hz;
    Namer name;
};
