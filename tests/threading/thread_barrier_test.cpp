#include "threading/thread_barrier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/threading/bounded_wait.h"

namespace {

// Runs `threads` threads through `cycles` cycles. In each cycle every thread writes the cycle
// number into its slot and arrives at the first gate; behind it every slot must hold that
// number, and nobody may write the next one before all have arrived at the second gate. Returns
// the number of stale slots seen. A barrier that loses an arrival is freed with releaseAll() and
// fails the test instead of hanging it.
int staleSlotsOverCycles(ThreadBarrier& barrier, int threads, int cycles) {
    std::vector<std::atomic<int>> slots(static_cast<size_t>(threads));
    std::atomic<int> stale{0}, finished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int cycle = 1; cycle <= cycles; ++cycle) {
                slots[static_cast<size_t>(t)] = cycle;
                barrier.arriveFirst();
                for (const auto& slot : slots) {
                    stale += slot != cycle;
                }
                barrier.arriveSecond();
            }
            ++finished;
        });
    }
    const bool done = eventually([&] { return finished == threads; });
    if (!done) {
        barrier.releaseAll();
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_TRUE(done) << "an arrival was lost";
    return stale;
}

TEST(ThreadBarrier, NoThreadPassesAGateBeforeAllHaveArrivedFromTheFirstCycleOn) {
    for (int threads : {1, 2, 4}) {
        ThreadBarrier barrier(threads);
        EXPECT_EQ(staleSlotsOverCycles(barrier, threads, 1000), 0) << threads << " threads";
    }
    ThreadBarrier barrier(3);
    EXPECT_EQ(staleSlotsOverCycles(barrier, 3, 300), 0);
    barrier.rearm(2);
    EXPECT_EQ(staleSlotsOverCycles(barrier, 2, 300), 0) << "after rearm(2)";
    barrier.rearm(0);
    EXPECT_EQ(staleSlotsOverCycles(barrier, 2, 300), 0) << "after rearm(0)";
}

TEST(ThreadBarrier, ReleaseAllFreesTheWaitersAndLetsEveryArrivalPassUntilRearmed) {
    ThreadBarrier barrier(3);
    std::atomic<int> through{0};
    auto arrive = [&] {
        barrier.arriveAndWait();
        ++through;
    };
    std::thread first(arrive), second(arrive);
    ASSERT_TRUE(eventually([&] { return barrier.arrivedFirst == 2; }));
    EXPECT_EQ(through, 0);
    barrier.releaseAll();
    ASSERT_TRUE(eventually([&] { return through == 2; }));
    first.join();
    second.join();
    completesWithin([&] { barrier.arriveAndWait(); }, "an arrival after releaseAll()");

    barrier.rearm(2);
    std::thread held(arrive);
    ASSERT_TRUE(eventually([&] { return barrier.arrivedFirst == 1; }));
    EXPECT_EQ(through, 2) << "a lone arrival passed after rearm()";
    completesWithin([&] { barrier.arriveAndWait(); }, "the partner's arrival after rearm()");
    held.join();
    EXPECT_EQ(through, 3);
}

TEST(ThreadBarrier, ABarrierForNoThreadsIsRefused) {
    EXPECT_THROW(ThreadBarrier(0), std::invalid_argument);
    EXPECT_THROW(ThreadBarrier(1).rearm(-1), std::invalid_argument);
}

}  // namespace
