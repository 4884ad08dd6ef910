// A mix-in that gives an object one worker thread. The worker calls loop() again and again until
// stop() is asked for; loop() does its own waiting and looks at `stopRequested` while it waits.
// The wrapper only starts, stops and joins: no sleeping, waiting or locking between two calls.
//
// Threads: start(), stop() and the destructor run on threads other than the worker. Two of them
// may overlap on one object (a console control handler may stop the worker while the main thread
// stops it too): they are serialised, and the worker is joined exactly once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class IThreadLoop {
  public:
    IThreadLoop() = default;
    IThreadLoop(const IThreadLoop&) = delete;
    IThreadLoop& operator=(const IThreadLoop&) = delete;

    // Ends and joins an earlier worker, then starts a new one. False when no thread could be
    // created; the object is then idle.
    bool start();

    // Asks the worker to end after the loop() call in progress; with `wait`, also waits until it
    // has ended. A stop from the worker itself never waits for itself.
    void stop(bool wait);

    // One pass of the loop body; the base does nothing.
    virtual void loop() {}

    // True from a successful start() until the worker's loop has ended.
    std::atomic<bool> running{false};
    // Set by stop(), cleared by start(); read by the worker before every loop() call.
    std::atomic<bool> stopRequested{false};

  protected:
    // A derived class whose loop() uses its own members calls stop(true) in its own destructor
    // first; this one only joins what is left.
    ~IThreadLoop();

  private:
    static void threadMain(IThreadLoop* self);
    void joinWorker();

    std::mutex controlMutex;  // serialises start, stop(true) and the destructor
    std::thread thread;
    std::thread::id threadId;

    // The start gate: the worker runs no loop() before start() has marked it running.
    std::mutex gateMutex;
    std::condition_variable gateOpened;
    bool gateOpen = false;
};
