#include "output/pulse/device_pulse_format.h"

#include <array>

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

bool isIntegerPcm(const WaveFormatExtensible& format) {
    constexpr uint16_t kWaveFormatPcm = 1;
    return format.wFormatTag == kWaveFormatPcm ||
           (format.wFormatTag == kWaveFormatExtensible && format.SubFormat == kSubtypePcm);
}

}  // namespace

std::optional<pa_sample_spec> pulseSampleFormat(const WaveFormatExtensible& format) {
    if (!isIntegerPcm(format)) {
        return std::nullopt;
    }
    const bool extensible = format.wFormatTag == kWaveFormatExtensible;
    // No valid bits stated means all of them, as in the plain PCM header.
    const uint16_t stated = extensible ? format.Samples.wValidBitsPerSample : 0;
    const uint16_t valid = stated != 0 ? stated : format.wBitsPerSample;
    pa_sample_spec sampleFormat{};
    switch (format.wBitsPerSample) {
        case 8:
            sampleFormat.format = PA_SAMPLE_U8;
            break;
        case 16:
            sampleFormat.format = PA_SAMPLE_S16LE;
            break;
        case 24:
            sampleFormat.format = PA_SAMPLE_S24LE;
            break;
        case 32:
            // Fewer valid bits sit at the top of the container: a 32-bit sample, not S24_32.
            sampleFormat.format = PA_SAMPLE_S32LE;
            break;
        default:
            return std::nullopt;
    }
    if (valid > format.wBitsPerSample ||
        format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) {
        return std::nullopt;
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
