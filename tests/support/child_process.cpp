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

ChildProcess::ChildProcess(const std::vector<std::string>& argv, ChildPipes pipes,
                           std::function<void(std::string_view)> sink) {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("ChildProcess: no pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    for (int fd : {pipes.output ? STDOUT_FILENO : -1, pipes.errorToOutput ? STDERR_FILENO : -1}) {
        if (fd >= 0) {
            posix_spawn_file_actions_adddup2(&actions, out[1], fd);
        }
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const int err = posix_spawnp(&childPid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    inputWrite = in[1];
    if (!pipes.input || err != 0) {
        closeInput();
    }
    if (err != 0) {
        ::close(out[0]);
        throw std::runtime_error("ChildProcess: cannot start " + argv[0]);
    }
    // Short polls, so that the destructor's stop is seen while another process (Wine's server)
    // keeps the pipe open.
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

ChildProcess::~ChildProcess() {
    if (childPid > 0 && !exitStatus) {
        kill(childPid, SIGTERM);
        if (!waitForExit(Ms(2000))) {
            kill(childPid, SIGKILL);
            waitpid(childPid, nullptr, 0);
        }
    }
    closeInput();
    stop = true;
    reader.join();
}

bool ChildProcess::writeInput(const std::string& text) {
    return inputWrite >= 0 && ::write(inputWrite, text.data(), text.size()) == ssize_t(text.size());
}

void ChildProcess::closeInput() {
    if (inputWrite >= 0) {
        ::close(inputWrite);
    }
    inputWrite = -1;
}

bool ChildProcess::waitForOutput(const std::string& piece, Ms limit, size_t count) {
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

std::string ChildProcess::output(Ms limit) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, limit, [&] { return ended; });
    return collected;
}

std::optional<int> ChildProcess::waitForExit(Ms limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int status = 0; !exitStatus && childPid > 0; std::this_thread::sleep_for(Ms(5))) {
        const pid_t r = waitpid(childPid, &status, WNOHANG);
        if (r == childPid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
    }
    return exitStatus;
}
