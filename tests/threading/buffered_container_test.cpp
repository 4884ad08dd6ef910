#include "threading/buffered_container.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/connections.h"
#include "tests/threading/bounded_wait.h"
#include "threading/worker_thread.h"

namespace {

// Outputs the number of its frame (1, 2, 3, ...); can hold its first frame at a gate.
class FrameCounter : public AudioModule {
  public:
    explicit FrameCounter(bool holdFirst = false) : AudioModule(0, 1), holdFirst(holdFirst) {}
    void process() override {
        outputs[0].value = ++rendered;
        if (holdFirst && rendered == 1) {
            held = true;
            gate.pass();
            firstFrameDone = true;
        }
    }
    const bool holdFirst;
    TestGate gate;
    std::atomic<int> rendered{0};
    std::atomic<bool> held{false}, firstFrameDone{false};
};

class PassThrough : public AudioModule {
  public:
    PassThrough() : AudioModule(1, 1) {}
    void process() override { outputs[0].value = inputValue(0); }
};

constexpr int32_t kRing = 4;

// The render thread has stopped at a full ring, or the test fails.
void waitUntilFull(const BufferedContainer& container) {
    ASSERT_TRUE(eventually([&] { return container.writeIndex == container.lastConsumed; }));
}

// Takes `frames` frames, letting the ring fill up again after each.
std::vector<double> take(BufferedContainer& container, int frames) {
    std::vector<double> heard;
    for (int frame = 0; frame < frames; ++frame) {
        container.process();
        heard.push_back(container.outputs[0].value);
        waitUntilFull(container);
    }
    return heard;
}

// A ring of kRing slots with one output fed by a frame counter.
struct Counting {
    explicit Counting(bool holdFirst = false) : counter(holdFirst) {
        add(container, counter);
        connect(counter, 0, 0, container.outputsModule);
    }
    FrameCounter counter;  // outlives the container
    BufferedContainer container{kRing, 0, 1};
};

TEST(BufferedContainer, RendersAtMostOneRingLessOneFrameAheadAndKeepsPaceWithTheConsumer) {
    Counting s;
    ASSERT_TRUE(s.container.start());
    waitUntilFull(s.container);
    EXPECT_EQ(s.counter.rendered, kRing - 1);
    // Each frame taken lets exactly one more be rendered; the indices wrap at the ring's end.
    for (int taken = 1; taken <= 2 * kRing; ++taken) {
        EXPECT_EQ(take(s.container, 1), std::vector<double>{double(taken)});
        EXPECT_EQ(s.container.readIndex, taken % kRing);
        EXPECT_EQ(s.container.lastConsumed, (taken - 1) % kRing);
        EXPECT_EQ(s.counter.rendered, kRing - 1 + taken);
    }
}

TEST(BufferedContainer, AnInputStepReachesTheOutputOnlyAfterTheFramesAlreadyStored) {
    for (bool withChild : {true, false}) {
        SCOPED_TRACE(withChild ? "through a child" : "without children");
        PassThrough child;
        BufferedContainer container(kRing, 1, 1);
        if (withChild) {
            add(container, child);
            connect(container.inputsModule, 0, 0, child);
            connect(child, 0, 0, container.outputsModule);
        } else {
            connect(container.inputsModule, 0, 0, container.outputsModule);
        }
        ASSERT_TRUE(container.start());
        waitUntilFull(container);
        container.setInputValue(0, 1.0);
        EXPECT_EQ(take(container, kRing + 1), (std::vector<double>{0.0, 0.0, 0.0, 1.0, 1.0}));
    }
}

// The consumer writes the inputs while the render thread runs freely: the render thread sees
// only values handed over by process() (the thread sanitizer checks the hand-over), so every
// output is a whole value given earlier, or 0.0 from a slot not rendered yet.
TEST(BufferedContainer, InputsWrittenWhileTheRenderThreadRunsAreHandedOverWhole) {
    PassThrough child;
    BufferedContainer container(256, 1, 1);
    add(container, child);
    connect(container.inputsModule, 0, 0, child);
    connect(child, 0, 0, container.outputsModule);
    int strange = 0;
    for (int frame = 1; frame <= 2000; ++frame) {
        container.setInputValue(0, frame);
        container.process();
        const double heard = container.outputs[0].value;
        strange += heard < 0.0 || heard > frame || heard != static_cast<int>(heard);
    }
    EXPECT_EQ(strange, 0);
    EXPECT_GT(container.outputs[0].value, 0.0);
}

TEST(BufferedContainer, ResetSilencesTheStoredFramesAndKeepsTheIndices) {
    Counting s;
    ASSERT_TRUE(s.container.start());
    waitUntilFull(s.container);
    s.container.reset();
    EXPECT_EQ(s.container.readIndex, 0);
    EXPECT_EQ(s.container.writeIndex, kRing - 1);
    // Frames 1 to 3 were silenced; frame 4 is rendered after the reset.
    EXPECT_EQ(take(s.container, kRing), (std::vector<double>{0.0, 0.0, 0.0, 4.0}));
}

TEST(BufferedContainer, AfterAStopAnEmptyRingLeavesTheOutputsAloneUntilProcessRestarts) {
    Counting s(true);
    ASSERT_TRUE(s.container.start());
    ASSERT_TRUE(eventually([&] { return s.counter.held.load(); }));
    s.container.outputs[0].value = 42.0;
    s.container.stop(false);
    s.container.process();
    EXPECT_EQ(s.container.outputs[0].value, 42.0);
    EXPECT_EQ(s.container.readIndex, 0);
    EXPECT_EQ(s.container.lastConsumed, kRing - 1);

    s.counter.gate.open();
    ASSERT_TRUE(eventually([&] { return !s.container.running; }));
    s.container.process();
    EXPECT_TRUE(s.container.running);
    EXPECT_TRUE(eventually([&] { return s.counter.rendered > 1; }));
}

TEST(BufferedContainer, ProcessRetriesAFailedStartAndMeanwhileOutputsTheRingAsItStands) {
    Counting s;
    {
        WorkerCreationFault noThreads(0);
        for (int frame = 0; frame < kRing + 1; ++frame) {
            s.container.outputs[0].value = 42.0;
            s.container.process();
            EXPECT_EQ(s.container.outputs[0].value, 0.0);
        }
        EXPECT_FALSE(s.container.running);
    }
    s.container.process();
    EXPECT_TRUE(s.container.running);
    EXPECT_TRUE(eventually([&] { return s.counter.rendered > 0; }));
}

TEST(BufferedContainer, DestructionEndsTheRenderStepInProgressBeforeTheRingsGo) {
    FrameCounter counter(true);
    auto* container = new BufferedContainer(kRing, 0, 1);
    add(*container, counter);
    connect(counter, 0, 0, container->outputsModule);
    ASSERT_TRUE(container->start());
    ASSERT_TRUE(eventually([&] { return counter.held.load(); }));
    std::atomic<bool> destroying{false}, frameDoneFirst{false};
    std::thread destroyer([&] {
        destroying = true;
        delete container;
        frameDoneFirst = counter.firstFrameDone.load();
    });
    ASSERT_TRUE(eventually([&] { return destroying.load(); }));
    counter.gate.open();
    destroyer.join();
    EXPECT_TRUE(frameDoneFirst);
    EXPECT_EQ(counter.parent, nullptr);
}

TEST(BufferedContainer, ARingOfFewerThanTwoSlotsIsRefused) {
    for (int32_t length : {1, 0, -3}) {
        EXPECT_THROW(BufferedContainer(length, 0, 1), std::invalid_argument) << length;
    }
}

}  // namespace
