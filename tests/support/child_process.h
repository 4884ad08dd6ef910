// A child process for end-to-end tests: started with posix_spawnp, optionally with its standard
// input and output on pipes, and always ended and reaped by the destructor, so that no test
// leaves a process behind.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// Which of the child's standard streams are pipes to the parent.
struct ChildPipes {
    bool input = false;          // standard input (writeInput)
    bool output = false;         // standard output (outputFd)
    bool errorToOutput = false;  // standard error joins standard output's pipe
};

class ChildProcess {
  public:
    // Starts argv[0] (searched in PATH) with argv; throws std::runtime_error when it cannot.
    // Standard streams that are not piped go to /dev/null.
    explicit ChildProcess(const std::vector<std::string>& argv, ChildPipes pipes = ChildPipes());
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return childPid; }
    // The read end of the child's standard output, or -1.
    int outputFd() const { return outputRead; }
    // Writes all of `text` to the child's standard input; false when the pipe is gone.
    bool writeInput(const std::string& text);
    void closeInput();

    // The exit status once the child has ended within `limit`; nothing otherwise.
    std::optional<int> waitForExit(std::chrono::milliseconds limit);
    // Ends the child: SIGTERM, then SIGKILL after `grace`; reaps it.
    void terminate(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

  private:
    pid_t childPid = -1;
    int inputWrite = -1;
    int outputRead = -1;
    std::optional<int> exitStatus;
};
