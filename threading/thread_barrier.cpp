#include "threading/thread_barrier.h"

#include <stdexcept>
#include <string>

ThreadBarrier::ThreadBarrier(int32_t parties) : parties(parties) {
    if (parties < 1) {
        throw std::invalid_argument("a barrier needs at least one party, not " +
                                    std::to_string(parties));
    }
    rearm(0);
}

void ThreadBarrier::rearm(int32_t count) {
    if (count < 0) {
        throw std::invalid_argument("negative party count " + std::to_string(count));
    }
    if (count != 0) {
        parties = count;
    }
    released = false;
    arrivedFirst.exchange(0);
    arrivedSecond.exchange(0);
    firstGate.reset();
    secondGate.set();
}

void ThreadBarrier::arriveFirst() {
    arrive(arrivedFirst, firstGate, secondGate);
}

void ThreadBarrier::arriveSecond() {
    arrive(arrivedSecond, secondGate, firstGate);
}

void ThreadBarrier::arriveAndWait() {
    arriveFirst();
    arriveSecond();
}

void ThreadBarrier::releaseAll() {
    released = true;
    firstGate.set();
    secondGate.set();
}

void ThreadBarrier::arrive(std::atomic<int32_t>& arrived, ManualResetEvent& own,
                           ManualResetEvent& other) {
    if (released) {
        return;
    }
    if (arrived.fetch_add(1) + 1 != parties.load()) {
        own.wait();
        return;
    }
    arrivedFirst.exchange(0);
    arrivedSecond.exchange(0);
    other.reset();
    own.set();
    // A releaseAll() that came in after the released test above may have opened `other` just
    // before it was closed here; open it again so that nobody stays behind it.
    if (released) {
        other.set();
    }
}
