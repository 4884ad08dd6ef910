// Matching runs in three rounds so that an exact speaker always wins over a fallback: first every
// system channel takes the device channel of its own speaker, then the channels still without a
// place take their fallback speaker, and last the rest fill the unclaimed device channels in
// order (a device map of unknown positions thus keeps the system's order).
#include "output/alsa/device_alsa_channels.h"

#include <alsa/asoundlib.h>

#include <cstring>

namespace {

constexpr unsigned kNoPosition = SND_CHMAP_UNKNOWN;
constexpr unsigned kNoSpeaker = ~0u;

// For each speaker bit of the mask, rising: its own ALSA position, then its fallback.
struct SpeakerPositions {
    unsigned own;
    unsigned fallback;
};
constexpr std::array<SpeakerPositions, 11> kSpeakers = {{
    {SND_CHMAP_FL, kNoPosition},
    {SND_CHMAP_FR, kNoPosition},
    {SND_CHMAP_FC, kNoPosition},
    {SND_CHMAP_LFE, kNoPosition},
    {SND_CHMAP_RL, SND_CHMAP_SL},
    {SND_CHMAP_RR, SND_CHMAP_SR},
    {SND_CHMAP_FLC, SND_CHMAP_SL},
    {SND_CHMAP_FRC, SND_CHMAP_SR},
    {SND_CHMAP_RC, kNoPosition},
    {SND_CHMAP_SL, SND_CHMAP_RL},
    {SND_CHMAP_SR, SND_CHMAP_RR},
}};

// ALSA's order where a device states none.
constexpr std::array<unsigned, kMaxDeviceChannels> kAlsaDefaultOrder = {
    SND_CHMAP_FL, SND_CHMAP_FR,  SND_CHMAP_RL, SND_CHMAP_RR,
    SND_CHMAP_FC, SND_CHMAP_LFE, SND_CHMAP_SL, SND_CHMAP_SR};

// The speaker bit indices of the mask's channels, in frame order.
std::array<unsigned, kMaxDeviceChannels> speakersOf(uint32_t channelMask, unsigned channels) {
    std::array<unsigned, kMaxDeviceChannels> speakers = {};
    unsigned k = 0;
    for (unsigned bit = 0; bit < kSpeakers.size() && k < channels; ++bit) {
        if (channelMask == 0 || (channelMask & (1u << bit)) != 0) {
            speakers[k++] = bit;
        }
    }
    // A mask with fewer bits than channels: the remaining channels have no known speaker.
    for (; k < channels; ++k) {
        speakers[k] = kNoSpeaker;
    }
    return speakers;
}

}  // namespace

std::vector<unsigned> positionsOfMask(uint32_t channelMask, unsigned channels) {
    std::vector<unsigned> positions;
    for (unsigned speaker : speakersOf(channelMask, channels)) {
        if (positions.size() == channels) {
            break;
        }
        positions.push_back(speaker == kNoSpeaker ? kNoPosition : kSpeakers[speaker].own);
    }
    return positions;
}

std::vector<uint32_t> speakersOfRoute(const ChannelRoute& route,
                                      std::span<const unsigned> devicePositions) {
    std::vector<uint32_t> speakers;
    for (unsigned k = 0; k < route.channels && route.deviceSlot[k] < devicePositions.size(); ++k) {
        const unsigned position = devicePositions[route.deviceSlot[k]];
        uint32_t bit = 0;
        for (unsigned b = 0; b < kSpeakers.size(); ++b) {
            if (kSpeakers[b].own == position) {
                bit = 1u << b;
            }
        }
        speakers.push_back(bit);
    }
    return speakers;
}

bool ChannelRoute::isIdentity() const {
    for (unsigned k = 0; k < channels; ++k) {
        if (deviceSlot[k] != k) {
            return false;
        }
    }
    return true;
}

ChannelRoute routeChannels(uint32_t channelMask, unsigned channels,
                           std::span<const unsigned> devicePositions) {
    ChannelRoute route;
    route.channels = channels < kMaxDeviceChannels ? channels : kMaxDeviceChannels;
    const unsigned n = route.channels;

    std::array<unsigned, kMaxDeviceChannels> device = {};
    for (unsigned j = 0; j < n; ++j) {
        device[j] = devicePositions.size() == n ? devicePositions[j] : kAlsaDefaultOrder[j];
    }
    const auto speakers = speakersOf(channelMask, n);

    std::array<bool, kMaxDeviceChannels> placed = {};
    std::array<bool, kMaxDeviceChannels> claimed = {};
    auto claim = [&](unsigned k, unsigned position) {
        if (position == kNoPosition) {
            return;
        }
        for (unsigned j = 0; j < n; ++j) {
            if (!claimed[j] && device[j] == position) {
                route.deviceSlot[k] = static_cast<uint8_t>(j);
                claimed[j] = placed[k] = true;
                return;
            }
        }
    };
    for (unsigned k = 0; k < n; ++k) {
        if (speakers[k] != kNoSpeaker) {
            claim(k, kSpeakers[speakers[k]].own);
        }
    }
    for (unsigned k = 0; k < n; ++k) {
        if (!placed[k] && speakers[k] != kNoSpeaker) {
            claim(k, kSpeakers[speakers[k]].fallback);
        }
    }
    unsigned next = 0;
    for (unsigned k = 0; k < n; ++k) {
        if (placed[k]) {
            continue;
        }
        while (claimed[next]) {
            ++next;
        }
        route.deviceSlot[k] = static_cast<uint8_t>(next);
        claimed[next] = placed[k] = true;
    }
    return route;
}

void copyFrames(const ChannelRoute& route, unsigned sampleBytes, const char* src, char* dst,
                size_t frames) {
    const size_t frameBytes = size_t{route.channels} * sampleBytes;
    if (route.isIdentity()) {
        std::memcpy(dst, src, frames * frameBytes);
        return;
    }
    for (size_t f = 0; f < frames; ++f) {
        for (unsigned k = 0; k < route.channels; ++k) {
            std::memcpy(dst + size_t{route.deviceSlot[k]} * sampleBytes,
                        src + size_t{k} * sampleBytes, sampleBytes);
        }
        src += frameBytes;
        dst += frameBytes;
    }
}
