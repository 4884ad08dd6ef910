// The thread-loop mix-in with three workers: the first calls loopA(), the second loopB(), the
// third loopC(), each again and again until stop() is asked for. The two flags are shared by the
// three workers. As in IThreadLoop, every worker waits behind a start gate until start() has
// marked the object running, and tests stopRequested before every call of its loop body.
//
// When a later worker cannot be created, start() releases the workers already created: it asks
// them to stop, opens the gate and joins them. They end without calling their loop bodies, so
// no later stop() or start() waits for a worker that never runs.
//
// Threads: start(), stop() and the destructor run on threads other than the workers; they are
// serialised, and every worker is joined exactly once.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "threading/manual_reset_event.h"

class IThreadLoop3 {
  public:
    IThreadLoop3() = default;
    IThreadLoop3(const IThreadLoop3&) = delete;
    IThreadLoop3& operator=(const IThreadLoop3&) = delete;

    // Ends and joins the earlier workers, then starts three new ones. False, with the object
    // idle and no loop body called, when any of the three could not be created. Called from one
    // of the workers it does nothing and returns false.
    bool start();

    // Asks the workers to end after the calls in progress; with `wait`, also waits until all
    // three have ended and clears `running`. A stop from a worker never waits. A stop that
    // comes while a start() is under way also ends the workers that this start() creates.
    // Always true.
    bool stop(bool wait);

    // The three loop bodies; the base ones do nothing.
    virtual void loopA() {}
    virtual void loopB() {}
    virtual void loopC() {}

    // True from a successful start() until the first worker's loop has ended, or a waiting stop.
    std::atomic<bool> running{false};
    // Set by stop(), cleared by start(); read by every worker before every loop body call.
    std::atomic<bool> stopRequested{false};

  protected:
    // Joins the workers that are still there. A derived class whose loop bodies use its own
    // members calls stop(true) in its own destructor first. Never runs on a worker.
    ~IThreadLoop3();

  private:
    using LoopBody = void (IThreadLoop3::*)();
    static constexpr int kWorkerCount = 3;

    static void threadMain(IThreadLoop3* self, LoopBody body);
    bool onWorker() const;
    // Needs controlMutex.
    void joinWorkers();

    std::mutex controlMutex;  // serialises start, stop(true) and the destructor
    std::array<std::thread, kWorkerCount> threads;
    std::array<std::atomic<std::thread::id>, kWorkerCount> threadIds{};
    ManualResetEvent startGate;
    // Counts the stops asked for, so that start() sees one that came while it ran.
    std::atomic<uint64_t> stopCount{0};
};
