// Measures of a recorded signal for end-to-end tests: one channel out of interleaved 16-bit
// frames or out of a sound file, its RMS level, the amplitude of one frequency and the frequency
// from the rising zero crossings.
#pragma once

#include <sndfile.hh>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <numeric>
#include <span>
#include <string>
#include <vector>

// Channel `channel` of interleaved 16-bit frames, scaled to [-1, 1).
inline std::vector<double> channelOf(std::span<const int16_t> interleaved, unsigned channels,
                                     unsigned channel) {
    std::vector<double> out;
    for (size_t i = channel; i < interleaved.size(); i += channels) {
        out.push_back(interleaved[i] / 32768.0);
    }
    return out;
}

inline double rmsOf(std::span<const double> signal) {
    const double sum = std::inner_product(signal.begin(), signal.end(), signal.begin(), 0.0);
    return std::sqrt(sum / static_cast<double>(std::max<size_t>(signal.size(), 1)));
}

// The amplitude of the sine at `hz` in the signal: its Fourier coefficient over the whole span,
// with a Hann window so that a fractional number of periods does not leak into the measure.
inline double amplitudeAt(std::span<const double> signal, double hz, double rateHz) {
    std::complex<double> sum;
    double windowSum = 0.0;
    for (size_t i = 0; i < signal.size(); ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                                   static_cast<double>(signal.size()));
        windowSum += window;
        sum += signal[i] * window *
               std::polar(1.0, -2.0 * std::numbers::pi * hz * static_cast<double>(i) / rateHz);
    }
    return windowSum > 0 ? 2.0 * std::abs(sum) / windowSum : 0.0;
}

// The frequency from the first to the last rising zero crossing, each placed between its two
// samples by linear interpolation; 0 when there are fewer than two crossings.
inline double zeroCrossingHz(std::span<const double> signal, double rateHz) {
    std::vector<double> crossings;
    for (size_t i = 1; i < signal.size(); ++i) {
        if (signal[i - 1] < 0.0 && signal[i] >= 0.0) {
            crossings.push_back(static_cast<double>(i - 1) +
                                signal[i - 1] / (signal[i - 1] - signal[i]));
        }
    }
    return crossings.size() < 2 ? 0.0
                                : static_cast<double>(crossings.size() - 1) * rateHz /
                                      (crossings.back() - crossings.front());
}

// Channel 0 of a sound file opened with libsndfile; empty when it did not open.
inline std::vector<double> leftOf(SndfileHandle file) {
    std::vector<double> frames(static_cast<size_t>(file.frames() * file.channels()));
    file.readf(frames.data(), file.frames());
    std::vector<double> left;
    for (size_t i = 0; i < frames.size(); i += static_cast<size_t>(file.channels())) {
        left.push_back(frames[i]);
    }
    return left;
}
