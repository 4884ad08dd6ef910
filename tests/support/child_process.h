// A child process for end-to-end tests: started with posix_spawnp, its standard input and output
// optionally on pipes. A reader thread collects what it writes (or hands it to a sink), so that a
// test waits for a text with a time limit. The destructor ends and reaps the child.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct ChildPipes {
    bool input = false;          // standard input from writeInput
    bool output = false;         // standard output to the reader
    bool errorToOutput = false;  // standard error joins standard output
};

class ChildProcess {
  public:
    using Sink = std::function<void(std::string_view)>;
    // Starts argv[0] (searched in PATH), throws std::runtime_error when it cannot. Streams not
    // piped are /dev/null. The output goes to `sink` when there is one, else to output().
    explicit ChildProcess(const std::vector<std::string>& argv, ChildPipes pipes = ChildPipes(),
                          Sink sink = nullptr);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return childPid; }
    bool writeInput(const std::string& text);  // false when the pipe is gone
    void closeInput();
    // True once the output holds `count` copies of `piece`; false after `limit`.
    bool waitForOutput(const std::string& piece, std::chrono::milliseconds limit, size_t count = 1);
    // The output so far, once the pipe has ended or after `limit`.
    std::string output(std::chrono::milliseconds limit = std::chrono::milliseconds(0));
    // The exit status (128 + the signal for a death by a signal) if it ended within `limit`.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);
    // SIGTERM, then SIGKILL after `grace`; reaps the child.
    void terminate(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

  private:
    void readAll(int fd, const Sink& sink);

    pid_t childPid = -1;
    int inputWrite = -1;
    std::optional<int> exitStatus;
    std::mutex mutex;
    std::condition_variable changed;
    std::string collected;  // guarded by mutex
    bool ended = false;     // guarded by mutex
    std::atomic<bool> stop{false};
    std::thread reader;
};
