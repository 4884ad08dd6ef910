// The thread-loop wrappers (one and three workers) and the barrier: start and stop from any
// thread, at any moment, end and join every worker once, and no wait is unbounded.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/threading/bounded_wait.h"
#include "threading/thread_barrier.h"
#include "threading/thread_loop.h"
#include "threading/thread_loop3.h"
#include "threading/worker_thread.h"

namespace {

// Counts its calls and numbers its workers (thread ids are reused, serials are not). As told, its
// first call holds at a gate or stops (and tries a start) from inside; an armed call waits until
// a start() asks its worker to end, then has another thread stop without waiting.
template <class Loop>
class Probe : public Loop {
  public:
    enum First { Return, Hold, StopWithoutWaiting, StopAndWait };
    explicit Probe(First first = Return) : first(first) {}
    void body() {
        thread_local const int serial = ++serials;
        staleCalled = staleCalled || serial == stale;
        worker = serial;
        ++inside;
        if (++calls == 1 && first == Hold) {
            gate.pass();
        } else if (calls == 1 && first != Return) {
            sawRunning = this->running.load();
            startFromWorker = this->start();
            this->stop(first == StopAndWait);
        }
        if (armed.exchange(false)) {
            parked = true;
            EXPECT_TRUE(eventually([this] { return this->stopRequested.load(); }));
            std::thread([this] { this->stop(false); }).join();
        }
        --inside;
    }
    const First first;
    TestGate gate;
    std::atomic<bool> sawRunning{false}, startFromWorker{true}, staleCalled{false};
    std::atomic<bool> armed{false}, parked{false};
    std::atomic<int> calls{0}, inside{0}, worker{0}, stale{-1};
    inline static std::atomic<int> serials{0};
};

struct Loop1 : Probe<IThreadLoop> {
    using Probe::Probe;
    ~Loop1() { stop(true); }
    void loop() override { body(); }
};

struct Loop3 : Probe<IThreadLoop3> {
    using Probe::Probe;
    ~Loop3() { stop(true); }
    void loopA() override { body(); }
    void loopB() override { ++others[0]; }
    void loopC() override { ++others[1]; }
    std::array<std::atomic<int>, 2> others{};
};

template <class T>
class ThreadLoops : public ::testing::Test {};
using LoopTypes = ::testing::Types<Loop1, Loop3>;
TYPED_TEST_SUITE(ThreadLoops, LoopTypes);

// Run many times: a worker that ran before start() marked it running would clear `running`
// first and then have it set for good.
TYPED_TEST(ThreadLoops, AWorkerThatStopsItselfEndsAfterOneCallAndCannotRestartItself) {
    for (auto how : {TypeParam::StopWithoutWaiting, TypeParam::StopAndWait}) {
        for (int round = 0; round < 50; ++round) {
            TypeParam probe(how);
            ASSERT_TRUE(probe.start());
            ASSERT_TRUE(eventually([&] { return !probe.running; })) << round;
            EXPECT_EQ(probe.calls, 1);
            EXPECT_TRUE(probe.sawRunning);
            EXPECT_FALSE(probe.startFromWorker);
        }
    }
}

TYPED_TEST(ThreadLoops, StartingAgainJoinsTheOldWorkerBeforeTheNewOneRuns) {
    TypeParam probe;
    probe.stop(true);
    ASSERT_TRUE(probe.start());
    ASSERT_TRUE(eventually([&] { return probe.calls > 0; }));
    const int oldWorker = probe.worker;
    ASSERT_TRUE(probe.start());
    probe.stale = oldWorker;
    const int callsAtRestart = probe.calls;
    ASSERT_TRUE(eventually([&] { return probe.calls > callsAtRestart + 10; }));
    probe.stop(true);
    EXPECT_GT(probe.worker, oldWorker);
    EXPECT_FALSE(probe.staleCalled);
}

// stop(false) returns while a call is in progress; two waiting stops at once both return only
// once the worker has ended; a later start() runs again.
TYPED_TEST(ThreadLoops, StopWithoutWaitingReturnsAtOnceAndWaitingStopsWaitForTheEnd) {
    TypeParam probe(TypeParam::Hold);
    ASSERT_TRUE(probe.start());
    ASSERT_TRUE(eventually([&] { return probe.inside == 1; }));
    probe.stop(false);
    EXPECT_EQ(probe.inside, 1);
    std::atomic<int> stopping{0}, returnedEarly{0};
    auto stopper = [&] {
        ++stopping;
        probe.stop(true);
        returnedEarly += probe.running || probe.inside != 0;
    };
    std::thread first(stopper), second(stopper);
    ASSERT_TRUE(eventually([&] { return stopping == 2; }));
    probe.gate.open();
    completesWithin([&] { first.join(), second.join(); }, "two waiting stops");
    EXPECT_EQ(returnedEarly, 0);
    EXPECT_EQ(probe.calls, 1);
    ASSERT_TRUE(probe.start());
    EXPECT_TRUE(eventually([&] { return probe.calls > 1; }));
}

// A stop asked for while start() joins the earlier worker ends the worker this start() creates.
TYPED_TEST(ThreadLoops, AStopWithoutWaitingDuringStartEndsTheNewWorker) {
    TypeParam probe;
    ASSERT_TRUE(probe.start());
    probe.armed = true;
    ASSERT_TRUE(eventually([&] { return probe.parked.load(); }));
    ASSERT_TRUE(probe.start());
    EXPECT_TRUE(eventually([&] { return !probe.running; }));
}

TEST(IThreadLoop, TheBaseDestructorJoinsAWorkerThatEndedUnjoined) {
    struct Bare : IThreadLoop {};
    auto bare = std::make_unique<Bare>();
    ASSERT_TRUE(bare->start());
    bare->stop(false);
    ASSERT_TRUE(eventually([&] { return !bare->running; }));
    completesWithin([&] { bare.reset(); }, "destruction");
}

// A loop() that destroys its own object runs the destructor on the worker, which cannot join
// itself.
TEST(IThreadLoop, AnObjectDestroyedOnItsOwnWorkerLetsTheWorkerEnd) {
    static std::atomic<bool> started{false}, destroyed{false};
    struct SelfDestroying final : IThreadLoop {
        ~SelfDestroying() {
            stop(true);
            destroyed = true;
        }
        void loop() override {
            if (started)
                delete this;
        }
    };
    ASSERT_TRUE((new SelfDestroying)->start());
    started = true;
    EXPECT_TRUE(eventually([&] { return destroyed.load(); }));
}

TEST(IThreadLoop3, AFailedCreationReleasesTheWorkersCreatedAndALaterStartRunsAllThree) {
    for (int created : {0, 1, 2}) {
        Loop3 probe;
        {
            WorkerCreationFault fault(created);
            completesWithin([&] { EXPECT_FALSE(probe.start()); }, "a failing start()");
        }
        EXPECT_FALSE(probe.running);
        EXPECT_EQ(probe.calls + probe.others[0] + probe.others[1], 0) << created;
        completesWithin([&] { EXPECT_TRUE(probe.start()); }, "start() after a failed start()");
        EXPECT_TRUE(eventually([&] { return probe.calls && probe.others[0] && probe.others[1]; }));
    }
}

// Each party writes its cycle number and arrives: behind the first gate every slot must hold
// that number. A lost arrival is freed by releaseAll() and fails the test instead of hanging it.
int staleSlots(ThreadBarrier& barrier, int threads, int cycles) {
    std::vector<std::atomic<int>> slots(static_cast<size_t>(threads));
    std::atomic<int> stale{0}, finished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int cycle = 1; cycle <= cycles; ++cycle) {
                slots[static_cast<size_t>(t)] = cycle;
                barrier.arriveFirst();
                for (const auto& slot : slots)
                    stale += slot != cycle;
                barrier.arriveSecond();
            }
            ++finished;
        });
    }
    const bool done = eventually([&] { return finished == threads; });
    if (!done)
        barrier.releaseAll();
    for (auto& worker : workers)
        worker.join();
    EXPECT_TRUE(done) << "an arrival was lost";
    return stale;
}

TEST(ThreadBarrier, NoThreadPassesBeforeAllArriveAndReleaseAllLetsEveryonePassUntilRearmed) {
    EXPECT_THROW(ThreadBarrier(0), std::invalid_argument);
    ThreadBarrier barrier(4);
    EXPECT_EQ(staleSlots(barrier, 4, 500), 0);
    barrier.rearm(2);
    EXPECT_EQ(staleSlots(barrier, 2, 500), 0);
    std::atomic<int> through{0};
    std::thread held([&] {
        barrier.arriveAndWait();
        ++through;
    });
    ASSERT_TRUE(eventually([&] { return barrier.arrivedFirst == 1; }));
    EXPECT_EQ(through, 0);
    barrier.releaseAll();
    completesWithin([&] { held.join(), barrier.arriveAndWait(); }, "arrivals after releaseAll()");
    barrier.rearm(0);
    EXPECT_EQ(staleSlots(barrier, 2, 500), 0);
}

}  // namespace
