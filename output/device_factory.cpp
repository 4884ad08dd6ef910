#include "output/device_factory.h"

#if defined(_WIN32)
#include "output/device_winmm.h"
std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice() {
    return std::make_unique<WinmmWaveOutDevice>();
}
#else
#include "output/device_alsa.h"
std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice() {
    return std::make_unique<AlsaWaveOutDevice>();
}
#endif
