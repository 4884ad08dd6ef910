#include "output/device_alsa.h"

WaveResult AlsaWaveOutDevice::open(const WaveFormatExtensible&, WaveOutCallback, uintptr_t) {
    return kWaveBadDevice;
}
WaveResult AlsaWaveOutDevice::prepareHeader(WaveHeader&) {
    return kWaveInvalidHandle;
}
WaveResult AlsaWaveOutDevice::unprepareHeader(WaveHeader&) {
    return kWaveInvalidHandle;
}
WaveResult AlsaWaveOutDevice::write(WaveHeader&) {
    return kWaveInvalidHandle;
}
WaveResult AlsaWaveOutDevice::reset() {
    return kWaveInvalidHandle;
}
WaveResult AlsaWaveOutDevice::close() {
    return kWaveInvalidHandle;
}
