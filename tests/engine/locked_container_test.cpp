#include "engine/locked_container.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/connections.h"

namespace {

// Two inputs that a writer always sets together; a frame that sees them differ saw a half-made
// change.
class PairReader : public AudioModule {
  public:
    PairReader() : AudioModule(2, 0) {}
    void process() override {
        if (inputValue(0) != inputValue(1)) {
            torn = true;
        }
    }
    bool torn = false;
};

TEST(LockedContainer, ParameterChangesUnderTheLockNeverLandInsideABlock) {
    LockedContainer container(0, 0);
    PairReader reader;
    add(container, reader);
    container.prepare(true);
    ASSERT_EQ(lockerOfParent(reader), &container);

    std::atomic<bool> done{false};
    std::thread renderer([&] {
        for (int block = 0; block < 2000; ++block) {
            std::lock_guard<ILocker> guard(container);
            for (int frame = 0; frame < 64; ++frame) {
                container.process();
            }
        }
        done = true;
    });
    double v = 0.0;
    while (!done) {
        std::lock_guard<ILocker> guard(container);
        v += 1.0;
        reader.setInputValue(0, v);
        reader.setInputValue(1, v);
    }
    renderer.join();
    EXPECT_FALSE(reader.torn);
}

// A child destroyed while the container is held (as the renderer holds it for a block) leaves
// the list only once the lock is given back.
TEST(LockedContainer, ADestroyedChildWaitsForTheLockBeforeLeaving) {
    LockedContainer container(0, 0);
    auto child = std::make_unique<PairReader>();
    add(container, *child);
    std::unique_lock<ILocker> rendering(container);
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        child.reset();
        destroyed = true;
    });
    // Bounded: the destroyer must still be blocked when the wait gives up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (!destroyed && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(destroyed);
    rendering.unlock();
    destroyer.join();
    EXPECT_EQ(container.childCount(), 0u);
}

TEST(LockedContainer, APlainContainerOffersNoLock) {
    AudioModuleContainer container(0, 0);
    AudioModule child(0, 0);
    EXPECT_EQ(lockerOfParent(child), nullptr);
    add(container, child);
    EXPECT_EQ(lockerOfParent(child), nullptr);
}

}  // namespace
