// Bounded waits for tests with threads: a broken implementation makes a test fail, never hang.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

inline constexpr std::chrono::seconds kPatience{10};

// Polls `condition` until it holds or the limit has passed; true when it held.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// Runs `action` on a helper thread; one stuck past the limit cannot be cleaned up, so the
// process ends with a message.
template <class Action>
void completesWithin(Action action, const char* what, std::chrono::milliseconds limit = kPatience) {
    auto done = std::async(std::launch::async, std::move(action));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "stuck: %s did not return\n", what);
        std::_Exit(1);
    }
    done.get();
}
