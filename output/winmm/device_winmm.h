// The Windows device layer: winmm's wave-out functions on one wave-out device (by default the
// wave mapper, WAVE_MAPPER), with the finished-buffer callback given as CALLBACK_FUNCTION.
//
// The portable records map one to one onto WAVEFORMATEXTENSIBLE and WAVEHDR. winmm keeps the
// address of a prepared WAVEHDR until the header is unprepared, so the layer keeps one WAVEHDR
// per WaveHeader alive from the header's first prepare to the layer's destruction; the WAVEHDR's
// dwUser leads back to the WaveHeader, whose dwFlags is brought up to date before every notice.
//
// Threads: the calls come from the output module's threads; winmm calls the callback on a thread
// of its own. reset() waits (with a time limit) until winmm has given the notice of every buffer
// it hands back, so that all notices have come before it returns.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "output/wave_device.h"

class WinmmWaveOutDevice : public WaveOutDevice {
  public:
    // deviceId: a wave-out device number (0 to waveOutGetNumDevs() - 1); none means the wave
    // mapper.
    explicit WinmmWaveOutDevice(std::optional<uint32_t> deviceId = std::nullopt);
    ~WinmmWaveOutDevice() override;

    WaveResult open(const WaveFormatExtensible& format, WaveOutCallback callback,
                    uintptr_t instance) override;
    WaveResult prepareHeader(WaveHeader& header) override;
    WaveResult unprepareHeader(WaveHeader& header) override;
    WaveResult write(WaveHeader& header) override;
    WaveResult reset() override;
    WaveResult close() override;

    // winmm plays each channel on the speaker of its bit in the format's mask.
    std::vector<uint32_t> channelSpeakers() const override;

  private:
    const std::optional<uint32_t> deviceId;
    uint32_t channelMask = 0;  // of the open format
    struct Native;
    std::unique_ptr<Native> native;
};
