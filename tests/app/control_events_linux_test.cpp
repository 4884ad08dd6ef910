// Console control events on Linux: a signal runs the handler on the listener thread and then ends
// the process by that same signal; an ignored signal stays ignored; a listener leaves the
// process's signal handling as it found it.
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

#include "app/control_events.h"

namespace {

// In a death-test child: installs a listener, sends `signals` and keeps the main thread busy
// (for at most 10 s) until the process ends. Prints where the handler ran.
void signalAndWait(std::initializer_list<int> signals) {
    const std::thread::id mainThread = std::this_thread::get_id();
    ControlEvents events([mainThread] {
        std::fprintf(stderr,
                     std::this_thread::get_id() == mainThread ? "on main\n" : "on listener\n");
    });
    for (int signal : signals) {
        kill(getpid(), signal);
    }
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock<std::mutex> lock(mutex);
    never.wait_for(lock, std::chrono::seconds(10), [] { return false; });
    std::_Exit(0);
}

// Catches a handler that does not run, runs on the busy thread, or a process that survives the
// signal or ends some other way.
TEST(ControlEventsDeathTest, SignalRunsTheHandlerThenEndsTheProcessByIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        EXPECT_EXIT(signalAndWait({signal}), testing::KilledBySignal(signal), "on listener");
    }
    EXPECT_EXIT(
        {
            std::signal(SIGHUP, SIG_IGN);
            signalAndWait({SIGHUP, SIGTERM});
        },
        testing::KilledBySignal(SIGTERM), "on listener");
}

bool blocked(int signal) {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

// Catches a second listener allowed at once, a listener that cannot be made again after the
// first ends, and a signal mask or disposition left changed.
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
