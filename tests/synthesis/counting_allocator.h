// The global operator new of a test binary that links counting_allocator.cpp: it counts every
// allocation and, while told to, refuses each one with std::bad_alloc.
#pragma once

#include <atomic>

namespace counting_allocator {
extern std::atomic<long> allocations;
extern std::atomic<bool> refuse;
}  // namespace counting_allocator
