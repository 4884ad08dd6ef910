#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

ChildProcess::ChildProcess(const std::vector<std::string>& argv, ChildPipes pipes, Sink sink) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if ((pipes.input && pipe2(in, O_CLOEXEC) != 0) ||
        (pipes.output && pipe2(out, O_CLOEXEC) != 0)) {
        throw std::runtime_error("ChildProcess: no pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipes.input) {
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (pipes.output) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        if (pipes.errorToOutput) {
            posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        }
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const int err = posix_spawnp(&childPid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {in[0], out[1], err != 0 ? in[1] : -1, err != 0 ? out[0] : -1}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (err != 0) {
        throw std::runtime_error("ChildProcess: cannot start " + argv[0]);
    }
    inputWrite = in[1];
    if (pipes.output) {
        reader = std::thread([this, fd = out[0], sink = std::move(sink)] { readAll(fd, sink); });
    }
}

ChildProcess::~ChildProcess() {
    terminate();
    closeInput();
    stop = true;
    if (reader.joinable()) {
        reader.join();
    }
}

bool ChildProcess::writeInput(const std::string& text) {
    size_t done = 0;
    while (done < text.size() && inputWrite >= 0) {
        const ssize_t n = ::write(inputWrite, text.data() + done, text.size() - done);
        if (n <= 0 && errno != EINTR) {
            return false;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return done == text.size();
}

void ChildProcess::closeInput() {
    if (inputWrite >= 0) {
        ::close(inputWrite);
        inputWrite = -1;
    }
}

bool ChildProcess::waitForOutput(const std::string& piece, std::chrono::milliseconds limit,
                                 size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] {
        size_t found = 0;
        for (size_t at = collected.find(piece); at != std::string::npos && found < count;
             at = collected.find(piece, at + piece.size())) {
            ++found;
        }
        return found >= count;
    });
}

std::string ChildProcess::output(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, limit, [&] { return ended; });
    return collected;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exitStatus && childPid > 0) {
        int status = 0;
        const pid_t r = waitpid(childPid, &status, WNOHANG);
        if (r == childPid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return exitStatus;
}

void ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (childPid <= 0 || exitStatus) {
        return;
    }
    kill(childPid, SIGTERM);
    if (!waitForExit(grace)) {
        kill(childPid, SIGKILL);
        waitpid(childPid, nullptr, 0);
        exitStatus = 128 + SIGKILL;
    }
}

void ChildProcess::readAll(int fd, const Sink& sink) {
    char chunk[8192];
    // Short polls, so that the destructor's stop is seen even while another process (Wine's
    // server) keeps the pipe open.
    for (ssize_t got = 1; got != 0 && !stop;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        got = ::read(fd, chunk, sizeof chunk);
        const bool failed = got < 0 && errno != EINTR;
        if (got > 0 && sink) {
            sink(std::string_view(chunk, static_cast<size_t>(got)));
        }
        std::lock_guard lock(mutex);
        ended = got == 0 || failed;
        collected.append(chunk, got > 0 && !sink ? static_cast<size_t>(got) : 0);
        got = ended ? 0 : got;
        changed.notify_all();
    }
    ::close(fd);
}
