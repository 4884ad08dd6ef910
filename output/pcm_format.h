// The integer PCM that every output layer hands on as it stands.
#pragma once

#include <cstdint>
#include <optional>

#include "output/wave_device.h"

// The bits of one sample's container (8, 16, 24 or 32) where `format` is integer PCM that plays
// as a plain sample format: the plain PCM header, or the extensible one with the PCM subtype and
// its whole extension; all of the container's bits valid (0 stated means all), or 24 valid bits
// at the top of a 32-bit container, which are the same samples as 32 bits; at least one channel;
// a rate; and frames of one container a channel. Each layer adds its own limits.
std::optional<uint16_t> pcmContainerBits(const WaveFormatExtensible& format);
