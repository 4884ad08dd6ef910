#include "output/winmm/device_winmm_list.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <string>

namespace {

constexpr UINT kCyrillicCodePage = 1251;

std::string inCodePage1251(const wchar_t* text) {
    const int bytes =
        WideCharToMultiByte(kCyrillicCodePage, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return {};
    }
    std::string converted(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(kCyrillicCodePage, 0, text, -1, converted.data(), bytes, nullptr, nullptr);
    converted.pop_back();  // the terminating zero
    return converted;
}

}  // namespace

std::vector<OutputDeviceInfo> listWinmmOutputDevices() {
    std::vector<OutputDeviceInfo> devices;
    const UINT count = waveOutGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        WAVEOUTCAPSW caps{};
        if (waveOutGetDevCapsW(id, &caps, sizeof(caps)) == MMSYSERR_NOERROR) {
            devices.push_back({std::to_string(id), inCodePage1251(caps.szPname)});
        }
    }
    return devices;
}
