#include "threading/thread_loop.h"

#include "threading/worker_thread.h"

IThreadLoop::~IThreadLoop() {
    if (onWorker()) {
        // Joining itself is impossible and destroying a joinable thread ends the process.
        *destroyedOnWorker = true;
        thread.detach();
        return;
    }
    stop(true);
}

bool IThreadLoop::start() {
    if (onWorker()) {
        return false;
    }
    const uint64_t stopsBefore = stopCount.load();
    std::lock_guard<std::mutex> control(controlMutex);
    stopRequested = true;
    joinWorker();
    stopRequested = false;
    // A stop that came since this start() began is not lost by the clearing above: stop()
    // counts before it sets the flag, so either the flag is set after the clearing or the count
    // is seen here.
    if (stopCount.load() != stopsBefore) {
        stopRequested = true;
    }
    // No worker exists now, so nobody waits at the gate while it closes.
    startGate.reset();
    if (!createWorkerThread(thread, &IThreadLoop::threadMain, this)) {
        return false;
    }
    threadId = thread.get_id();
    running = true;
    startGate.set();
    return true;
}

void IThreadLoop::stop(bool wait) {
    // A worker's stop of itself concerns its own run, not the next one a start() makes.
    if (!onWorker()) {
        stopCount.fetch_add(1);
    }
    stopRequested = true;
    if (!wait || onWorker()) {
        return;
    }
    std::lock_guard<std::mutex> control(controlMutex);
    // A start() that held the lock meanwhile has cleared the flag for its new worker; this stop
    // was asked for after that start began, so it ends the new worker too.
    stopRequested = true;
    joinWorker();
}

void IThreadLoop::joinWorker() {
    if (thread.joinable()) {
        thread.join();
    }
    // A joined thread's id may be given to a new thread, which must not pass for the worker.
    threadId = std::thread::id();
}

void IThreadLoop::threadMain(IThreadLoop* self) {
    bool destroyed = false;
    self->destroyedOnWorker = &destroyed;
    self->startGate.wait();
    while (!self->stopRequested) {
        self->loop();
        if (destroyed) {
            return;
        }
    }
    self->running = false;
}
