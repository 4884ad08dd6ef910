// Replaces the global operator new and delete. Kept out of the tests' own source so that the
// compiler does not inline them into it and mistake malloc/free for a mismatched new/delete.
#include "tests/synthesis/counting_allocator.h"

#include <cstdlib>
#include <new>

namespace counting_allocator {
std::atomic<long> allocations{0};
std::atomic<bool> refuse{false};
}  // namespace counting_allocator

void* operator new(std::size_t size) {
    counting_allocator::allocations.fetch_add(1, std::memory_order_relaxed);
    if (!counting_allocator::refuse.load(std::memory_order_relaxed)) {
        if (void* p = std::malloc(size == 0 ? 1 : size)) {
            return p;
        }
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
