// Channel order between the system's frames and an ALSA device's frames.
//
// The system stores a frame's channels in the order of the rising speaker bits of the channel
// mask (front left, front right, front centre, low frequency, back left, back right, front left
// of centre, front right of centre). An ALSA device states its own order in a channel map; where
// it states none, ALSA's default order applies (front left, front right, rear left, rear right,
// front centre, low frequency, side left, side right). routeChannels() matches each system
// channel to the device channel of the same speaker, falling back to the nearest speaker the
// device has (the back pair to the side pair, the pair beside the centre to the side pair), and
// copyFrames() moves whole frames into the device's order. Stereo and quad come out unchanged;
// 5.1 and 7.1 are permuted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr unsigned kMaxDeviceChannels = 8;

struct ChannelRoute {
    unsigned channels = 0;
    // deviceSlot[k]: index in the device's frame of the system's channel k.
    std::array<uint8_t, kMaxDeviceChannels> deviceSlot = {};

    bool isIdentity() const;
};

// devicePositions: the device's channel map as SND_CHMAP_* positions, one per channel; empty
// (or not of `channels` entries) when the device gave none, which means ALSA's default order.
// channelMask: the system's speaker bits; 0 means the first `channels` bits.
// channels: 1 to kMaxDeviceChannels.
ChannelRoute routeChannels(uint32_t channelMask, unsigned channels,
                           std::span<const unsigned> devicePositions);

// The positions to ask a device for (snd_pcm_set_chmap) so that it plays the mask's channels on
// their own speakers, in the system's order.
std::vector<unsigned> positionsOfMask(uint32_t channelMask, unsigned channels);

// The speaker bit (of a channel mask) at which the device plays each system channel, from the
// device's positions and the route onto them; 0 for a position without a speaker bit.
std::vector<uint32_t> speakersOfRoute(const ChannelRoute& route,
                                      std::span<const unsigned> devicePositions);

// Copies `frames` frames of route.channels samples of sampleBytes bytes each from the system's
// order (src) into the device's order (dst). The ranges must not overlap.
void copyFrames(const ChannelRoute& route, unsigned sampleBytes, const char* src, char* dst,
                size_t frames);
