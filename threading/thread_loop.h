// A mix-in that gives an object one worker thread. The worker calls loop() again and again until
// stop() is asked for; loop() does its own waiting and looks at `stopRequested` while it waits.
// The wrapper only starts, stops and joins: no sleeping, waiting or locking between two calls.
//
// The worker is created behind a closed start gate and runs no loop() before start() has marked
// it running, so the worker's final write of false to `running` always comes after start()'s
// write of true. stopRequested is tested before every loop() call, the first one included.
//
// Threads: start(), stop() and the destructor run on threads other than the worker. Two of them
// may overlap on one object (a console control handler may stop the worker while the main thread
// stops it too): they are serialised, and the worker is joined exactly once.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "threading/manual_reset_event.h"

class IThreadLoop {
  public:
    IThreadLoop() = default;
    IThreadLoop(const IThreadLoop&) = delete;
    IThreadLoop& operator=(const IThreadLoop&) = delete;

    // Ends and joins an earlier worker, then starts a new one. False when no thread could be
    // created; the object is then idle. Called from the worker itself it does nothing and
    // returns false, since it would have to join itself.
    bool start();

    // Asks the worker to end after the loop() call in progress; with `wait`, also waits until it
    // has ended. Two waiting stops at once both return only after the worker has ended. A stop
    // from the worker itself never waits for itself. A stop, waiting or not, that comes while a
    // start() is under way also ends the worker that this start() creates.
    void stop(bool wait);

    // One pass of the loop body; the base does nothing.
    virtual void loop() {}

    // True from a successful start() until the worker's loop has ended.
    std::atomic<bool> running{false};
    // Set by stop(), cleared by start(); read by the worker before every loop() call.
    std::atomic<bool> stopRequested{false};

  protected:
    // Joins a worker that is still there. A derived class whose loop() uses its own members
    // calls stop(true) in its own destructor first, so that this one finds nothing to join.
    // Run on the worker itself (a loop() that destroys its object), it lets the worker go
    // instead, and the worker ends without touching the object again once loop() returns.
    ~IThreadLoop();

  private:
    static void threadMain(IThreadLoop* self);
    bool onWorker() const { return threadId.load() == std::this_thread::get_id(); }
    // Needs controlMutex.
    void joinWorker();

    std::mutex controlMutex;  // serialises start, stop(true) and the destructor
    std::thread thread;
    std::atomic<std::thread::id> threadId{};  // the worker's id until it is joined
    ManualResetEvent startGate;
    // Counts the stops asked for, so that start() sees one that came while it ran.
    std::atomic<uint64_t> stopCount{0};
    // Set by the destructor when it runs on the worker; points into the worker's own frame, and
    // only the worker reads or writes it.
    bool* destroyedOnWorker = nullptr;
};
