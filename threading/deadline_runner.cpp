#include "threading/deadline_runner.h"

#include <utility>

#include "threading/worker_thread.h"

DeadlineRunner::DeadlineRunner(std::function<void()> work) : state(std::make_shared<State>()) {
    state->work = std::move(work);
}

DeadlineRunner::~DeadlineRunner() {
    if (!worker.joinable()) {
        return;
    }
    bool idle = false;
    {
        std::lock_guard lock(state->mutex);
        state->ending = true;
        idle = !state->asked || state->finished;
    }
    state->changed.notify_all();
    if (idle) {
        worker.join();
    } else {
        worker.detach();  // its state lives on with it
    }
}

bool DeadlineRunner::start() {
    return worker.joinable() || createWorkerThread(worker, &DeadlineRunner::serve, state);
}

bool DeadlineRunner::runWithin(std::chrono::milliseconds limit) {
    if (!worker.joinable()) {
        return false;
    }
    std::unique_lock lock(state->mutex);
    state->asked = true;
    state->changed.notify_all();
    return state->changed.wait_for(lock, limit, [this] { return state->finished; });
}

void DeadlineRunner::serve(const std::shared_ptr<State>& state) {
    {
        std::unique_lock lock(state->mutex);
        state->changed.wait(lock, [&] { return state->asked || state->ending; });
        if (!state->asked) {
            return;
        }
    }
    state->work();
    {
        std::lock_guard lock(state->mutex);
        state->finished = true;
    }
    state->changed.notify_all();
}
