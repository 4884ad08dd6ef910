#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, ChildPipes pipes) {
    if (argv.empty()) {
        throw std::invalid_argument("ChildProcess: no program");
    }
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if ((pipes.input && pipe2(in, O_CLOEXEC) != 0) ||
        (pipes.output && pipe2(out, O_CLOEXEC) != 0)) {
        for (int fd : {in[0], in[1], out[0], out[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
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
    closeFd(in[0]);
    closeFd(out[1]);
    if (err != 0) {
        closeFd(in[1]);
        closeFd(out[0]);
        throw std::runtime_error("ChildProcess: cannot start " + argv[0]);
    }
    inputWrite = in[1];
    outputRead = out[0];
}

ChildProcess::~ChildProcess() {
    terminate();
    closeFd(inputWrite);
    closeFd(outputRead);
}

bool ChildProcess::writeInput(const std::string& text) {
    size_t done = 0;
    while (done < text.size() && inputWrite >= 0) {
        const ssize_t n = ::write(inputWrite, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return done == text.size();
}

void ChildProcess::closeInput() {
    closeFd(inputWrite);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exitStatus && childPid > 0) {
        int status = 0;
        const pid_t r = waitpid(childPid, &status, WNOHANG);
        if (r == childPid) {
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
        int status = 0;
        waitpid(childPid, &status, 0);
        exitStatus = 128 + SIGKILL;
    }
}
