// A child process for end-to-end tests, started with posix_spawnp. A reader thread collects its
// output (or hands it to a sink), so that a test waits for a text with a time limit. The
// destructor ends and reaps the child.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct ChildPipes {
    bool input = false;          // standard input from writeInput, else at its end at once
    bool output = false;         // standard output to the reader, else to /dev/null
    bool errorToOutput = false;  // standard error too, else the parent's
    int outputFd = -1;           // standard output to this descriptor instead (the caller's)
};

class ChildProcess {
  public:
    using Ms = std::chrono::milliseconds;

    // Starts argv[0] (searched in PATH); throws std::runtime_error when it cannot.
    explicit ChildProcess(const std::vector<std::string>& argv, ChildPipes pipes = ChildPipes(),
                          std::function<void(std::string_view)> sink = nullptr) {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("no pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (pipes.output) {
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        } else if (pipes.outputFd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, pipes.outputFd, 1);
        }
        if (pipes.errorToOutput) {
            posix_spawn_file_actions_adddup2(&actions, out[1], 2);
        }
        std::vector<char*> args(argv.size() + 1);
        std::transform(argv.begin(), argv.end(), args.begin(),
                       [](const std::string& a) { return const_cast<char*>(a.c_str()); });
        const int err = posix_spawnp(&childPid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input = in[1];
        if (err != 0 || !pipes.input) {
            closeInput();
        }
        if (err != 0) {
            ::close(out[0]);
            throw std::runtime_error("cannot start " + argv[0]);
        }
        // Short polls, so that the destructor's stop is seen while another process (Wine's
        // server) keeps the pipe open.
        reader = std::thread([this, fd = out[0], sink = std::move(sink)] {
            char chunk[8192];
            for (bool open = true; open && !stop;) {
                pollfd p{fd, POLLIN, 0};
                const int ready = poll(&p, 1, 50);
                const ssize_t got = ready > 0 ? ::read(fd, chunk, sizeof chunk) : -1;
                open = ready <= 0 || got > 0 || (got < 0 && errno == EINTR);
                if (got > 0 && sink) {
                    sink(std::string_view(chunk, static_cast<size_t>(got)));
                }
                std::lock_guard lock(mutex);
                collected.append(chunk, got > 0 && !sink ? static_cast<size_t>(got) : 0);
                ended = !open;
                changed.notify_all();
            }
            ::close(fd);
        });
    }

    ~ChildProcess() {
        if (!waitForExit(Ms(0)) && kill(childPid, SIGTERM) == 0 && !waitForExit(Ms(2000))) {
            kill(childPid, SIGKILL);
            waitpid(childPid, nullptr, 0);
        }
        closeInput();
        stop = true;
        reader.join();
    }

    pid_t pid() const { return childPid; }

    bool writeInput(const std::string& text) {
        return ::write(input, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    void closeInput() {
        if (input >= 0) {
            ::close(std::exchange(input, -1));
        }
    }

    // True once the output holds `count` copies of `piece`, false after `limit`.
    bool waitForOutput(const std::string& piece, Ms limit, size_t count = 1) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] {
            size_t found = 0;
            for (size_t at = 0; (at = collected.find(piece, at)) != std::string::npos; ++at) {
                ++found;
            }
            return found >= count;
        });
    }

    // The output once its pipe has ended, or after `limit`.
    std::string output(Ms limit = Ms(0)) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, limit, [&] { return ended; });
        return collected;
    }

    // The exit status (128 + the signal for a death by a signal) if it ended within `limit`.
    std::optional<int> waitForExit(Ms limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (int status = 0; !exitStatus; std::this_thread::sleep_for(Ms(5))) {
            if (waitpid(childPid, &status, WNOHANG) == childPid) {
                exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else if (std::chrono::steady_clock::now() >= deadline) {
                break;
            }
        }
        return exitStatus;
    }

  private:
    pid_t childPid = -1;
    int input = -1;
    std::optional<int> exitStatus;
    std::mutex mutex;
    std::condition_variable changed;
    std::string collected;  // guarded by mutex
    bool ended = false;     // guarded by mutex
    std::atomic<bool> stop{false};
    std::thread reader;
};
