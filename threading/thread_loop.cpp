#include "threading/thread_loop.h"

#include <system_error>

IThreadLoop::~IThreadLoop() {
    std::lock_guard<std::mutex> control(controlMutex);
    stopRequested = true;
    joinWorker();
}

bool IThreadLoop::start() {
    std::lock_guard<std::mutex> control(controlMutex);
    stopRequested = true;
    joinWorker();
    stopRequested = false;
    {
        std::lock_guard<std::mutex> gate(gateMutex);
        gateOpen = false;
    }
    try {
        thread = std::thread(&IThreadLoop::threadMain, this);
    } catch (const std::system_error&) {
        return false;
    }
    threadId = thread.get_id();
    running = true;
    {
        std::lock_guard<std::mutex> gate(gateMutex);
        gateOpen = true;
    }
    gateOpened.notify_all();
    return true;
}

void IThreadLoop::stop(bool wait) {
    stopRequested = true;
    if (wait) {
        std::lock_guard<std::mutex> control(controlMutex);
        joinWorker();
    }
}

void IThreadLoop::joinWorker() {
    if (!thread.joinable() || thread.get_id() == std::this_thread::get_id()) {
        return;
    }
    thread.join();
    thread = std::thread();
}

void IThreadLoop::threadMain(IThreadLoop* self) {
    {
        std::unique_lock<std::mutex> gate(self->gateMutex);
        self->gateOpened.wait(gate, [self] { return self->gateOpen; });
    }
    while (!self->stopRequested) {
        self->loop();
    }
    self->running = false;
}
