// SIGINT, SIGTERM and SIGHUP on Linux, taken through a signalfd by a listener thread.
//
// The three signals are blocked in every thread of the program, so none of them is delivered
// asynchronously: no signal handler runs, and no system call of another thread is interrupted.
// They stay pending until the listener reads them from the signalfd. It then has the program's
// handler run on the handler thread, waits for it at most kHandlerLimit, sets the signal's
// default action, unblocks it for itself and raises it again, so that the process ends as it
// would have without the program (a shell sees "killed by SIGINT"). The destructor wakes the
// listener through an eventfd.
#include "app/control_events.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <utility>

#include "threading/deadline_runner.h"
#include "threading/worker_thread.h"

namespace {

// Whether a listener exists; there can be only one, since the signal mask is per process.
std::atomic<bool> g_listening{false};

sigset_t controlSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&set, signal);
    }
    return set;
}

// Whether the process ignores `signal`. The kernel discards an ignored signal before it is ever
// pending, but a runtime that wraps the dispositions (a sanitizer) may let it through.
bool ignored(int signal) {
    struct sigaction current {};
    sigaction(signal, nullptr, &current);
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN;
}

// Writes `text` to standard error only if that cannot block: a pipe that nobody reads must not
// hold the way out.
void writeIfReady(const std::string& text) {
    pollfd err = {STDERR_FILENO, POLLOUT, 0};
    if (text.empty() || poll(&err, 1, 0) != 1 || (err.revents & POLLOUT) == 0) {
        return;
    }
    [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, text.data(), text.size());
}

// Ends the process by `signal`'s default action.
[[noreturn]] void endBySignal(int signal) {
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signal, &defaultAction, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // Not reached: the default action of all three signals ends the process.
    _exit(128 + signal);
}

}  // namespace

struct ControlEvents::Listener {
    explicit Listener(std::function<void()> handler, std::string lateNotice)
        : handler(std::move(handler)), lateNotice(std::move(lateNotice)) {}

    DeadlineRunner handler;
    const std::string lateNotice;
    int signalFd = -1;
    int wakeFd = -1;
    sigset_t previousMask{};
    std::thread thread;

    // The listener thread: waits for a signal or the destructor's wake-up.
    void run() {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            // A signal wins over a wake-up that came with it.
            if ((fds[0].revents & POLLIN) != 0) {
                signalfd_siginfo info{};
                if (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info) &&
                    !ignored(static_cast<int>(info.ssi_signo))) {
                    if (!handler.runWithin(kHandlerLimit)) {
                        writeIfReady(lateNotice);
                    }
                    endBySignal(static_cast<int>(info.ssi_signo));
                }
                continue;
            }
            if (fds[1].revents != 0) {
                return;
            }
        }
    }

    void closeDescriptors() {
        if (signalFd >= 0) {
            close(signalFd);
        }
        if (wakeFd >= 0) {
            close(wakeFd);
        }
    }
};

ControlEvents::ControlEvents(std::function<void()> handler, std::string lateNotice)
    : listener(std::make_unique<Listener>(std::move(handler), std::move(lateNotice))) {
    if (g_listening.exchange(true)) {
        throw std::logic_error("ControlEvents: only one at a time");
    }
    const sigset_t signals = controlSignalSet();
    pthread_sigmask(SIG_BLOCK, &signals, &listener->previousMask);
    listener->signalFd = signalfd(-1, &signals, SFD_CLOEXEC);
    listener->wakeFd = eventfd(0, EFD_CLOEXEC);
    try {
        if (listener->signalFd < 0 || listener->wakeFd < 0) {
            throw std::runtime_error("ControlEvents: no signalfd or eventfd");
        }
        if (!listener->handler.start() ||
            !createWorkerThread(listener->thread, &Listener::run, listener.get())) {
            throw std::runtime_error("ControlEvents: no thread");
        }
    } catch (...) {
        listener->closeDescriptors();
        pthread_sigmask(SIG_SETMASK, &listener->previousMask, nullptr);
        g_listening = false;
        throw;
    }
}

ControlEvents::~ControlEvents() {
    const uint64_t wake = 1;
    while (write(listener->wakeFd, &wake, sizeof wake) < 0 && errno == EINTR) {
    }
    listener->thread.join();
    listener->closeDescriptors();
    // A signal that came after the listener ended is still pending; with the mask given back it
    // now acts by its disposition.
    pthread_sigmask(SIG_SETMASK, &listener->previousMask, nullptr);
    g_listening = false;
}
