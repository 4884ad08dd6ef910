// A container that renders ahead on a thread of its own. The render thread runs the children
// frame by frame and stores each frame of the container's outputs in a ring per output; the
// container's own process(), called by whoever drives it, only takes the next stored frame out
// of the rings and presents it on the outputs. The children's cost thus leaves the caller's
// thread, for a latency of up to bufferLength - 1 frames.
//
// The ring is empty when readIndex equals writeIndex and full when writeIndex equals
// lastConsumed, the slot just before readIndex. The render thread writes slot writeIndex and
// then moves writeIndex on; the consumer reads slot readIndex and then moves lastConsumed and
// readIndex on. Each index has one writer, which publishes it with a release store after it is
// done with the slot; the other side reads it with an acquire load. When the consumer finds the
// ring empty it waits 11 ms once and then reads the slot anyway, possibly while the render thread
// writes it: slots are 64-bit atomics so that such a read never tears.
//
// The consumer latches the container's input values, which its own thread writes, into atomic
// slots; the render thread copies that latch into the inner inputs module. The render thread
// thus never reads a port that another thread writes.
//
// Port counts are fixed at construction: setPortCounts is not used on a buffered container.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/audio_module_container.h"
#include "engine/locker.h"
#include "threading/thread_loop.h"

class BufferedContainer : public AudioModuleContainer, public ILocker, public IThreadLoop {
  public:
    // Throws std::invalid_argument for a bufferLength below 2 (with 1 the render thread would
    // stall after one frame; with 0 there would be no ring), std::length_error for a bad port
    // count. The render thread is not started here.
    BufferedContainer(int32_t bufferLength, int32_t inputCount, int32_t outputCount);

    // Stops and joins the render thread before any ring is released.
    ~BufferedContainer() override;

    // Sets every ring slot to 0.0; indices, children and outputs stay as they are. Runs on the
    // consumer thread, or before rendering starts.
    void reset() override;

    // The consumer step: starts the render thread when it is not running, then presents the next
    // stored frame on the outputs. Runs on the thread that drives the container; takes no lock
    // and sleeps at most 11 ms, only on an empty ring.
    void process() override;

    // The render step, on the render thread: one frame of the children under the container's
    // lock into slot writeIndex, then a wait in 11 ms steps while the ring is full.
    void loop() override;

    std::atomic<int32_t> lastConsumed;
    std::atomic<int32_t> readIndex{0};
    std::atomic<int32_t> writeIndex{0};
    std::vector<std::vector<std::atomic<double>>> buffers;  // one ring per output
    const int32_t bufferLength;

  private:
    // The container's input values as the consumer last saw them, one per input.
    std::vector<std::atomic<double>> latchedInputs;
};
