// A gate that, once set, lets every waiter and every later arrival through until it is reset:
// the manual-reset event the thread wrappers are built on. A waiter blocks on a condition
// variable; set() wakes them all.
//
// Threads: any thread may set, reset or wait; the internal mutex serialises them.
#pragma once

#include <condition_variable>
#include <mutex>

class ManualResetEvent {
  public:
    explicit ManualResetEvent(bool initiallySet = false) : signalled(initiallySet) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void set() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            signalled = true;
        }
        changed.notify_all();
    }

    void reset() {
        std::lock_guard<std::mutex> guard(mutex);
        signalled = false;
    }

    // Returns once the event is set; without a time limit.
    void wait() {
        std::unique_lock<std::mutex> guard(mutex);
        changed.wait(guard, [this] { return signalled; });
    }

  private:
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled;
};
