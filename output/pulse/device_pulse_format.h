// The open format in PulseAudio's terms: the sample format of an integer PCM format and the channel
// map that puts each channel of the frame on the speaker its mask bit names.
#pragma once

#include <pulse/channelmap.h>
#include <pulse/sample.h>

#include <optional>

#include "output/wave_device.h"

// The sample format of `format`, or nothing for a format PulseAudio does not play (not integer
// PCM, or a sample size, rate or channel count it has no sample format for).
std::optional<pa_sample_spec> pulseSampleFormat(const WaveFormatExtensible& format);

// The map of the mask's speakers in the frame's order (rising bits); channels beyond the mask's
// bits are auxiliary channels, which no speaker claims.
pa_channel_map pulseChannelMap(uint32_t channelMask, uint8_t channels);
