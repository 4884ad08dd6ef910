#include "output/alsa/device_alsa_list.h"

#include <alsa/asoundlib.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

// One field of a hint ("NAME", "DESC", "IOID"), or empty where the hint has none.
std::string hintField(const void* hint, const char* field) {
    char* value = snd_device_name_get_hint(hint, field);
    std::string text = value != nullptr ? value : "";
    std::free(value);
    return text;
}

}  // namespace

std::vector<OutputDeviceInfo> listAlsaOutputDevices() {
    std::vector<OutputDeviceInfo> devices;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || hints == nullptr) {
        return devices;
    }
    for (void** hint = hints; *hint != nullptr; ++hint) {
        // No IOID means both directions; "Input" alone cannot play.
        if (hintField(*hint, "IOID") == "Input") {
            continue;
        }
        std::string name = hintField(*hint, "NAME");
        if (!name.empty()) {
            devices.push_back({std::move(name), hintField(*hint, "DESC")});
        }
    }
    snd_device_name_free_hint(hints);
    return devices;
}
