// Bounded waits for the threading tests: a broken implementation makes a test fail, never hang.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

inline constexpr std::chrono::seconds kPatience{10};

// Polls `condition` until it holds or the limit has passed; true when it held.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs `action` on a helper thread and waits for it within the limit. A call that is stuck
// inside the object under test cannot be cleaned up, so the process ends with a message.
template <class Action>
void completesWithin(Action action, const char* what, std::chrono::milliseconds limit = kPatience) {
    auto done = std::async(std::launch::async, std::move(action));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "stuck: %s did not return\n", what);
        std::fflush(stderr);
        std::_Exit(1);
    }
    done.get();
}

// A gate a loop body waits at until the test opens it; the wait ends by itself after the limit.
class TestGate {
  public:
    void open() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            isOpen = true;
        }
        opened.notify_all();
    }
    void pass() {
        std::unique_lock<std::mutex> guard(mutex);
        opened.wait_for(guard, kPatience, [this] { return isOpen; });
    }

  private:
    std::mutex mutex;
    std::condition_variable opened;
    bool isOpen = false;
};
