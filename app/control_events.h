// Console control events: Ctrl+C, Ctrl+Break and closing the console on Windows; SIGINT, SIGTERM
// and SIGHUP on Linux. While a ControlEvents object lives, the first such event runs its handler
// on a thread of the program (never inside a signal handler, so the handler may take locks and
// join threads), and then the process ends by the platform's default handling of that event:
// on Windows the next control handler, on Linux the signal's default action.
//
// Linux: the constructor blocks the three signals in the calling thread, and every thread
// created afterwards inherits that mask; only the listener thread takes them, from a signalfd.
// So construct it on the main thread before any other thread is started. A signal that the
// process ignored at start stays ignored.
#pragma once

#include <functional>
#include <memory>

class ControlEvents {
  public:
    // At most one object at a time; a second one throws std::logic_error.
    explicit ControlEvents(std::function<void()> handler);
    // Uninstalls the handler and ends its thread. A handler already running is waited for (and
    // then ends the process). On Linux a signal that arrives during the destruction is acted on
    // by its disposition once the destructor unblocks it.
    ~ControlEvents();

    ControlEvents(const ControlEvents&) = delete;
    ControlEvents& operator=(const ControlEvents&) = delete;

  private:
    struct Listener;
    std::unique_ptr<Listener> listener;
};
