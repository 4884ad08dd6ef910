// Creates the worker threads of the thread wrappers. The wrappers report a thread that could not
// be created by their result, so a creation failure comes back as false, never as an exception.
// Tests make creations fail on purpose with a WorkerCreationFault.
#pragma once

#include <system_error>
#include <thread>
#include <utility>

// Consumes one creation from the budget a WorkerCreationFault has set; false when it is spent.
bool workerCreationAllowed();

// Runs `entry(arguments...)` on a new thread stored in `into`, which must hold no thread.
// False when no thread could be created; `into` is then left empty.
template <class Entry, class... Arguments>
bool createWorkerThread(std::thread& into, Entry&& entry, Arguments&&... arguments) {
    if (!workerCreationAllowed()) {
        return false;
    }
    try {
        into = std::thread(std::forward<Entry>(entry), std::forward<Arguments>(arguments)...);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

// While one lives, `successes` more worker creations succeed and every later one fails, as if the
// system had run out of threads. Only one may live at a time.
class WorkerCreationFault {
  public:
    explicit WorkerCreationFault(int successes);
    ~WorkerCreationFault();
    WorkerCreationFault(const WorkerCreationFault&) = delete;
    WorkerCreationFault& operator=(const WorkerCreationFault&) = delete;
};
