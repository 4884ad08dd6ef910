#include "threading/thread_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "tests/threading/bounded_wait.h"

namespace {

// Counts its loop() calls, numbers the worker threads it runs on (thread ids are reused after a
// join, serials are not) and, as told, holds its first call at a gate or stops from inside.
class Probe : public IThreadLoop {
  public:
    enum class FirstCall { Return, Hold, StopWithoutWaiting, StopAndWait };

    explicit Probe(FirstCall first = FirstCall::Return) : first(first) {}
    ~Probe() { stop(true); }

    void loop() override {
        thread_local int workerSerial = ++serials;
        worker = workerSerial;
        staleWorkerCalled = staleWorkerCalled || workerSerial == staleWorker;
        ++inside;
        if (++calls == 1) {
            firstCallSawRunning = running.load();
            if (first == FirstCall::Hold) {
                held = true;
                gate.pass();
            } else if (first != FirstCall::Return) {
                startFromWorker = start();
                stop(first == FirstCall::StopAndWait);
            }
        }
        --inside;
    }

    const FirstCall first;
    TestGate gate;
    std::atomic<bool> held{false}, firstCallSawRunning{false}, startFromWorker{true};
    std::atomic<int> calls{0}, inside{0}, worker{0}, staleWorker{-1};
    std::atomic<bool> staleWorkerCalled{false};
    inline static std::atomic<int> serials{0};
};

// Run many times: a worker that ran before start() marked it running would clear `running`
// first and then have it set for good.
TEST(IThreadLoop, AWorkerThatStopsItselfEndsAfterOneCallAndLeavesRunningFalse) {
    for (auto how : {Probe::FirstCall::StopWithoutWaiting, Probe::FirstCall::StopAndWait}) {
        for (int round = 0; round < 100; ++round) {
            Probe probe(how);
            ASSERT_TRUE(probe.start());
            ASSERT_TRUE(eventually([&] { return !probe.running; })) << "round " << round;
            EXPECT_EQ(probe.calls, 1);
            EXPECT_TRUE(probe.firstCallSawRunning);
            EXPECT_FALSE(probe.startFromWorker);
        }
    }
}

TEST(IThreadLoop, StartingAgainJoinsTheOldWorkerBeforeTheNewOneRuns) {
    Probe probe;
    probe.stop(true);  // never started: returns at once
    ASSERT_TRUE(probe.start());
    ASSERT_TRUE(eventually([&] { return probe.calls > 0; }));
    const int oldWorker = probe.worker;
    ASSERT_TRUE(probe.start());
    probe.staleWorker = oldWorker;
    const int callsAtRestart = probe.calls;
    ASSERT_TRUE(eventually([&] { return probe.calls > callsAtRestart + 10; }));
    probe.stop(true);
    EXPECT_GT(probe.worker, oldWorker);
    EXPECT_FALSE(probe.staleWorkerCalled);
}

TEST(IThreadLoop, StopWithoutWaitingReturnsAtOnceAndRunningFallsOnlyWhenTheCallEnds) {
    Probe probe(Probe::FirstCall::Hold);
    ASSERT_TRUE(probe.start());
    ASSERT_TRUE(eventually([&] { return probe.held.load(); }));
    probe.stop(false);
    EXPECT_EQ(probe.inside, 1) << "stop(false) waited for the call in progress";
    EXPECT_TRUE(probe.running);
    probe.gate.open();
    ASSERT_TRUE(eventually([&] { return !probe.running; }));
    EXPECT_EQ(probe.calls, 1);
    completesWithin([&] { probe.stop(true); }, "stop(true) after the worker ended");
    ASSERT_TRUE(probe.start());
    EXPECT_TRUE(eventually([&] { return probe.calls > 1; }));
}

TEST(IThreadLoop, TwoWaitingStopsAtOnceBothReturnOnlyAfterTheWorkerEnded) {
    for (int round = 0; round < 20; ++round) {
        Probe probe(Probe::FirstCall::Hold);
        ASSERT_TRUE(probe.start());
        ASSERT_TRUE(eventually([&] { return probe.held.load(); }));
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
    }
}

// The worker has ended but was never joined; only the base destructor is left to join it.
TEST(IThreadLoop, AnObjectStoppedWithoutWaitingCanBeDestroyedAfterItsWorkerEnded) {
    struct Bare : IThreadLoop {};
    auto bare = std::make_unique<Bare>();
    ASSERT_TRUE(bare->start());
    bare->stop(false);
    ASSERT_TRUE(eventually([&] { return !bare->running; }));
    completesWithin([&] { bare.reset(); }, "destruction");
}

// While a second start() joins the first worker, the first worker's last loop() has another
// thread ask for a stop without waiting: that stop came during start(), so the new worker must
// end by itself.
class StoppedDuringStart : public IThreadLoop {
  public:
    ~StoppedDuringStart() { stop(true); }
    void loop() override {
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

TEST(IThreadLoop, AStopWithoutWaitingDuringStartEndsTheNewWorker) {
    StoppedDuringStart probe;
    ASSERT_TRUE(probe.start());
    probe.armed = true;
    ASSERT_TRUE(eventually([&] { return probe.parked.load(); }));
    ASSERT_TRUE(probe.start());
    EXPECT_FALSE(probe.armed);
    EXPECT_TRUE(eventually([&] { return !probe.running; }));
}

// A loop() that destroys its own object (once start() has returned) runs the destructor on the
// worker, which cannot join itself.
class SelfDestroying final : public IThreadLoop {
  public:
    SelfDestroying(std::atomic<bool>& started, std::atomic<bool>& destroyed)
        : started(started), destroyed(destroyed) {}
    ~SelfDestroying() {
        stop(true);
        destroyed = true;
    }
    void loop() override {
        if (started) {
            delete this;
        } else {
            std::this_thread::yield();
        }
    }
    std::atomic<bool>& started;
    std::atomic<bool>& destroyed;
};

TEST(IThreadLoop, AnObjectDestroyedOnItsOwnWorkerLetsTheWorkerEnd) {
    std::atomic<bool> started{false};
    std::atomic<bool> destroyed{false};
    auto* probe = new SelfDestroying(started, destroyed);
    ASSERT_TRUE(probe->start());
    started = true;
    EXPECT_TRUE(eventually([&] { return destroyed.load(); }));
}

}  // namespace
