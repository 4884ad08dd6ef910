// The per-frame path must not touch the heap: count every allocation while a prepared graph of
// several modules, nested containers included, runs many frames.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "engine/connections.h"
#include "engine/locked_container.h"

namespace {
std::atomic<long> allocations{0};
}

// These replacements pair malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
void* countedAllocation(std::size_t size) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

// Every replaceable allocation form goes through the counter, so that no form escapes it and
// every pointer is released by the matching free.
void* operator new(std::size_t size) {
    if (void* p = countedAllocation(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return countedAllocation(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
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
    Adder a;
    Adder b;
    Adder c;
    add(inner, c);
    connect(inner.inputsModule, 0, 0, c);
    connect(c, 0, 0, inner.outputsModule);
    add(add(add(root, b), inner), a);
    connect(a, 0, 0, b);
    connect(b, 0, 0, inner);
    connect(inner, 0, 1, a);
    root.prepare(true);
    root.reset();

    const long before = allocations.load();
    for (int frame = 0; frame < 100000; ++frame) {
        root.lock();
        root.process();
        root.unlock();
    }
    EXPECT_EQ(allocations.load(), before);
    EXPECT_GT(c.outputValue(0), 0.0);
}

}  // namespace
