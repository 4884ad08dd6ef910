// The platform's wave-out device layers: winmm on Windows, ALSA elsewhere. This is the one place
// that picks a platform's layer.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "output/wave_device.h"

// The platform's default output: winmm's wave mapper on Windows, ALSA's "default" PCM elsewhere.
std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice();

// The output called `name`: an ALSA PCM name on Linux, a wave-out device number on Windows; an
// empty name is the default output. Null for a name that cannot name an output on this platform
// (on Windows, anything but a device number). Whether the output exists shows at open.
std::unique_ptr<WaveOutDevice> makeWaveOutDevice(const std::string& name);

// One output that can play: the name that makeWaveOutDevice takes, and what the platform says of
// it (several lines on Linux, as ALSA's hints give them).
struct OutputDeviceInfo {
    std::string name;
    std::string description;
};

// The outputs the platform knows of, in its own order: ALSA's PCM hints that can play, or every
// wave-out device with its number (names in code page 1251).
std::vector<OutputDeviceInfo> listOutputDevices();
