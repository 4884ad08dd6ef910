#include "output/device_factory.h"

#if defined(_WIN32)
#include <charconv>

#include "output/device_winmm.h"
#include "output/device_winmm_list.h"

std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice() {
    return std::make_unique<WinmmWaveOutDevice>();
}

std::unique_ptr<WaveOutDevice> makeWaveOutDevice(const std::string& name) {
    if (name.empty()) {
        return makeDefaultWaveOutDevice();
    }
    uint32_t id = 0;
    const char* end = name.data() + name.size();
    const auto [stop, error] = std::from_chars(name.data(), end, id);
    if (error != std::errc() || stop != end) {
        return nullptr;
    }
    return std::make_unique<WinmmWaveOutDevice>(id);
}

std::vector<OutputDeviceInfo> listOutputDevices() {
    return listWinmmOutputDevices();
}
#else
#include "output/device_alsa.h"
#include "output/device_alsa_list.h"

std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice() {
    return std::make_unique<AlsaWaveOutDevice>();
}

std::unique_ptr<WaveOutDevice> makeWaveOutDevice(const std::string& name) {
    return name.empty() ? makeDefaultWaveOutDevice() : std::make_unique<AlsaWaveOutDevice>(name);
}

std::vector<OutputDeviceInfo> listOutputDevices() {
    return listAlsaOutputDevices();
}
#endif
