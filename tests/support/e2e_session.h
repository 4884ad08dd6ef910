// What an end-to-end test needs around a program it drives, beyond starting it: a program run
// under a pseudo-terminal; the transcript of the program's output, collected on a thread of its
// own as it comes so that the test can wait (with a time limit) for a prompt; environment
// variables changed for the children started during one test; and a sliding look at the
// recording of the sink for the moment a sound condition first holds.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/recording.h"

// A program whose standard input, output and error are one pseudo-terminal, as in a terminal
// window. The terminal hands a typed carriage return (the Enter key) to the program unchanged
// rather than as a line feed: a program that reads keys, as Wine's console does, sees Enter.
// The destructor kills and reaps the program if it still runs.
class TerminalChild {
  public:
    // Starts argv[0] (searched in PATH); throws std::runtime_error when it cannot.
    explicit TerminalChild(const std::vector<std::string>& argv);
    ~TerminalChild();
    TerminalChild(const TerminalChild&) = delete;
    TerminalChild& operator=(const TerminalChild&) = delete;

    // The terminal's master side: what the program writes is read here (give it to a
    // Transcript, made after this object), and what is written here the program reads.
    int terminalFd() const { return master; }
    void type(const std::string& text);

    // The exit status (128 + the signal for a death by a signal) once the program has ended
    // within `limit`; nothing otherwise.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);

  private:
    int master = -1;
    pid_t child = -1;
    std::optional<int> status;
};

// Everything read from `fd` (a pipe or a pseudo-terminal's master) until the writer goes away.
// The test thread waits and reads; the reader thread only appends.
class Transcript {
  public:
    explicit Transcript(int fd);
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    // True once the text holds `count` occurrences of `piece`; false after `limit`.
    bool waitFor(const std::string& piece, size_t count, std::chrono::milliseconds limit);
    // True once `holds` is true of the text; false after `limit`.
    bool waitUntil(const std::function<bool(const std::string&)>& holds,
                   std::chrono::milliseconds limit);
    // True once the writer has gone away; false after `limit`.
    bool waitForEnd(std::chrono::milliseconds limit);
    std::string text();

  private:
    void readAll(int fd);

    std::mutex mutex;
    std::condition_variable changed;
    std::string collected;  // guarded by mutex
    bool ended = false;     // guarded by mutex
    std::atomic<bool> stop{false};
    std::thread reader;
};

// Sets (or, with a null value, clears) an environment variable until the end of the scope.
// Only for the test's own thread, before it starts the children that are to see the change.
class EnvironmentGuard {
  public:
    EnvironmentGuard(const char* name, const char* value);
    ~EnvironmentGuard();
    EnvironmentGuard(const EnvironmentGuard&) = delete;
    EnvironmentGuard& operator=(const EnvironmentGuard&) = delete;

  private:
    const char* name;
    std::string saved;
    bool hadValue = false;
};

// Channel 0 of `frames` recorded frames from frame `from`, scaled to [-1, 1).
std::vector<double> leftChannel(const MonitorRecording& recording, size_t from, size_t frames);

// Slides a window of `windowMs` in steps of 10 ms from frame `from` as the recording grows, and
// returns the first window start where `holds` is true of the window's left channel; nothing
// after `limit`.
std::optional<size_t> waitForWindow(const MonitorRecording& recording, size_t from, size_t windowMs,
                                    const std::function<bool(std::span<const double>)>& holds,
                                    std::chrono::milliseconds limit);
