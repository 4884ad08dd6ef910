#include "output/speakers.h"

#include <array>
#include <cctype>

namespace {

constexpr std::array<Speaker, 10> kSpeakers = {{
    {0x001, "FL", "Передний левый"},
    {0x002, "FR", "Передний правый"},
    {0x004, "FC", "Передний центральный"},
    {0x008, "LFE", "Сабвуфер"},
    {0x010, "BL", "Задний левый"},
    {0x020, "BR", "Задний правый"},
    {0x040, "FLC", "Передний левый центральный"},
    {0x080, "FRC", "Передний правый центральный"},
    {0x200, "SL", "Боковой левый"},
    {0x400, "SR", "Боковой правый"},
}};

bool sameCode(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

const Speaker* speakerOfBit(uint32_t bit) {
    for (const Speaker& speaker : kSpeakers) {
        if (speaker.bit == bit) {
            return &speaker;
        }
    }
    return nullptr;
}

std::vector<const Speaker*> speakersOfMask(uint32_t channelMask) {
    std::vector<const Speaker*> speakers;
    for (const Speaker& speaker : kSpeakers) {
        if ((channelMask & speaker.bit) != 0) {
            speakers.push_back(&speaker);
        }
    }
    return speakers;
}

std::vector<uint32_t> speakerBitsOfMask(uint32_t channelMask) {
    std::vector<uint32_t> bits;
    for (const Speaker* speaker : speakersOfMask(channelMask)) {
        bits.push_back(speaker->bit);
    }
    return bits;
}

std::optional<int32_t> channelOfCode(uint32_t channelMask, std::string_view code) {
    const std::vector<const Speaker*> speakers = speakersOfMask(channelMask);
    for (size_t k = 0; k < speakers.size(); ++k) {
        if (sameCode(code, speakers[k]->code)) {
            return static_cast<int32_t>(k);
        }
    }
    return std::nullopt;
}
