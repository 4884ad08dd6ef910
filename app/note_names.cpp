#include "app/note_names.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>

namespace {

// Semitones above C of the letters A to G.
constexpr std::array<int, 7> kSemitoneOfLetter = {9, 11, 0, 2, 4, 5, 7};
constexpr int kMaxOctave = 10;
constexpr double kMaxCents = 100.0;
constexpr int kMidiOfA4 = 69;
constexpr int kSemitonesPerOctave = 12;
constexpr double kCentsPerSemitone = 100.0;

}  // namespace

std::optional<double> noteFrequencyHz(const std::string& text, double a4Hz) {
    size_t at = 0;
    if (text.empty()) {
        return std::nullopt;
    }
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[at])));
    if (letter < 'A' || letter > 'G') {
        return std::nullopt;
    }
    int semitone = kSemitoneOfLetter[static_cast<size_t>(letter - 'A')];
    ++at;
    if (at < text.size() && (text[at] == '#' || text[at] == 'b')) {
        semitone += text[at] == '#' ? 1 : -1;
        ++at;
    }
    int octave = -1;
    const char* end = text.data() + text.size();
    const auto [afterOctave, octaveError] = std::from_chars(text.data() + at, end, octave);
    if (octaveError != std::errc() || octave < 0 || octave > kMaxOctave) {
        return std::nullopt;
    }
    double cents = 0.0;
    if (afterOctave != end) {
        // "+7c", "-20c", "+12.5c": a sign, a number, and the letter c at the very end.
        if ((*afterOctave != '+' && *afterOctave != '-') || text.back() != 'c') {
            return std::nullopt;
        }
        const char* centsEnd = end - 1;
        const auto [stop, error] = std::from_chars(afterOctave + 1, centsEnd, cents);
        if (error != std::errc() || stop != centsEnd || !(cents <= kMaxCents)) {
            return std::nullopt;
        }
        cents = *afterOctave == '-' ? -cents : cents;
    }
    const int midi = (octave + 1) * kSemitonesPerOctave + semitone;
    const double semitonesFromA4 = (midi - kMidiOfA4) + cents / kCentsPerSemitone;
    return a4Hz * std::exp2(semitonesFromA4 / kSemitonesPerOctave);
}
