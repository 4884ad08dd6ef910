#include "output/pcm_format.h"

std::optional<uint16_t> pcmContainerBits(const WaveFormatExtensible& format) {
    const bool extensible = format.wFormatTag == kWaveFormatExtensible;
    if (!extensible && format.wFormatTag != kWaveFormatPcm) {
        return std::nullopt;
    }
    if (extensible && (format.SubFormat != kSubtypePcm || format.cbSize < kExtensibleExtraBytes)) {
        return std::nullopt;
    }
    const uint16_t bits = format.wBitsPerSample;
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32) {
        return std::nullopt;
    }
    const uint16_t valid = extensible ? format.Samples.wValidBitsPerSample : 0;
    if (valid != 0 && valid != bits && !(bits == 32 && valid == 24)) {
        return std::nullopt;
    }
    if (format.nChannels == 0 || format.nSamplesPerSec == 0 ||
        format.nBlockAlign != format.nChannels * bits / 8) {
        return std::nullopt;
    }
    return bits;
}
