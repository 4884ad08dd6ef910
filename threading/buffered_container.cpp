#include "threading/buffered_container.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

constexpr std::chrono::milliseconds kPoll{11};

int32_t checkedBufferLength(int32_t length) {
    if (length < 2) {
        throw std::invalid_argument("a ring needs at least 2 slots, not " + std::to_string(length));
    }
    return length;
}

}  // namespace

BufferedContainer::BufferedContainer(int32_t bufferLength, int32_t inputCount, int32_t outputCount)
    : AudioModuleContainer(inputCount, outputCount),
      lastConsumed(checkedBufferLength(bufferLength) - 1),
      bufferLength(bufferLength),
      latchedInputs(static_cast<size_t>(inputCount)) {
    name = "буферизированный контейнер";
    kind = KindContainer | KindThreaded;
    buffers.reserve(static_cast<size_t>(outputCount));
    for (int32_t i = 0; i < outputCount; ++i) {
        buffers.emplace_back(static_cast<size_t>(bufferLength));
    }
    reset();
    for (auto& input : latchedInputs) {
        input.store(0.0, std::memory_order_relaxed);
    }
}

BufferedContainer::~BufferedContainer() {
    stop(true);
}

void BufferedContainer::reset() {
    for (auto& ring : buffers) {
        for (auto& slot : ring) {
            slot.store(0.0, std::memory_order_relaxed);
        }
    }
}

void BufferedContainer::process() {
    const size_t inputTotal = std::min(latchedInputs.size(), inputSources.size());
    for (size_t i = 0; i < inputTotal; ++i) {
        latchedInputs[i].store(inputSources[i]->value, std::memory_order_relaxed);
    }
    if (!running) {
        start();
    }
    const int32_t read = readIndex.load(std::memory_order_relaxed);
    if (read == writeIndex.load(std::memory_order_acquire)) {
        if (stopRequested) {
            return;
        }
        std::this_thread::sleep_for(kPoll);
        // Makes a frame that was rendered during the wait visible.
        (void)writeIndex.load(std::memory_order_acquire);
    }
    const size_t outputTotal = std::min(buffers.size(), outputs.size());
    for (size_t i = 0; i < outputTotal; ++i) {
        outputs[i].value = buffers[i][static_cast<size_t>(read)].load(std::memory_order_relaxed);
    }
    const int32_t next = (read + 1) % bufferLength;
    // The latched inputs are published with the slot handed back.
    lastConsumed.store(read, std::memory_order_release);
    readIndex.store(next, std::memory_order_release);
}

void BufferedContainer::loop() {
    const size_t inputTotal = std::min(latchedInputs.size(), inputsModule.outputs.size());
    for (size_t i = 0; i < inputTotal; ++i) {
        inputsModule.outputs[i].value = latchedInputs[i].load(std::memory_order_relaxed);
    }
    const int32_t write = writeIndex.load(std::memory_order_relaxed);
    lock();
    for (AudioModule* child : children) {
        child->process();
    }
    // Read under the lock as well: an unconnected input of the outputs module is a parameter that
    // writers change under this lock.
    const size_t outputTotal = std::min(buffers.size(), outputsModule.inputSources.size());
    for (size_t i = 0; i < outputTotal; ++i) {
        buffers[i][static_cast<size_t>(write)].store(outputsModule.inputSources[i]->value,
                                                     std::memory_order_relaxed);
    }
    unlock();
    writeIndex.store((write + 1) % bufferLength, std::memory_order_release);
    while (writeIndex.load(std::memory_order_relaxed) ==
           lastConsumed.load(std::memory_order_acquire)) {
        if (stopRequested) {
            return;
        }
        std::this_thread::sleep_for(kPoll);
    }
}
