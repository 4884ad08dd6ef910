#include "output/pipewire/device_pipewire_format.h"

#include "output/pcm_format.h"

namespace {

struct SpeakerPosition {
    uint32_t bit;
    spa_audio_channel position;
};

// The speaker bits of WAVE_FORMAT_EXTENSIBLE in rising order, with PipeWire's position of each.
constexpr std::array<SpeakerPosition, 18> kSpeakerPositions = {{
    {0x1, SPA_AUDIO_CHANNEL_FL},
    {0x2, SPA_AUDIO_CHANNEL_FR},
    {0x4, SPA_AUDIO_CHANNEL_FC},
    {0x8, SPA_AUDIO_CHANNEL_LFE},
    {0x10, SPA_AUDIO_CHANNEL_RL},
    {0x20, SPA_AUDIO_CHANNEL_RR},
    {0x40, SPA_AUDIO_CHANNEL_FLC},
    {0x80, SPA_AUDIO_CHANNEL_FRC},
    {0x100, SPA_AUDIO_CHANNEL_RC},
    {0x200, SPA_AUDIO_CHANNEL_SL},
    {0x400, SPA_AUDIO_CHANNEL_SR},
    {0x800, SPA_AUDIO_CHANNEL_TC},
    {0x1000, SPA_AUDIO_CHANNEL_TFL},
    {0x2000, SPA_AUDIO_CHANNEL_TFC},
    {0x4000, SPA_AUDIO_CHANNEL_TFR},
    {0x8000, SPA_AUDIO_CHANNEL_TRL},
    {0x10000, SPA_AUDIO_CHANNEL_TRC},
    {0x20000, SPA_AUDIO_CHANNEL_TRR},
}};

std::optional<spa_audio_channel> positionOfBit(uint32_t bit) {
    for (const SpeakerPosition& entry : kSpeakerPositions) {
        if (entry.bit == bit) {
            return entry.position;
        }
    }
    return std::nullopt;
}

spa_audio_format sampleFormatOf(uint16_t containerBits) {
    switch (containerBits) {
        case 8:
            return SPA_AUDIO_FORMAT_U8;
        case 16:
            return SPA_AUDIO_FORMAT_S16_LE;
        case 24:
            return SPA_AUDIO_FORMAT_S24_LE;
        default:
            return SPA_AUDIO_FORMAT_S32_LE;  // also 24 valid bits, which sit at the top
    }
}

}  // namespace

void mapChannelPositions(uint32_t channelMask, uint32_t channels, PipewireFormat& out) {
    if (channelMask == 0) {
        for (uint32_t k = 0; k < channels && k < kSpeakerPositions.size(); ++k) {
            channelMask |= kSpeakerPositions[k].bit;
        }
    }
    out.speakers.assign(channels, 0);
    uint32_t aux = 0;
    uint32_t bitsLeft = channelMask;
    for (uint32_t k = 0; k < channels && k < SPA_AUDIO_MAX_CHANNELS; ++k) {
        const uint32_t bit = bitsLeft & (~bitsLeft + 1);  // the lowest bit not yet taken
        bitsLeft &= ~bit;
        const std::optional<spa_audio_channel> position =
            bit != 0 ? positionOfBit(bit) : std::nullopt;
        if (position) {
            out.positions[k] = *position;
            out.speakers[k] = bit;
        } else {
            out.positions[k] = SPA_AUDIO_CHANNEL_AUX0 + aux++;
        }
    }
}

std::optional<PipewireFormat> pipewireFormatOf(const WaveFormatExtensible& format) {
    const std::optional<uint16_t> bits = pcmContainerBits(format);
    if (!bits || format.nChannels > SPA_AUDIO_MAX_CHANNELS ||
        format.nSamplesPerSec > kPipewireMaxRateHz) {
        return std::nullopt;
    }
    PipewireFormat out;
    out.sampleFormat = sampleFormatOf(*bits);
    out.rateHz = format.nSamplesPerSec;
    out.channels = format.nChannels;
    const bool extensible = format.wFormatTag == kWaveFormatExtensible;
    mapChannelPositions(extensible ? format.dwChannelMask : 0, out.channels, out);
    return out;
}
