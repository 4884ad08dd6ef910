// Notes by name: a letter A to G (either case), an optional sharp "#" or flat "b", the octave
// (0 to 10, the octave of middle C being 4) and optional cents, "+7c" or "-20c" (up to ±100), in
// twelve-tone equal temperament from the frequency of A4.
#pragma once

#include <optional>
#include <string>

// The frequency of the note, or none when the text is not a note.
std::optional<double> noteFrequencyHz(const std::string& text, double a4Hz);
