// A reusable barrier for a fixed number of threads, built on two gates that take turns. A cycle
// is an arrival of every party at the first gate and then at the second: arriveAndWait() does
// both. The last arrival at a gate zeroes the counters, closes the other gate and opens its own,
// so a thread that runs ahead into the next cycle waits at the first gate for its partners.
//
// Between cycles the first gate is closed and the second open, as after a completed cycle; so the
// first cycle after construction or rearm() holds everybody at the first gate too and no arrival
// is lost. releaseAll() lets every waiting and every later arrival pass until rearm().
//
// Threads: any number of threads arrive concurrently; the counters change only by atomic
// exchange and increment. rearm() runs while no thread is inside the barrier.
#pragma once

#include <atomic>
#include <cstdint>

#include "threading/manual_reset_event.h"

class ThreadBarrier {
  public:
    // Throws std::invalid_argument for fewer than one party.
    explicit ThreadBarrier(int32_t parties);
    ThreadBarrier(const ThreadBarrier&) = delete;
    ThreadBarrier& operator=(const ThreadBarrier&) = delete;

    void arriveFirst();
    void arriveSecond();
    // arriveFirst() then arriveSecond(): one whole cycle.
    void arriveAndWait();

    // Every thread waiting now and every later arrival passes without counting.
    void releaseAll();

    // Starts afresh with `parties` threads, or with as many as before when it is 0: counters to
    // 0, the release undone, the gates as between two cycles. Throws std::invalid_argument for a
    // negative count.
    void rearm(int32_t parties);

    std::atomic<int32_t> parties;
    std::atomic<int32_t> arrivedSecond{0};
    std::atomic<int32_t> arrivedFirst{0};
    ManualResetEvent secondGate;
    ManualResetEvent firstGate;
    std::atomic<bool> released{false};

  private:
    void arrive(std::atomic<int32_t>& arrived, ManualResetEvent& own, ManualResetEvent& other);
};
