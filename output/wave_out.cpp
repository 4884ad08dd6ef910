#include "output/wave_out.h"

M_WaveOut::M_WaveOut(int32_t bufferCount, int32_t bufferBytes,
                     std::unique_ptr<WaveOutDevice> deviceLayer)
    : AudioModule(8, 0),
      bufferCount(bufferCount),
      bufferBytes(bufferBytes),
      deviceLayer(std::move(deviceLayer)) {}

M_WaveOut::~M_WaveOut() {
    stop(true);
}

bool M_WaveOut::open(int32_t) {
    return false;
}

bool M_WaveOut::close() {
    return true;
}

void M_WaveOut::loop() {}

void M_WaveOut::deviceCallback(WaveOutDevice*, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}
