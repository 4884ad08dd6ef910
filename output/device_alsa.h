// The Linux device layer over alsa-lib, on the PCM "default".
#pragma once

#include "output/wave_device.h"

class AlsaWaveOutDevice : public WaveOutDevice {
  public:
    WaveResult open(const WaveFormatExtensible& format, WaveOutCallback callback,
                    uintptr_t instance) override;
    WaveResult prepareHeader(WaveHeader& header) override;
    WaveResult unprepareHeader(WaveHeader& header) override;
    WaveResult write(WaveHeader& header) override;
    WaveResult reset() override;
    WaveResult close() override;
};
