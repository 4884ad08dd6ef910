// The PipeWire raw-audio format of a wave format: the sample format, the rate, and each
// channel's position in the graph, taken from the speaker bits of the channel mask.
//
// Channel k of a frame is the k-th set bit of the mask, in rising order; each bit has its own
// PipeWire position (front left, front right, ..., top rear right). Channels beyond the mask's
// bits, and bits without a position, are auxiliary channels (AUX0, AUX1, ...): PipeWire plays
// them without guessing a speaker. A mask of 0 means the first `channels` speaker bits, as a
// plain PCM format implies. Pure: no server is involved, so the mapping is tested on its own.
#pragma once

#include <spa/param/audio/raw.h>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "output/wave_device.h"

inline constexpr uint32_t kPipewireMaxRateHz = 768000;

struct PipewireFormat {
    spa_audio_format sampleFormat = SPA_AUDIO_FORMAT_UNKNOWN;
    uint32_t rateHz = 0;
    uint32_t channels = 0;
    std::array<uint32_t, SPA_AUDIO_MAX_CHANNELS> positions = {};  // SPA_AUDIO_CHANNEL_*
    std::vector<uint32_t> speakers;  // per channel: its mask bit, 0 for an auxiliary channel
};

// The PipeWire format of an integer-PCM wave format (8, 16, 24 or 32 bits; 24 valid bits in 32
// as S24_32), or nothing for a format PipeWire cannot be given as it is.
std::optional<PipewireFormat> pipewireFormatOf(const WaveFormatExtensible& format);

// The channel positions of `channels` channels laid out by `channelMask` (see above), with the
// speaker bit each one plays.
void mapChannelPositions(uint32_t channelMask, uint32_t channels, PipewireFormat& out);
