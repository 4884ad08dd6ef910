// The ALSA PCMs that can play, from ALSA's device-name hints (what `aplay -L` lists).
#pragma once

#include <vector>

#include "output/device_factory.h"

std::vector<OutputDeviceInfo> listAlsaOutputDevices();
