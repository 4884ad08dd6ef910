// The program's audio objects and the part of its start-up and shutdown that does not depend on
// the platform: the tone source feeding the left and right inputs of the output module, both
// children of one locked root container; the open of the output device; the device report and
// the dialogue, or the failure report; and the close.
//
// The members are declared in construction order (container, tone source, output module) and so
// destroyed in the reverse order; every module takes itself out of its container when destroyed,
// so the container never reaches a destroyed child.
//
// Threads: the main thread runs wire() and run(). onControlEvent() runs on the thread that
// handles a console control event, possibly while run() is in the dialogue or closing; the
// output module serialises the two closes.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>

#include "engine/locked_container.h"
#include "output/device_factory.h"
#include "output/wave_out.h"
#include "synthesis/sines.h"

class Program {
  public:
    static constexpr int32_t kStartToneCount = 1;
    static constexpr int32_t kBufferCount = 3;
    static constexpr int32_t kBufferBytes = 46080;
    static constexpr int32_t kMaxChannels = 2;
    static constexpr double kAmplitude = 0.707;

    explicit Program(std::unique_ptr<WaveOutDevice> deviceLayer = makeDefaultWaveOutDevice());

    // Connects the tone source to the output's "L" and "R", adds both to the container (tone
    // source first), orders it, sets frequency 0.0 and amplitude 0.707, and resets. Main thread,
    // before any other thread uses the modules.
    void wire();

    // Opens the output with at most two channels; then either reports the device and runs the
    // dialogue over `in` and `out`, or reports the failure and waits for one character. Closes
    // the output and returns the exit status, 0. Main thread, after wire().
    int run(std::istream& in, std::ostream& out);

    // The console control handler's steps: sets exitRequested and closes the output. Any
    // thread; the caller then lets the platform end the process.
    void onControlEvent();

    LockedContainer container{0, 0};
    M_Sines sines{kStartToneCount};
    M_WaveOut waveOut;
    std::atomic<bool> exitRequested{false};
};
