// A fader between a source and the output: its output is its signal input times a gain, and the
// gain follows a target gain over a fixed time instead of jumping, so that a start, a stop or a
// change behind it sounds without a click.
//
// The gain moves along a raised-cosine curve, gain = (1 - cos(π × k / n)) / 2, where n is the
// ramp length in frames, round(ms × rate / 1000) at the current sampling rate, and k the frame
// position on the curve. Each frame moves k by one toward the position of the target, so a full
// ramp between 0 and 1 takes exactly n frames; the curve starts and ends with a zero slope, and
// no frame moves the gain by more than π / (2n). A target reached sets the gain to the target
// itself, so gain 1 passes the signal through bit for bit and gain 0 gives silence. A target
// outside 0 to 1 is taken as the nearer end; a target changed halfway turns the ramp round where
// it stands.
//
// The control side waits for a ramp through reachedTarget() and framesProcessed(), two atomics
// that process() publishes, so that it never holds the container's lock while the fade renders.
//
// Threads: process() and reset() run on the rendering thread under the container's lock;
// setTargetGain() runs on a control thread under the same lock; reachedTarget(),
// framesProcessed() and settledAtFrame() may be read from any thread without a lock.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/audio_module.h"

class M_GainRamp : public AudioModule {
  public:
    static constexpr int32_t kSignalInput = 0;
    static constexpr int32_t kTargetInput = 1;
    static constexpr int32_t kOutput = 0;

    // rampMs: the time of a full ramp between gain 0 and 1, positive and finite; startGain: the
    // target, and after reset() the gain, to begin with. Throws std::invalid_argument for a ramp
    // time that is not positive and finite.
    M_GainRamp(double rampMs, double startGain);

    // The gain jumps to the target. Before rendering starts, or under the container's lock.
    void reset() override;

    // One frame: the signal times the gain, then the gain one frame further toward the target.
    // Rendering thread, under the container's lock. Allocates nothing; computes a cosine only
    // while the gain moves.
    void process() override;

    // Sets the target gain (the parameter input kTargetInput) and clears reachedTarget() unless
    // the gain already stands there. The caller holds the container's lock.
    void setTargetGain(double gain);

    // Fades out so that the gain reaches 0 exactly `seconds` after the first frame processed: the
    // target becomes 0 one ramp before that frame. For a playback of a set length, whose last
    // frames must fade without the control side timing them. Before rendering starts.
    void fadeOutAfter(double seconds);

    // True once the gain has reached the target that setTargetGain() last set. Any thread.
    bool reachedTarget() const { return reached.load(std::memory_order_acquire); }

    // Frames processed since construction. Any thread.
    int64_t framesProcessed() const { return frames.load(std::memory_order_acquire); }

    // The value of framesProcessed() when the gain last reached its target. Any thread.
    int64_t settledAtFrame() const { return settledAt.load(std::memory_order_acquire); }

    const double rampMs;

  private:
    // Works out the curve's length for the current rate and the target's position on it; runs
    // when the target or the rate has changed since the frame before.
    void plan(double target);

    // Moves the position onto the target and publishes that it has been reached, `frame` being
    // the number of frames processed by then.
    void settle(int64_t frame);

    // Works out fadeOutStart for the current rate and ramp length.
    void planFadeOut();

    double gain = 0.0;
    double plannedTarget = 0.0;  // the target as read from the input, unclamped
    double settledGain = 0.0;    // the target clamped to 0 to 1: the gain at the target position
    int32_t plannedRateHz = 0;
    int64_t rampFrames = 1;
    int64_t position = 0;
    int64_t targetPosition = 0;
    double fadeOutEndSeconds = -1.0;  // none when negative
    int64_t fadeOutStart = -1;        // the frame at which the target becomes 0; none when negative

    std::atomic<bool> reached{true};
    std::atomic<int64_t> frames{0};
    std::atomic<int64_t> settledAt{0};
};
