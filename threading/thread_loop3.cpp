#include "threading/thread_loop3.h"

#include "threading/worker_thread.h"

IThreadLoop3::~IThreadLoop3() {
    stop(true);
}

bool IThreadLoop3::start() {
    if (onWorker()) {
        return false;
    }
    const uint64_t stopsBefore = stopCount.load();
    std::lock_guard<std::mutex> control(controlMutex);
    stopRequested = true;
    joinWorkers();
    running = false;
    stopRequested = false;
    // As in IThreadLoop::start: a stop since this start() began stays asked for.
    if (stopCount.load() != stopsBefore) {
        stopRequested = true;
    }
    startGate.reset();

    static constexpr std::array<LoopBody, kWorkerCount> bodies = {
        &IThreadLoop3::loopA, &IThreadLoop3::loopB, &IThreadLoop3::loopC};
    for (int i = 0; i < kWorkerCount; ++i) {
        if (!createWorkerThread(threads[i], &IThreadLoop3::threadMain, this, bodies[i])) {
            // The workers created so far see the stop before their first call and end.
            stopRequested = true;
            startGate.set();
            joinWorkers();
            return false;
        }
        threadIds[i] = threads[i].get_id();
    }
    running = true;
    startGate.set();
    return true;
}

bool IThreadLoop3::stop(bool wait) {
    // A worker's stop of itself concerns its own run, not the next one a start() makes.
    if (!onWorker()) {
        stopCount.fetch_add(1);
    }
    stopRequested = true;
    if (!wait || onWorker()) {
        return true;
    }
    std::lock_guard<std::mutex> control(controlMutex);
    // Ends the workers of a start() that held the lock meanwhile, too.
    stopRequested = true;
    joinWorkers();
    running = false;
    return true;
}

bool IThreadLoop3::onWorker() const {
    const std::thread::id self = std::this_thread::get_id();
    for (const auto& id : threadIds) {
        if (id.load() == self) {
            return true;
        }
    }
    return false;
}

void IThreadLoop3::joinWorkers() {
    for (int i = 0; i < kWorkerCount; ++i) {
        if (threads[i].joinable()) {
            threads[i].join();
        }
        threadIds[i] = std::thread::id();
    }
}

void IThreadLoop3::threadMain(IThreadLoop3* self, LoopBody body) {
    self->startGate.wait();
    while (!self->stopRequested) {
        (self->*body)();
    }
    self->running = false;
}
