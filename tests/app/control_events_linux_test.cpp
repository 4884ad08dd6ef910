// Console control events on Linux: a signal runs the handler on the listener thread, not on the
// thread that was busy, and then ends the process by that same signal; an ignored signal stays
// ignored; a listener that saw no signal leaves the process's signal handling as it found it.
#include "app/control_events.h"

#include <pthread.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

constexpr auto kDeathLimit = std::chrono::seconds(10);

// Runs in a death-test child: installs a listener, sends `signals` to the process, and blocks
// the main thread until the process is ended. Prints where the handler ran.
void signalAndWait(std::initializer_list<int> signals) {
    const std::thread::id mainThread = std::this_thread::get_id();
    std::mutex mutex;
    std::condition_variable never;
    ControlEvents events([mainThread] {
        std::fprintf(stderr, std::this_thread::get_id() == mainThread ? "handler on main\n"
                                                                      : "handler on listener\n");
    });
    for (int signal : signals) {
        kill(getpid(), signal);
    }
    std::unique_lock<std::mutex> lock(mutex);
    never.wait_for(lock, kDeathLimit, [] { return false; });
    std::fprintf(stderr, "still alive\n");
    std::_Exit(0);
}

class ControlEventsDeathTest : public testing::TestWithParam<int> {};

TEST_P(ControlEventsDeathTest, SignalRunsTheHandlerOnTheListenerThenEndsTheProcessByIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int signal = GetParam();
    EXPECT_EXIT(signalAndWait({signal}), testing::KilledBySignal(signal), "handler on listener");
}

INSTANTIATE_TEST_SUITE_P(ControlEvents, ControlEventsDeathTest,
                         testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST(ControlEventsDeathTest, IgnoredSignalStaysIgnored) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            signalAndWait({SIGHUP, SIGTERM});
        },
        testing::KilledBySignal(SIGTERM), "handler on listener");
}

bool blocked(int signal) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

TEST(ControlEvents, ListenerLeavesSignalHandlingAsItFoundIt) {
    for (int round = 0; round < 2; ++round) {
        {
            ControlEvents events([] {});
            EXPECT_TRUE(blocked(SIGINT));
            EXPECT_THROW(ControlEvents([] {}), std::logic_error);
        }
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action {};
            sigaction(signal, nullptr, &action);
            EXPECT_EQ(action.sa_handler, SIG_DFL) << signal;
            EXPECT_FALSE(blocked(signal)) << signal;
        }
    }
}

}  // namespace
