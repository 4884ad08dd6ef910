// A child process for end-to-end tests, started with posix_spawnp. A reader thread collects its
// output (or hands it to a sink), so that a test waits for a text with a time limit. The
// destructor ends and reaps the child.
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
    bool input = false;          // standard input from writeInput, else at its end at once
    bool output = false;         // standard output to the reader, else to /dev/null
    bool errorToOutput = false;  // standard error too, else the parent's
};

class ChildProcess {
  public:
    using Ms = std::chrono::milliseconds;
    // Starts argv[0] (searched in PATH); throws std::runtime_error when it cannot.
    explicit ChildProcess(const std::vector<std::string>& argv, ChildPipes pipes = ChildPipes(),
                          std::function<void(std::string_view)> sink = nullptr);
    ~ChildProcess();

    pid_t pid() const { return childPid; }
    bool writeInput(const std::string& text);
    void closeInput();
    // True once the output holds `count` copies of `piece`, false after `limit`.
    bool waitForOutput(const std::string& piece, Ms limit, size_t count = 1);
    std::string output(Ms limit = Ms(0));  // the output once its pipe ends, or after `limit`
    // The exit status (128 + the signal for a death by a signal) if it ended within `limit`.
    std::optional<int> waitForExit(Ms limit);

  private:
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
