// The per-frame path allocates nothing: every allocation is counted while a prepared graph with
// a nested container and a feedback loop runs many frames.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "engine/connections.h"
#include "engine/locked_container.h"

namespace {
std::atomic<long> allocations{0};

void* counted(std::size_t size) {
    ++allocations;
    void* p = std::malloc(size == 0 ? 1 : size);
    return p != nullptr ? p : throw std::bad_alloc();
}
}  // namespace

// The forms the standard library and the sanitizers route single objects through; the array
// forms default to these.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    return counted(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return counted(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

class Adder : public AudioModule {
  public:
    Adder() : AudioModule(2, 1) {}
    void process() override { outputs[0].value = inputValue(0) + inputValue(1) + 1.0; }
};

TEST(ProcessAllocation, RunningAPreparedGraphAllocatesNothing) {
    LockedContainer root(0, 0);
    AudioModuleContainer inner(1, 1);
    Adder a, b, c;
    add(inner, c);
    connect(inner.inputsModule, 0, 0, c);
    connect(c, 0, 0, inner.outputsModule);
    add(add(add(root, b), inner), a);
    connect(a, 0, 0, b);
    connect(b, 0, 0, inner);
    connect(inner, 0, 1, a);
    root.prepare(true);
    root.reset();
    const long before = allocations;
    for (int block = 0; block < 100; ++block) {
        std::lock_guard<ILocker> guard(root);
        root.process();
        root.processFrames(100, [] {});
    }
    EXPECT_EQ(allocations, before);
    EXPECT_GT(c.outputValue(0), 1000.0);
}

}  // namespace
