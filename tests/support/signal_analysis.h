// Measures of a recorded signal for end-to-end tests: one channel out of interleaved 16-bit
// frames or out of a sound file, its RMS level, the amplitude of one frequency (Goertzel) and the
// frequency from the rising zero crossings.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Channel `channel` of interleaved 16-bit frames, scaled to [-1, 1).
std::vector<double> channelOf(std::span<const int16_t> interleaved, unsigned channels,
                              unsigned channel);

double rmsOf(std::span<const double> signal);

// The amplitude of the sine at `hz` in the signal (Goertzel over the whole span, with a Hann
// window so that a fractional number of periods does not leak into the measure).
double amplitudeAt(std::span<const double> signal, double hz, double rateHz);

// The frequency from the first to the last rising zero crossing, each placed between its two
// samples by linear interpolation; 0 when there are fewer than two crossings.
double zeroCrossingHz(std::span<const double> signal, double rateHz);

struct SoundFile {
    int rate = 0;
    int channels = 0;
    int format = 0;  // libsndfile's SF_FORMAT_* bits
    std::vector<double> left;
};

// Channel 0 of the sound file at `path`, read with libsndfile; nothing when it does not open.
std::optional<SoundFile> readSoundFile(const std::string& path);
