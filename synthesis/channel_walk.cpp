#include "synthesis/channel_walk.h"

#include <cmath>
#include <stdexcept>
#include <utility>

M_ChannelWalk::M_ChannelWalk() : AudioModule(1, kMaxChannels) {
    name = "channel walk";
}

void M_ChannelWalk::configure(std::vector<int32_t> channels, double step, double gap,
                              int32_t loopCount) {
    if (channels.empty()) {
        throw std::invalid_argument("no channel to walk");
    }
    for (int32_t channel : channels) {
        if (channel < 0 || channel >= kMaxChannels) {
            throw std::invalid_argument("not a channel: " + std::to_string(channel));
        }
    }
    if (!std::isfinite(step) || step <= 0.0 || !std::isfinite(gap) || gap < 0.0 || loopCount < 0) {
        throw std::invalid_argument("step, gap or loop count out of range");
    }
    walked = std::move(channels);
    stepSeconds = step;
    gapSeconds = gap;
    loops = loopCount;
    plannedRate = 0;
}

void M_ChannelWalk::reset() {
    AudioModule::reset();
    step = 0;
    frameInStep = 0;
    active = -1;
    plannedRate = 0;
    started.store(0, std::memory_order_release);
}

void M_ChannelWalk::plan() {
    plannedRate = *sampleRate;
    stepFrames = std::max<int64_t>(1, std::llround(stepSeconds * plannedRate));
    gapFrames = std::llround(gapSeconds * plannedRate);
}

int64_t M_ChannelWalk::totalFrames(int32_t rateHz) const {
    if (loops == 0) {
        return -1;
    }
    const int64_t steps = int64_t{loops} * static_cast<int64_t>(walked.size());
    const int64_t stepLength = std::max<int64_t>(1, std::llround(stepSeconds * rateHz));
    return steps * stepLength + (steps - 1) * std::llround(gapSeconds * rateHz);
}

void M_ChannelWalk::process() {
    if (plannedRate != *sampleRate) {
        plan();
    }
    const int64_t steps = int64_t{loops} * static_cast<int64_t>(walked.size());
    if (frameInStep == 0 && (loops == 0 || step < steps)) {
        active = walked[static_cast<size_t>(step % static_cast<int64_t>(walked.size()))];
        started.store(step + 1, std::memory_order_release);
    } else if (frameInStep == stepFrames && active >= 0) {
        outputs[static_cast<size_t>(active)].value = 0.0;
        active = -1;
    }
    if (active >= 0) {
        outputs[static_cast<size_t>(active)].value = inputValue(kSignalInput);
    }
    if (loops != 0 && step >= steps) {
        return;  // the walk is over: silence
    }
    if (++frameInStep == stepFrames + gapFrames) {
        if (active >= 0) {
            outputs[static_cast<size_t>(active)].value = 0.0;
            active = -1;
        }
        frameInStep = 0;
        ++step;
    }
}
