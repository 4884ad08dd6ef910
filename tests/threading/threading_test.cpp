// The thread-loop wrappers (one and three workers), the barrier and the buffered container: start
// and stop from any thread at any moment end and join every worker once, and no wait is unbounded.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/connections.h"
#include "tests/threading/bounded_wait.h"
#include "threading/buffered_container.h"
#include "threading/deadline_runner.h"
#include "threading/thread_barrier.h"
#include "threading/thread_loop3.h"
#include "threading/worker_thread.h"

namespace {

// Counts its calls; while `holding`, each call waits until the test lets go. As told, its first
// call stops (and tries a start) from inside; an armed call waits until a start() asks its worker
// to end, then has another thread stop without waiting.
template <class Loop>
class Probe : public Loop {
  public:
    enum First { Return, StopWithoutWaiting, StopAndWait };
    explicit Probe(First first = Return) : first(first) {}
    void body() {
        ++inside;
        if (++calls == 1 && first != Return) {
            sawRunning = this->running.load();
            startFromWorker = this->start();
            this->stop(first == StopAndWait);
        }
        EXPECT_TRUE(eventually([this] { return !holding; }));
        if (armed.exchange(false)) {
            parked = true;
            EXPECT_TRUE(eventually([this] { return this->stopRequested.load(); }));
            std::thread([this] { this->stop(false); }).join();
        }
        --inside;
    }
    const First first;
    std::atomic<bool> holding{false}, sawRunning{false}, startFromWorker{true};
    std::atomic<bool> armed{false}, parked{false};
    std::atomic<int> calls{0}, inside{0};
};

// Without a stop of its own in the destructor: the base's destructor joins an ended worker.
struct Loop1 : Probe<IThreadLoop> {
    using Probe::Probe;
    void loop() override { body(); }
};

// The second and third workers may outlive the first one's end, so this one stops in its own
// destructor.
struct Loop3 : Probe<IThreadLoop3> {
    using Probe::Probe;
    ~Loop3() { stop(true); }
    void loopA() override { body(); }
    void loopB() override { ++callsB; }
    void loopC() override { ++callsC; }
    std::atomic<int> callsB{0}, callsC{0};
};

template <class T>
class ThreadLoops : public ::testing::Test {};
using LoopTypes = ::testing::Types<Loop1, Loop3>;
TYPED_TEST_SUITE(ThreadLoops, LoopTypes);

// Many rounds: a worker that ran before start() marked it running would clear `running` first
// and then have it set for good.
TYPED_TEST(ThreadLoops, AWorkerThatStopsItselfEndsAfterOneCallAndCannotRestartItself) {
    for (auto how : {TypeParam::StopWithoutWaiting, TypeParam::StopAndWait}) {
        for (int round = 0; round < 50; ++round) {
            TypeParam probe(how);
            ASSERT_TRUE(probe.start());
            ASSERT_TRUE(eventually([&] { return !probe.running; })) << round;
            EXPECT_EQ(probe.calls, 1);
            EXPECT_TRUE(probe.sawRunning && !probe.startFromWorker);
        }
    }
}

// stop(false) returns during a call; two waiting stops return only once it has ended; a start()
// during a call joins that worker before its new one runs.
TYPED_TEST(ThreadLoops, StopsAndStartsDuringACallWaitForItsEnd) {
    TypeParam probe;
    probe.holding = true;
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
    probe.holding = false;
    completesWithin([&] { first.join(), second.join(); }, "two waiting stops");
    EXPECT_EQ(returnedEarly, 0);
    EXPECT_EQ(probe.calls, 1);
    probe.holding = true;
    ASSERT_TRUE(probe.start());
    ASSERT_TRUE(eventually([&] { return probe.inside == 1; }));
    std::thread starter([&] { EXPECT_TRUE(probe.start()); });
    EXPECT_FALSE(eventually([&] { return probe.calls > 2; }, std::chrono::milliseconds(100)));
    probe.holding = false;
    completesWithin([&] { starter.join(); }, "a start() during a call");
    EXPECT_TRUE(eventually([&] { return probe.calls > 3; }));
    probe.stop(true);
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

TEST(IThreadLoop3, AFailedCreationReleasesTheWorkersCreatedAndALaterStartRunsAllThree) {
    for (int created : {0, 1, 2}) {
        Loop3 probe;
        {
            WorkerCreationFault fault(created);
            completesWithin([&] { EXPECT_FALSE(probe.start()); }, "a failing start()");
        }
        EXPECT_FALSE(probe.running);
        EXPECT_EQ(probe.calls + probe.callsB + probe.callsC, 0) << created;
        completesWithin([&] { EXPECT_TRUE(probe.start()); }, "start() after a failed start()");
        EXPECT_TRUE(eventually([&] { return probe.calls && probe.callsB && probe.callsC; }));
        probe.stop(true);
    }
}

// Behind the first gate every party has arrived in this cycle and none in the next; an arrival
// after releaseAll() passes until rearm(). A lost arrival is freed by releaseAll() and fails the
// test instead of hanging it.
TEST(ThreadBarrier, NoThreadPassesBeforeAllHaveArrivedAndReleaseAllLetsAllPassUntilRearmed) {
    EXPECT_THROW(ThreadBarrier(0), std::invalid_argument);
    ThreadBarrier barrier(2);
    std::thread lone([&] { barrier.arriveAndWait(); });
    ASSERT_TRUE(eventually([&] { return barrier.arrivedFirst == 1; }));
    barrier.releaseAll();
    completesWithin([&] { lone.join(), barrier.arriveAndWait(); }, "arrivals after releaseAll()");
    barrier.rearm(4);
    std::atomic<int> arrived{0}, stale{0}, finished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int cycle = 1; cycle <= 500; ++cycle) {
                ++arrived;
                barrier.arriveFirst();
                stale += arrived != 4 * cycle;
                barrier.arriveSecond();
            }
            ++finished;
        });
    }
    EXPECT_TRUE(eventually([&] { return finished == 4; })) << "an arrival was lost";
    barrier.releaseAll();
    for (auto& worker : workers)
        worker.join();
    EXPECT_EQ(stale, 0);
}

