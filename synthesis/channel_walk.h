// The speaker walk: one signal, sounding on one channel at a time. The walk plays its signal on
// the first channel of its list for one step, then nothing for one gap, then on the next channel,
// and so on through the list, as many times as it is told (or for ever); after the last step it
// is silent. Every other output carries exact zeros, so that only the speaker named sounds.
//
// The steps and gaps are counted in frames at the rate the frames are made at (worked out again
// when the rate changes), so that a file written from the walk holds segments of exact lengths.
// The control side follows the walk through stepsStarted(), an atomic that process() raises as
// each step begins.
//
// Threads: configure() before rendering starts; process() and reset() on the rendering thread;
// stepsStarted() and finished() from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/audio_module.h"

class M_ChannelWalk : public AudioModule {
  public:
    static constexpr int32_t kSignalInput = 0;
    static constexpr int32_t kMaxChannels = 8;

    M_ChannelWalk();

    // The channels (output numbers) in walking order, the step and the gap in seconds, and how
    // many times to walk the list (0: for ever). Throws std::invalid_argument for an empty list,
    // a channel that is not an output, or a step or gap that is not finite, a step not positive
    // or a gap negative, or a negative loop count.
    void configure(std::vector<int32_t> channels, double stepSeconds, double gapSeconds,
                   int32_t loops);

    // The walk starts again at its first step.
    void reset() override;

    // One frame: the signal on the channel whose step it is, zeros elsewhere.
    void process() override;

    // Steps begun since the latest reset: step s plays channel `channels[s % size]`. Any thread.
    int64_t stepsStarted() const { return started.load(std::memory_order_acquire); }

    // The frames of the whole walk at `rateHz`: its steps and the gaps between them; -1 when it
    // walks for ever.
    int64_t totalFrames(int32_t rateHz) const;

    const std::vector<int32_t>& channels() const { return walked; }

  private:
    void plan();

    std::vector<int32_t> walked;
    double stepSeconds = 1.0;
    double gapSeconds = 0.0;
    int32_t loops = 1;

    int32_t plannedRate = 0;
    int64_t stepFrames = 0;
    int64_t gapFrames = 0;
    int64_t step = 0;         // the step being played or followed by the current gap
    int64_t frameInStep = 0;  // frames since the step began, its gap included
    int32_t active = -1;      // the output that sounds now; -1 in a gap and after the end
    std::atomic<int64_t> started{0};
};
