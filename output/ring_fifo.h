// A first-in first-out ring that allocates only when it outgrows its largest size so far, never
// in the steady state of a few entries cycling: the device layers keep their written buffers in
// one, on paths that must not allocate while playing.
#pragma once

#include <cstddef>
#include <vector>

template <typename T>
class RingFifo {
  public:
    RingFifo() : slots(8) {}
    bool empty() const { return count == 0; }
    size_t size() const { return count; }
    T& at(size_t i) { return slots[(head + i) % slots.size()]; }
    const T& at(size_t i) const { return slots[(head + i) % slots.size()]; }
    T& front() { return at(0); }
    void push(const T& entry) {
        if (count == slots.size()) {
            std::vector<T> grown(slots.size() * 2);
            for (size_t i = 0; i < count; ++i) {
                grown[i] = at(i);
            }
            slots.swap(grown);
            head = 0;
        }
        slots[(head + count) % slots.size()] = entry;
        ++count;
    }
    T pop() {
        T entry = slots[head];
        head = (head + 1) % slots.size();
        --count;
        return entry;
    }

  private:
    std::vector<T> slots;
    size_t head = 0;
    size_t count = 0;
};
