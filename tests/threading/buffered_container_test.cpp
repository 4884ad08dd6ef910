// The buffered container: its render thread runs at most a ring less one frame ahead, inputs
// reach it whole, process() starts it, and it is stopped and joined before the rings go.
#include "threading/buffered_container.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
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
    explicit FrameCounter(bool holdFirst) : AudioModule(0, 1), holdFirst(holdFirst) {}
    void process() override {
        outputs[0].value = ++rendered;
        if (holdFirst && rendered == 1) {
            gate.pass();
            firstDone = true;
        }
    }
    const bool holdFirst;
    TestGate gate;
    std::atomic<int> rendered{0};
    std::atomic<bool> firstDone{false};
};

constexpr int32_t kRing = 4;

// A ring of kRing slots with one output fed by a frame counter, which outlives the container.
struct Counting {
    explicit Counting(bool holdFirst = false) : counter(holdFirst) {
        connect(counter, 0, 0, add(*container, counter).outputsModule);
    }
    FrameCounter counter;
    std::unique_ptr<BufferedContainer> container = std::make_unique<BufferedContainer>(kRing, 0, 1);
};

bool full(const BufferedContainer& container) {
    return eventually([&] { return container.writeIndex == container.lastConsumed; });
}

// Takes `frames` frames, each once the render thread has filled the ring again.
std::vector<double> take(BufferedContainer& container, int frames) {
    std::vector<double> heard;
    for (int frame = 0; frame < frames; ++frame) {
        EXPECT_TRUE(full(container));
        container.process();
        heard.push_back(container.outputs[0].value);
    }
    return heard;
}

TEST(BufferedContainer, RendersOneRingLessOneFrameAheadKeepsPaceAndResetSilencesTheRing) {
    EXPECT_THROW(BufferedContainer(1, 0, 1), std::invalid_argument);
    Counting s;
    ASSERT_TRUE(s.container->start());
    EXPECT_EQ(take(*s.container, 2 * kRing), (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_TRUE(full(*s.container));
    EXPECT_EQ(s.counter.rendered, 3 * kRing - 1);
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
    for (int frame = 2; frame < 300; ++frame) {
        container.setInputValue(0, frame);
        container.process();
        const double heard = container.outputs[0].value;
        strange += heard < 1.0 || heard > frame || heard != static_cast<int>(heard);
    }
    EXPECT_EQ(strange, 0);
}

TEST(BufferedContainer, AfterAStopAnEmptyRingLeavesTheOutputsAloneUntilProcessRestarts) {
    Counting s(true);
    BufferedContainer& container = *s.container;
    ASSERT_TRUE(container.start());
    ASSERT_TRUE(eventually([&] { return s.counter.rendered == 1; }));
    container.outputs[0].value = 42.0;
    container.stop(false);
    container.process();
    EXPECT_EQ(container.outputs[0].value, 42.0);
    EXPECT_EQ(container.readIndex, 0);
    s.counter.gate.open();
    ASSERT_TRUE(eventually([&] { return !container.running; }));
    container.process();
    EXPECT_TRUE(eventually([&] { return s.counter.rendered > 1; }));
}

TEST(BufferedContainer, ProcessRetriesAFailedStartAndMeanwhileOutputsTheRingAsItStands) {
    Counting s;
    {
        WorkerCreationFault noThreads(0);
        s.container->outputs[0].value = 42.0;
        s.container->process();
        EXPECT_EQ(s.container->outputs[0].value, 0.0);
        EXPECT_FALSE(s.container->running);
    }
    s.container->process();
    EXPECT_TRUE(eventually([&] { return s.counter.rendered > 0; }));
}

TEST(BufferedContainer, DestructionWaitsForTheRenderStepInProgress) {
    Counting s(true);
    ASSERT_TRUE(s.container->start());
    ASSERT_TRUE(eventually([&] { return s.counter.rendered == 1; }));
    std::atomic<bool> destroying{false}, frameDoneFirst{false};
    std::thread destroyer([&] {
        destroying = true;
        s.container.reset();
        frameDoneFirst = s.counter.firstDone.load();
    });
    ASSERT_TRUE(eventually([&] { return destroying.load(); }));
    s.counter.gate.open();
    destroyer.join();
    EXPECT_TRUE(frameDoneFirst);
    EXPECT_EQ(s.counter.parent, nullptr);
}

}  // namespace
