// Watches the program's input for its end while the main thread does something else (the speaker
// test plays while nothing is asked). A thread of its own reads and drops characters until the
// end of the input; a read cannot be interrupted, so a watcher that is still reading when it is
// destroyed lets its thread go, which then ends with the process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <thread>

class InputEndWatcher {
  public:
    explicit InputEndWatcher(std::istream& in);
    ~InputEndWatcher();

    InputEndWatcher(const InputEndWatcher&) = delete;
    InputEndWatcher& operator=(const InputEndWatcher&) = delete;

    // Starts the reading thread. False when it cannot be created.
    bool start();

    // True once the input has ended; waits for that at most `limit`. Main thread.
    bool waitForEnd(std::chrono::milliseconds limit);

  private:
    struct State {
        std::istream& in;
        std::mutex mutex;
        std::condition_variable changed;
        bool ended = false;  // guarded by mutex
    };
    static void read(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state;
    std::thread reader;
};
