// Console control events: Ctrl+C, Ctrl+Break and closing the console on Windows; SIGINT, SIGTERM
// and SIGHUP on Linux. While a ControlEvents object lives, the first such event runs its handler
// on a thread of the program started in advance (never inside a signal handler, so the handler
// may take locks and join threads), and then the process ends by the platform's default handling
// of that event: on Windows the next control handler, on Linux the signal's default action. The
// process ends within half a second whatever the handler waits for: a handler that has not
// finished by kHandlerLimit is left behind, and the late notice, where there is one, is written
// to standard error if it can be written without waiting.
//
// Linux: the constructor blocks the three signals in the calling thread, and every thread
// created afterwards inherits that mask; only the listener thread takes them, from a signalfd.
// So construct it on the main thread before any other thread is started. A signal that the
// process ignored at start stays ignored.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class ControlEvents {
  public:
    static constexpr std::chrono::milliseconds kHandlerLimit{300};

    // At most one object at a time; a second one throws std::logic_error. Throws
    // std::runtime_error when its threads (or, on Linux, its descriptors) cannot be had.
    explicit ControlEvents(std::function<void()> handler, std::string lateNotice = {});
    // Uninstalls the handler and ends its thread. A handler already running is waited for (and
    // then ends the process). On Linux a signal that arrives during the destruction is acted on
    // by its disposition once the destructor unblocks it.
    ~ControlEvents();

    ControlEvents(const ControlEvents&) = delete;
    ControlEvents& operator=(const ControlEvents&) = delete;

    // The platform's state: the handler thread, the listener where there is one.
    struct Listener;

  private:
    std::unique_ptr<Listener> listener;
};
