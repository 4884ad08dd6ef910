// The thread-loop wrappers (one and three workers), the barrier and the buffered container: start
// and stop from any thread at any moment end and join every worker once, and no wait is unbounded.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/connections.h"
#include "tests/threading/bounded_wait.h"
#include "threading/buffered_container.h"
#include "threading/thread_barrier.h"
#include "threading/thread_loop.h"
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

// Without a stop of their own in the destructor: the bases' destructors join the workers.
struct Loop1 : Probe<IThreadLoop> {
    using Probe::Probe;
    void loop() override { body(); }
};

struct Loop3 : Probe<IThreadLoop3> {
    using Probe::Probe;
    void loopA() override { body(); }
    void loopB() override { ++others[0]; }
    void loopC() override { ++others[1]; }
    std::array<std::atomic<int>, 2> others{};
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
        EXPECT_EQ(probe.calls + probe.others[0] + probe.others[1], 0) << created;
        completesWithin([&] { EXPECT_TRUE(probe.start()); }, "start() after a failed start()");
        EXPECT_TRUE(eventually([&] { return probe.calls && probe.others[0] && probe.others[1]; }));
        probe.stop(true);
    }
}

// Each party writes its cycle number and arrives: behind the first gate every slot must hold
// that number. A lost arrival is freed by releaseAll() and fails the test instead of hanging it.
int staleSlots(ThreadBarrier& barrier, int threads) {
    std::vector<std::atomic<int>> slots(static_cast<size_t>(threads));
    std::atomic<int> stale{0}, finished{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int cycle = 1; cycle <= 500; ++cycle) {
                slots[static_cast<size_t>(t)] = cycle;
                barrier.arriveFirst();
                for (const auto& slot : slots)
                    stale += slot != cycle;
                barrier.arriveSecond();
            }
            ++finished;
        });
    }
    EXPECT_TRUE(eventually([&] { return finished == threads; })) << "an arrival was lost";
    barrier.releaseAll();
    for (auto& worker : workers)
        worker.join();
    return stale;
}

TEST(ThreadBarrier, NoThreadPassesBeforeAllHaveArrivedAndReleaseAllLetsAllPassUntilRearmed) {
    EXPECT_THROW(ThreadBarrier(0), std::invalid_argument);
    ThreadBarrier barrier(4);
    EXPECT_EQ(staleSlots(barrier, 4), 0);
    completesWithin([&] { barrier.arriveAndWait(); }, "an arrival after releaseAll()");
    barrier.rearm(2);
    std::thread lone([&] { barrier.arriveAndWait(); });
    ASSERT_TRUE(eventually([&] { return barrier.arrivedFirst == 1; }));
    barrier.releaseAll();
    completesWithin([&] { lone.join(); }, "a waiter freed by releaseAll()");
    barrier.rearm(0);
    EXPECT_EQ(staleSlots(barrier, 2), 0);
}

// Outputs the number of its frame (1, 2, 3, ...), holding its first frame at a gate.
struct FrameCounter : AudioModule {
    FrameCounter() : AudioModule(0, 1) {}
    void process() override {
        outputs[0].value = ++rendered;
        if (rendered == 1)
            gate.pass();
    }
    TestGate gate;
    std::atomic<int> rendered{0};
};

constexpr int32_t kRing = 4;

// A ring of kRing slots with one output fed by a frame counter, which outlives the container.
struct Buffered {
    Buffered() { connect(counter, 0, 0, add(*container, counter).outputsModule); }
    FrameCounter counter;
    std::unique_ptr<BufferedContainer> container = std::make_unique<BufferedContainer>(kRing, 0, 1);
};

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

TEST(BufferedContainer, RendersOneRingLessOneFrameAheadKeepsPaceAndResetSilencesTheRing) {
    EXPECT_THROW(BufferedContainer(1, 0, 1), std::invalid_argument);
    Buffered s;
    s.counter.gate.open();
    ASSERT_TRUE(s.container->start());
    EXPECT_EQ(take(*s.container, 2 * kRing), (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
    s.container->reset();
    EXPECT_EQ(take(*s.container, kRing), (std::vector<double>{0, 0, 0, 12}));
}

// Inputs written while the render thread runs freely arrive whole (the thread sanitizer checks
// the hand-over), each after the frames already stored.
TEST(BufferedContainer, InputsReachTheOutputsWholeAfterTheFramesAlreadyStored) {
    BufferedContainer container(kRing, 1, 1);
    connect(container.inputsModule, 0, 0, container.outputsModule);
    ASSERT_TRUE(container.start());
    container.setInputValue(0, 1.0);
    EXPECT_EQ(take(container, kRing + 1), (std::vector<double>{0, 0, 0, 1, 1}));
    int strange = 0;
    for (int frame = 2; frame < 200; ++frame) {
        container.setInputValue(0, frame);
        container.process();
        const double heard = container.outputs[0].value;
        strange += heard < 1.0 || heard > frame || heard != static_cast<int>(heard);
    }
    EXPECT_EQ(strange, 0);
}

// After a stop an empty ring leaves the outputs alone; process() restarts the render thread,
// and while a start fails it presents the ring as it stands.
TEST(BufferedContainer, ProcessRestartsTheRenderThreadAndCopesWithAFailedStart) {
    Buffered s;
    BufferedContainer& container = *s.container;
    ASSERT_TRUE(container.start());
    ASSERT_TRUE(eventually([&] { return s.counter.rendered == 1; }));
    container.stop(false);
    container.outputs[0].value = 42.0;
    container.process();
    EXPECT_EQ(container.outputs[0].value, 42.0);
    s.counter.gate.open();
    ASSERT_TRUE(eventually([&] { return !container.running; }));
    {
        WorkerCreationFault noThreads(0);
        container.process();
        EXPECT_FALSE(container.running);
    }
    EXPECT_EQ(container.outputs[0].value, 1.0);
    container.process();
    EXPECT_TRUE(eventually([&] { return s.counter.rendered > 1; }));
}

}  // namespace
