// The platform's default wave-out device layer: winmm's wave mapper on Windows, ALSA's "default"
// PCM elsewhere.
#pragma once

#include <memory>

#include "output/wave_device.h"

std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice();