constexpr int32_t kRing = 4;

// Takes `frames` frames, each with the ring full, and lets the ring fill up again.
std::vector<double> take(BufferedContainer& container, int frames) {
    std::vector<double> heard;
    while (eventually([&] { return container.writeIndex == container.lastConsumed; }) &&
           heard.size() < static_cast<size_t>(frames)) {
        container.process();
        heard.push_back(container.outputs[0].value);
    }
    return heard;
}

// The first process() starts the render thread, which stores at most a ring less one frame ahead
// and keeps pace with the consumer; inputs written while it runs freely arrive whole (the thread
// sanitizer checks the hand-over), each after the frames already stored. Destruction stops it.
TEST(BufferedContainer, InputsReachTheOutputsWholeAfterTheFramesAlreadyStored) {
    EXPECT_THROW(BufferedContainer(1, 0, 1), std::invalid_argument);
    BufferedContainer container(kRing, 1, 1);
    connect(container.inputsModule, 0, 0, container.outputsModule);
    container.process();
    EXPECT_TRUE(container.running);
    container.setInputValue(0, 1.0);
    EXPECT_EQ(take(container, 2 * kRing), (std::vector<double>{0, 0, 0, 1, 1, 1, 1, 1}));
    int strange = 0;
    for (int frame = 2; frame < 200; ++frame) {
        container.setInputValue(0, frame);
        container.process();
        const double heard = container.outputs[0].value;
        strange += heard < 1.0 || heard > frame || heard != static_cast<int>(heard);
    }
    EXPECT_EQ(strange, 0);
}

// Catches work that runs before it is asked for, runs twice, is waited for past its limit, or
// holds the runner's destruction; and a runner that runs without a worker.
TEST(DeadlineRunner, RunsItsWorkOnceWhenAskedAndWaitsForItAtMostTheLimit) {
    std::atomic<int> runs{0};
    std::atomic<bool> hold{false};
    {
        DeadlineRunner idle([&] { ++runs; });
        EXPECT_FALSE(idle.runWithin(std::chrono::milliseconds(1)));  // not started
        ASSERT_TRUE(idle.start());
    }
    EXPECT_EQ(runs, 0);
    DeadlineRunner quick([&] { ++runs; });
    ASSERT_TRUE(quick.start());
    EXPECT_TRUE(quick.runWithin(kPatience));
    EXPECT_TRUE(quick.runWithin(kPatience));
    EXPECT_EQ(runs, 1);
    hold = true;
    completesWithin(
        [&] {
            DeadlineRunner stuck([&] { eventually([&] { return !hold; }); });
            ASSERT_TRUE(stuck.start());
            const auto start = std::chrono::steady_clock::now();
            EXPECT_FALSE(stuck.runWithin(std::chrono::milliseconds(50)));
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        },
        "a runner whose work is stuck");
    hold = false;
    const WorkerCreationFault noThread(0);
    DeadlineRunner none([&] { ++runs; });
    EXPECT_FALSE(none.start());
    EXPECT_FALSE(none.runWithin(std::chrono::milliseconds(1)));
}

}  // namespace
