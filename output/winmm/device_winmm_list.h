// The wave-out devices winmm knows of, by number, with their names in code page 1251.
#pragma once

#include <vector>

#include "output/device_factory.h"

std::vector<OutputDeviceInfo> listWinmmOutputDevices();
