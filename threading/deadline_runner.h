// A worker thread, started in advance, that runs one piece of work when asked, while the asker
// waits for it at most a set time. The program's way out on a console control event uses it: the
// work (closing the output, finishing a file) may block on a device or a full pipe, and the
// process must end within a bound all the same. Starting the thread in advance means that the
// way out never depends on a thread being created at the last moment.
//
// Threads: start(), runWithin() and the destructor belong to one thread at a time (the control
// event's). The work runs on the worker. Work that is still running when its time is up keeps
// running there; the worker and its state then outlive this object, which lets it go.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class DeadlineRunner {
  public:
    explicit DeadlineRunner(std::function<void()> work);
    // Ends an idle worker; lets go of one whose work has not finished.
    ~DeadlineRunner();

    DeadlineRunner(const DeadlineRunner&) = delete;
    DeadlineRunner& operator=(const DeadlineRunner&) = delete;

    // Starts the worker. False when no thread could be created.
    bool start();

    // Has the worker run the work (once: later calls only wait for that run) and waits for it
    // until `limit` has passed. True once it has finished; false when it has not by then, or no
    // worker was started.
    bool runWithin(std::chrono::milliseconds limit);

  private:
    struct State {
        std::function<void()> work;
        std::mutex mutex;
        std::condition_variable changed;
        bool asked = false;     // guarded by mutex
        bool finished = false;  // guarded by mutex
        bool ending = false;    // guarded by mutex: the worker is to end without working
    };
    static void serve(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state;
    std::thread worker;
};
