// The raised-cosine fader. The state is an integer position k on a curve of n frames and the
// position of the target on it; the gain is read off the curve, so a ramp takes a whole number of
// frames and ends exactly where it should, with no sum of small steps drifting past the end.
// What depends on the target and the rate (n, the target's position, the target clamped) is
// worked out only when one of them changes; a steady frame is one multiplication.
#include "synthesis/gain_ramp.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kMsPerSecond = 1000.0;

// The gain at position k of a curve of n frames.
double curveGain(int64_t k, int64_t n) {
    return 0.5 - 0.5 * std::cos(kPi * static_cast<double>(k) / static_cast<double>(n));
}

// A target within 0 to 1; NaN counts as 0.
double clampGain(double gain) {
    if (gain >= 1.0) {
        return 1.0;
    }
    return gain > 0.0 ? gain : 0.0;
}

}  // namespace

M_GainRamp::M_GainRamp(double rampMs, double startGain) : AudioModule(2, 1), rampMs(rampMs) {
    if (!(rampMs > 0.0) || !std::isfinite(rampMs)) {
        throw std::invalid_argument("ramp time not positive and finite");
    }
    name = "плавность";
    inputNames[kSignalInput] = "вход";
    inputNames[kTargetInput] = "усиление";
    outputNames[kOutput] = "выход";
    inputs[kTargetInput].initial = startGain;
    inputs[kTargetInput].value = startGain;
    M_GainRamp::reset();
}

void M_GainRamp::reset() {
    AudioModule::reset();
    plan(inputValue(kTargetInput));
    position = targetPosition;
    settle(frames.load(std::memory_order_relaxed));
}

void M_GainRamp::process() {
    const double target = inputValue(kTargetInput);
    if (target != plannedTarget || *sampleRate != plannedRateHz) {
        plan(target);
    }
    const int64_t frame = frames.load(std::memory_order_relaxed) + 1;
    if (frame - 1 == fadeOutStart) {
        setTargetGain(0.0);
    }
    if (position != targetPosition) {
        position += position < targetPosition ? 1 : -1;
        if (position == targetPosition) {
            settle(frame);
        } else {
            gain = curveGain(position, rampFrames);
        }
    }
    outputs[kOutput].value = inputValue(kSignalInput) * gain;
    frames.store(frame, std::memory_order_release);
}

void M_GainRamp::setTargetGain(double gain) {
    setInputValue(kTargetInput, gain);
    plan(gain);
}

void M_GainRamp::fadeOutAfter(double seconds) {
    fadeOutEndSeconds = seconds;
    planFadeOut();
}

void M_GainRamp::planFadeOut() {
    if (fadeOutEndSeconds >= 0.0) {
        const int64_t end = std::llround(fadeOutEndSeconds * static_cast<double>(plannedRateHz));
        fadeOutStart = std::max<int64_t>(0, end - rampFrames);
    }
}

void M_GainRamp::plan(double target) {
    const bool wasSettled = position == targetPosition;
    const double clamped = clampGain(target);
    const bool sameTarget = clamped == settledGain;
    plannedTarget = target;
    settledGain = clamped;
    const int32_t rateHz = *sampleRate;
    if (rateHz != plannedRateHz) {
        const int64_t n = std::max<int64_t>(
            1, std::llround(rampMs * static_cast<double>(std::max(rateHz, 0)) / kMsPerSecond));
        // The same point of the curve on the new length.
        position = (position * n + rampFrames / 2) / rampFrames;
        rampFrames = n;
        plannedRateHz = rateHz;
        planFadeOut();
    }
    targetPosition =
        std::llround(static_cast<double>(rampFrames) * std::acos(1.0 - 2.0 * clamped) / kPi);
    if (position == targetPosition || (wasSettled && sameTarget)) {
        settle(frames.load(std::memory_order_relaxed));
    } else {
        reached.store(false, std::memory_order_release);
    }
}

void M_GainRamp::settle(int64_t frame) {
    position = targetPosition;
    gain = settledGain;
    if (!reached.load(std::memory_order_relaxed)) {
        settledAt.store(frame, std::memory_order_relaxed);
        reached.store(true, std::memory_order_release);
    }
}
