// The program's audio objects and the part of its start-up and shutdown that does not depend on
// the platform: the tone source feeding the left and right inputs of the output module, both
// children of one locked root container; the open of the output device; then the dialogue (the
// device report first, or the failure report), or a scripted run that plays for a set time; and
// the close. With click-free changes a fader sits between the tone source and the output, and
// the changes and the normal ends are faded.
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
#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <memory>

#include "app/options.h"
#include "app/signal_chain.h"
#include "engine/locked_container.h"
#include "output/device_factory.h"
#include "output/wave_out.h"
#include "synthesis/channel_walk.h"
#include "synthesis/gain_ramp.h"
#include "synthesis/sines.h"

class Program {
  public:
    static constexpr int32_t kStartToneCount = 1;
    static constexpr int32_t kBufferCount = 3;
    // Every format gets buffers of the same duration: 46080 bytes of 32-bit stereo at 192 kHz.
    static constexpr std::chrono::microseconds kBufferDuration{30000};
    static constexpr int32_t kMaxChannels = 2;

    // `options` fixes the start values, the format search and the kind of run; the defaults are
    // the interactive player.
    // `file`, where the device layer writes a sound file, is that layer (owned by the output
    // module): its failures and its end are the run's.
    explicit Program(std::unique_ptr<WaveOutDevice> deviceLayer = makeDefaultWaveOutDevice(),
                     Options options = {}, FileWaveOutDevice* file = nullptr);

    // Connects the tone source to the output's "L" and "R", adds both to the container (tone
    // source first), orders it, sets the start frequency (0.0: silence), the amplitude and the
    // tone count, and resets. Main thread, before any other thread uses the modules.
    void wire();

    // Opens the output; then, in a scripted run (a duration), plays for that long and ends;
    // otherwise reports the device and runs the dialogue over `in` and `out`, or reports the
    // failure and waits for one character. Closes the output and returns the exit status.
    // Errors of a scripted run go to `err`. Main thread, after wire().
    int run(std::istream& in, std::ostream& out, std::ostream& err);
    int run(std::istream& in, std::ostream& out);

    // The console control handler's steps: sets exitRequested and closes the output. Any
    // thread; the caller then lets the platform end the process.
    void onControlEvent();

    LockedContainer container{0, 0};
    M_Sines sines{kStartToneCount};
    // The signal the options choose: `sines` itself unless a shape, a noise or a sweep is asked.
    SignalChain signal;
    // The fader between the tone source and the output, only for click-free changes.
    std::unique_ptr<M_GainRamp> ramp;
    // The speaker walk between the source and the output, only in the speaker test.
    std::unique_ptr<M_ChannelWalk> walk;
    M_WaveOut waveOut;
    std::atomic<bool> exitRequested{false};
    // Whether a file written with a duration shows its progress on the error stream (a
    // terminal, and not quiet). Set before run().
    bool showProgress = false;

  private:
    int runDialogue(std::istream& in, std::ostream& out);
    int runScripted(std::ostream& out, std::ostream& err);
    // Waits, without a time limit, until the file holds every frame of the duration or has
    // failed; status 1 when frames are missing.
    int waitForFile(std::ostream& err);
    // The error line of a thread that could not be started, and the failure status.
    int reportNoThread(const char* message, std::istream& in, std::ostream& out, std::ostream& err);
    void printReport(std::ostream& out);
    // The tone count and the fundamental that play before the dialogue changes them.
    int32_t startToneCount() const;
    double startHz() const;
    // The error line of a file that failed; true when it failed.
    bool reportFileError(std::ostream& err);

    const Options options;
    FileWaveOutDevice* const file;
};
