#include "threading/thread_loop.h"

#include "threading/worker_thread.h"

IThreadLoop::~IThreadLoop() {
    stop(true);
}

bool IThreadLoop::start() {
    if (onWorker()) {
        return false;
    }
    std::lock_guard<std::mutex> control(controlMutex);
    stopRequested = true;
    joinWorker();
    stopRequested = false;
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
    self->startGate.wait();
    while (!self->stopRequested) {
        self->loop();
    }
    self->running = false;
}
