#include "app/input_end.h"

#include <istream>

#include "threading/worker_thread.h"

InputEndWatcher::InputEndWatcher(std::istream& in) : state(new State{in, {}, {}, false}) {}

InputEndWatcher::~InputEndWatcher() {
    if (!reader.joinable()) {
        return;
    }
    if (waitForEnd(std::chrono::milliseconds(0))) {
        reader.join();
    } else {
        reader.detach();  // still reading; its state lives on with it
    }
}

bool InputEndWatcher::start() {
    return reader.joinable() || createWorkerThread(reader, &InputEndWatcher::read, state);
}

bool InputEndWatcher::waitForEnd(std::chrono::milliseconds limit) {
    std::unique_lock lock(state->mutex);
    return state->changed.wait_for(lock, limit, [this] { return state->ended; });
}

void InputEndWatcher::read(const std::shared_ptr<State>& state) {
    while (state->in.get() != std::istream::traits_type::eof()) {
    }
    {
        std::lock_guard lock(state->mutex);
        state->ended = true;
    }
    state->changed.notify_all();
}
