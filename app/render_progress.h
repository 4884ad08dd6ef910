// The progress of a sound file written with a duration, as one line on standard error: a bar,
// the share done and the time left, redrawn in place while the writing goes on and erased at the
// end. It shows only once the writing has taken a second, so that short files print nothing.
//
// Threads: the main thread, which waits for the file.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

// The line for `share` (0 to 1) done with `left` still to go, e.g.
// "Запись: [##########          ]  50 %, осталось 0:12".
std::string progressLine(double share, std::chrono::seconds left);

class RenderProgress {
  public:
    using Clock = std::chrono::steady_clock;

    // Draws on `err` only when `shown`; `totalFrames` is the whole file.
    RenderProgress(std::ostream& err, bool shown, uint64_t totalFrames,
                   Clock::time_point start = Clock::now());
    // Erases the line, where one was drawn.
    ~RenderProgress();

    RenderProgress(const RenderProgress&) = delete;
    RenderProgress& operator=(const RenderProgress&) = delete;

    // Redraws the line for `framesDone` once a second has passed since the start.
    void update(uint64_t framesDone, Clock::time_point now = Clock::now());

    // How often the caller is meant to call update.
    static constexpr std::chrono::milliseconds kInterval{250};

  private:
    std::ostream& err;
    const bool shown;
    const uint64_t totalFrames;
    const Clock::time_point start;
    size_t drawnWidth = 0;  // columns of the line on screen; 0 while none is
};
