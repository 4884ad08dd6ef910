#include "tests/support/signal_analysis.h"

#include <sndfile.h>

#include <cmath>
#include <numbers>

std::vector<double> channelOf(std::span<const int16_t> interleaved, unsigned channels,
                              unsigned channel) {
    std::vector<double> out;
    out.reserve(interleaved.size() / channels);
    for (size_t i = channel; i < interleaved.size(); i += channels) {
        out.push_back(interleaved[i] / 32768.0);
    }
    return out;
}

double rmsOf(std::span<const double> signal) {
    if (signal.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (double x : signal) {
        sum += x * x;
    }
    return std::sqrt(sum / static_cast<double>(signal.size()));
}

double amplitudeAt(std::span<const double> signal, double hz, double rateHz) {
    const size_t n = signal.size();
    if (n < 2) {
        return 0.0;
    }
    const double w = 2.0 * std::numbers::pi * hz / rateHz;
    const double coeff = 2.0 * std::cos(w);
    double s1 = 0.0;
    double s2 = 0.0;
    double windowSum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        const double window = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                                   static_cast<double>(n - 1));
        windowSum += window;
        const double s = signal[i] * window + coeff * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    const double re = s1 - s2 * std::cos(w);
    const double im = s2 * std::sin(w);
    return 2.0 * std::sqrt(re * re + im * im) / windowSum;
}

double zeroCrossingHz(std::span<const double> signal, double rateHz) {
    double first = -1.0;
    double last = -1.0;
    size_t crossings = 0;
    for (size_t i = 1; i < signal.size(); ++i) {
        if (signal[i - 1] < 0.0 && signal[i] >= 0.0) {
            const double at =
                static_cast<double>(i - 1) + signal[i - 1] / (signal[i - 1] - signal[i]);
            if (crossings == 0) {
                first = at;
            }
            last = at;
            ++crossings;
        }
    }
    if (crossings < 2) {
        return 0.0;
    }
    return static_cast<double>(crossings - 1) * rateHz / (last - first);
}

std::optional<SoundFile> readSoundFile(const std::string& path) {
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
