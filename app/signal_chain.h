// The modules of the signal that the options choose, between the options and the output: the
// program's sines as they always were, or a band-limited shape's octave stack, or a noise (with
// its band), with a sweep driving the tone source's frequency where one is asked for. The chain
// builds them, adds them to the container in the order they must run, and writes the one-line
// report of the signal and its levels.
//
// Threads: built and wired on the main thread before rendering starts; toneSource() is then
// changed by the dialogue under the container's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/options.h"
#include "synthesis/noise.h"
#include "synthesis/sines.h"
#include "synthesis/sweep.h"
#include "synthesis/wave_stack.h"

class AudioModuleContainer;

class SignalChain {
  public:
    // `sines` is the program's sine source, used as it is when the options ask for sines.
    SignalChain(Options options, M_Sines& sines);

    // The module whose output 0 is the signal.
    AudioModule& output();

    // The tone source that the dialogue changes: the sines or the shape's stack. For a noise it
    // is the unused sines, so that a change reaches nothing that sounds.
    M_Sines& toneSource() { return waves ? *waves : sines; }

    // Adds the sweep (if any) and then the signal's source to `container`; returns it.
    AudioModuleContainer& addTo(AudioModuleContainer& container);

    // Writes the start values: the noise's level, or the tone source's frequency (unless a sweep
    // drives it), amplitude and tone count.
    void start();

    bool isNoise() const { return noise != nullptr; }

    // What plays, in a few words, for the stream's name on a sound server: the signal, or the
    // tone count and the fundamental that the dialogue has set.
    std::string streamName(int32_t toneCount, double hz) const;

    // The signal, and its peak and RMS level in dBFS at `rateHz`, as one report line.
    std::string reportLine(int32_t rateHz) const;

  private:
    const Options options;
    M_Sines& sines;
    std::unique_ptr<M_WaveStack> waves;
    std::unique_ptr<M_Noise> noise;
    std::unique_ptr<M_Sweep> sweep;
};
