// The speakers of the channel layouts: for each speaker bit of a WAVE_FORMAT_EXTENSIBLE channel
// mask, its short code (the names that the sound servers and WAV files use) and its Russian name.
// The channels of a frame are the mask's bits in rising order, so channel k of a layout is its
// k-th speaker.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

struct Speaker {
    uint32_t bit;           // the speaker's bit of the channel mask
    std::string_view code;  // "FL"
    std::string_view name;  // "Передний левый"
};

// The speaker of one mask bit, or null for a bit that no layout uses.
const Speaker* speakerOfBit(uint32_t bit);

// The speakers of a mask, in channel order.
std::vector<const Speaker*> speakersOfMask(uint32_t channelMask);

// The speaker bits of a mask, in channel order: where each channel of that layout plays.
std::vector<uint32_t> speakerBitsOfMask(uint32_t channelMask);

// The channel (0-based) of the layout `channelMask` that `code` names (any case), if it has it.
std::optional<int32_t> channelOfCode(uint32_t channelMask, std::string_view code);
