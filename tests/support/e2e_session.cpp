#include "tests/support/e2e_session.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/signal_analysis.h"

extern char** environ;

TerminalChild::TerminalChild(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        throw std::invalid_argument("TerminalChild: no program");
    }
    int terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) {
        throw std::runtime_error("TerminalChild: no pseudo-terminal");
    }
    termios settings;
    tcgetattr(terminal, &settings);
    settings.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
    tcsetattr(terminal, TCSANOW, &settings);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        posix_spawn_file_actions_adddup2(&actions, terminal, fd);
    }
    posix_spawn_file_actions_addclose(&actions, master);
    posix_spawn_file_actions_addclose(&actions, terminal);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    const int err = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(terminal);
    if (err != 0) {
        ::close(master);
        throw std::runtime_error("TerminalChild: cannot start " + argv[0]);
    }
}

TerminalChild::~TerminalChild() {
    if (!status) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    ::close(master);
}

void TerminalChild::type(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(master, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

std::optional<int> TerminalChild::waitForExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!status) {
        int raw = 0;
        if (waitpid(child, &raw, WNOHANG) == child) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

Transcript::Transcript(int fd) : reader([this, fd] { readAll(fd); }) {}

Transcript::~Transcript() {
    stop = true;
    reader.join();
}

bool Transcript::waitFor(const std::string& piece, size_t count, std::chrono::milliseconds limit) {
    return waitUntil(
        [&](const std::string& text) {
            size_t found = 0;
            for (size_t at = text.find(piece); at != std::string::npos && found < count;
                 at = text.find(piece, at + piece.size())) {
                ++found;
            }
            return found >= count;
        },
        limit);
}

bool Transcript::waitUntil(const std::function<bool(const std::string&)>& holds,
                           std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return holds(collected); });
}

bool Transcript::waitForEnd(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return ended; });
}

std::string Transcript::text() {
    std::lock_guard lock(mutex);
    return collected;
}

void Transcript::readAll(int fd) {
    char chunk[4096];
    // Polls in short steps so that the destructor's stop is seen even while the writer lives.
    while (!stop) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        std::lock_guard lock(mutex);
        if (got <= 0) {
            ended = true;
            changed.notify_all();
            return;
        }
        collected.append(chunk, static_cast<size_t>(got));
        changed.notify_all();
    }
}

EnvironmentGuard::EnvironmentGuard(const char* name, const char* value) : name(name) {
    if (const char* old = std::getenv(name)) {
        saved = old;
        hadValue = true;
    }
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

EnvironmentGuard::~EnvironmentGuard() {
    if (hadValue) {
        setenv(name, saved.c_str(), 1);
    } else {
        unsetenv(name);
    }
}

std::vector<double> leftChannel(const MonitorRecording& recording, size_t from, size_t frames) {
    const std::vector<int16_t> samples = recording.samples(from, from + frames);
    return channelOf(samples, MonitorRecording::kChannels, 0);
}

std::optional<size_t> waitForWindow(const MonitorRecording& recording, size_t from, size_t windowMs,
                                    const std::function<bool(std::span<const double>)>& holds,
                                    std::chrono::milliseconds limit) {
    constexpr size_t kFramesPerMs = MonitorRecording::kRateHz / 1000;
    const size_t window = windowMs * kFramesPerMs;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (size_t start = from;; start += 10 * kFramesPerMs) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left <= std::chrono::milliseconds(0) ||
            !recording.waitForFrames(start + window, left)) {
            return std::nullopt;
        }
        if (holds(leftChannel(recording, start, window))) {
            return start;
        }
    }
}
