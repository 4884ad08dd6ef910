// Measures of a recorded signal for end-to-end tests: one channel out of interleaved 16-bit
// frames, its RMS level, the amplitude of one frequency (Goertzel) and the frequency from the
// rising zero crossings.
#pragma once

#include <cstdint>
#include <span>
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
