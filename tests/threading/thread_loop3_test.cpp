#include "threading/thread_loop3.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

#include "tests/threading/bounded_wait.h"
#include "threading/worker_thread.h"

namespace {

class Probe3 : public IThreadLoop3 {
  public:
    ~Probe3() { stop(true); }
    void loopA() override { ++calls[0]; }
    void loopB() override { ++calls[1]; }
    void loopC() override { ++calls[2]; }
    bool allCalled() const { return calls[0] > 0 && calls[1] > 0 && calls[2] > 0; }
    int total() const { return calls[0] + calls[1] + calls[2]; }

    std::array<std::atomic<int>, 3> calls{};
};

TEST(IThreadLoop3, AFailedCreationReleasesTheWorkersAlreadyCreatedAndALaterStartRunsAllThree) {
    for (int created : {0, 1, 2}) {
        SCOPED_TRACE(created);
        Probe3 probe;
        {
            WorkerCreationFault fault(created);
            completesWithin([&] { EXPECT_FALSE(probe.start()); }, "a failing start()");
        }
        EXPECT_FALSE(probe.running);
        EXPECT_EQ(probe.total(), 0);
        completesWithin([&] { probe.stop(true); }, "stop(true) after a failed start()");
        completesWithin([&] { EXPECT_TRUE(probe.start()); }, "start() after a failed start()");
        EXPECT_TRUE(eventually([&] { return probe.allCalled(); }));

        EXPECT_TRUE(probe.stop(true));
        EXPECT_FALSE(probe.running);
        const int callsAtStop = probe.total();
        EXPECT_TRUE(probe.stop(true));
        EXPECT_EQ(probe.total(), callsAtStop) << "a loop body ran after a waiting stop";
    }
}

// As in IThreadLoop: a stop without waiting from another thread while start() joins the earlier
// workers ends the new ones too.
class StoppedDuringStart3 : public IThreadLoop3 {
  public:
    ~StoppedDuringStart3() { stop(true); }
    void loopA() override {
        if (armed) {
            parked = true;
            // Held here until start() asks this worker to end and waits for it.
            EXPECT_TRUE(eventually([this] { return stopRequested.load(); }));
            armed = false;
            std::thread([this] { stop(false); }).join();
        }
    }
    std::atomic<bool> armed{false};
    std::atomic<bool> parked{false};
};

TEST(IThreadLoop3, AStopWithoutWaitingDuringStartEndsTheNewWorkers) {
    StoppedDuringStart3 probe;
    ASSERT_TRUE(probe.start());
    probe.armed = true;
    ASSERT_TRUE(eventually([&] { return probe.parked.load(); }));
    ASSERT_TRUE(probe.start());
    EXPECT_FALSE(probe.armed);
    EXPECT_TRUE(eventually([&] { return !probe.running; }));
}

}  // namespace
