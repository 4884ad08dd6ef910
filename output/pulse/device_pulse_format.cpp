#include "output/pulse/device_pulse_format.h"

#include <array>

#include "output/pcm_format.h"

namespace {

// Each speaker bit of a channel mask, in rising order, and PulseAudio's position for it.
constexpr std::array<pa_channel_position_t, 18> kPositionOfBit = {
    PA_CHANNEL_POSITION_FRONT_LEFT,
    PA_CHANNEL_POSITION_FRONT_RIGHT,
    PA_CHANNEL_POSITION_FRONT_CENTER,
    PA_CHANNEL_POSITION_LFE,
    PA_CHANNEL_POSITION_REAR_LEFT,
    PA_CHANNEL_POSITION_REAR_RIGHT,
    PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER,
    PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER,
    PA_CHANNEL_POSITION_REAR_CENTER,
    PA_CHANNEL_POSITION_SIDE_LEFT,
    PA_CHANNEL_POSITION_SIDE_RIGHT,
    PA_CHANNEL_POSITION_TOP_CENTER,
    PA_CHANNEL_POSITION_TOP_FRONT_LEFT,
    PA_CHANNEL_POSITION_TOP_FRONT_CENTER,
    PA_CHANNEL_POSITION_TOP_FRONT_RIGHT,
    PA_CHANNEL_POSITION_TOP_REAR_LEFT,
    PA_CHANNEL_POSITION_TOP_REAR_CENTER,
    PA_CHANNEL_POSITION_TOP_REAR_RIGHT,
};

}  // namespace

std::optional<pa_sample_spec> pulseSampleFormat(const WaveFormatExtensible& format) {
    const std::optional<uint16_t> bits = pcmContainerBits(format);
    if (!bits) {
        return std::nullopt;
    }
    pa_sample_spec sampleFormat{};
    switch (*bits) {
        case 8:
            sampleFormat.format = PA_SAMPLE_U8;
            break;
        case 16:
            sampleFormat.format = PA_SAMPLE_S16LE;
            break;
        case 24:
            sampleFormat.format = PA_SAMPLE_S24LE;
            break;
        default:
            sampleFormat.format = PA_SAMPLE_S32LE;  // also 24 valid bits, which sit at the top
            break;
    }
    sampleFormat.rate = format.nSamplesPerSec;
    sampleFormat.channels = static_cast<uint8_t>(format.nChannels);
    if (format.nChannels > PA_CHANNELS_MAX || pa_sample_spec_valid(&sampleFormat) == 0) {
        return std::nullopt;
    }
    return sampleFormat;
}

pa_channel_map pulseChannelMap(uint32_t channelMask, uint8_t channels) {
    pa_channel_map map{};
    map.channels = channels;
    uint8_t channel = 0;
    for (size_t bit = 0; bit < kPositionOfBit.size() && channel < channels; ++bit) {
        if ((channelMask >> bit & 1) != 0) {
            map.map[channel++] = kPositionOfBit[bit];
        }
    }
    for (int aux = 0; channel < channels; ++aux) {
        map.map[channel++] = static_cast<pa_channel_position_t>(PA_CHANNEL_POSITION_AUX0 + aux);
    }
    return map;
}
