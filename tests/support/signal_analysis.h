// Measures of a recorded signal for end-to-end tests: one channel out of interleaved 16-bit
// frames or out of a sound file, its RMS level, the amplitude of one frequency and the frequency
// from the rising zero crossings.
#pragma once

#include <sndfile.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <optional>
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
    double sum = 0.0;
    for (double x : signal) {
        sum += x * x;
    }
    return signal.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(signal.size()));
}

// The amplitude of the sine at `hz` in the signal: Goertzel over the whole span, with a Hann
// window so that a fractional number of periods does not leak into the measure.
inline double amplitudeAt(std::span<const double> signal, double hz, double rateHz) {
    const double w = 2.0 * std::numbers::pi * hz / rateHz;
    double s1 = 0.0;
    double s2 = 0.0;
    double windowSum = 0.0;
    for (size_t i = 0; i < signal.size(); ++i) {
        const double window =
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                 static_cast<double>(std::max<size_t>(signal.size(), 2) - 1));
        windowSum += window;
        const double s = signal[i] * window + 2.0 * std::cos(w) * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double re = s1 - s2 * std::cos(w);
    const double im = s2 * std::sin(w);
    return windowSum > 0 ? 2.0 * std::sqrt(re * re + im * im) / windowSum : 0.0;
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

struct SoundFile {
    int rate = 0;
    int channels = 0;
    int format = 0;  // libsndfile's SF_FORMAT_* bits
    std::vector<double> left;
};

// Channel 0 of a sound file, read with libsndfile; nothing when it does not open.
inline std::optional<SoundFile> readSoundFile(const std::string& path) {
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    if (sf == nullptr) {
        return std::nullopt;
    }
    std::vector<double> frames(static_cast<size_t>(info.frames * info.channels));
    sf_readf_double(sf, frames.data(), info.frames);
    sf_close(sf);
    SoundFile file{info.samplerate, info.channels, info.format, {}};
    for (size_t i = 0; i < frames.size(); i += static_cast<size_t>(info.channels)) {
        file.left.push_back(frames[i]);
    }
    return file;
}
