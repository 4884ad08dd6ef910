#include "threading/worker_thread.h"

#include <atomic>

namespace {

// Creations still allowed; negative means no limit.
std::atomic<int> creationBudget{-1};

}  // namespace

bool workerCreationAllowed() {
    int budget = creationBudget.load();
    while (budget != 0) {
        if (budget < 0 || creationBudget.compare_exchange_weak(budget, budget - 1)) {
            return true;
        }
    }
    return false;
}

WorkerCreationFault::WorkerCreationFault(int successes) {
    creationBudget = successes < 0 ? 0 : successes;
}

WorkerCreationFault::~WorkerCreationFault() {
    creationBudget = -1;
}
