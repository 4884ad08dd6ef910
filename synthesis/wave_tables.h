// Band-limited single-cycle tables of the square, triangle and sawtooth, and the choice of table
// for a tone of a given frequency at a given sampling rate.
//
// A tone of frequency f must carry every harmonic n × f below the band limit (20 kHz, or 0.45 of
// the rate where that is lower) and nothing at or above half the rate, which would fold back as
// an alias. No single table per octave can do both: its top harmonic is either missing for the
// low end of the octave or aliased for the high end. So there is one table per harmonic count,
// every count from 1 to 64, then counts that grow by an eighth of an octave up to
// kMaxHarmonics; the smallest table that holds every harmonic below the limit always ends below
// half the rate (its top harmonic is below 2^(1/8) = 1.09 × the limit, and the limit at most
// 0.45 × the rate: 0.491 × the rate). The tables depend on the shape alone, not on the rate, so
// they are built once.
//
// A table of m harmonics holds N = max(512, 4m, 200√m) samples (a power of two) and is read with
// linear interpolation. Linear interpolation multiplies harmonic h by sinc²(h / N) and leaves
// images at N ± h; the harmonics are stored divided by that factor, so they come out at their
// ideal amplitude, and with that N every image lies more than 85 dB below the fundamental. Each
// table is made from its harmonics by an inverse FFT (two tables of one length share one). Every
// table of a shape is scaled by one constant, so that none exceeds 1.0 (the band-limited square
// overshoots its ideal peak), and the ratio of the harmonics is the ideal one in every table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

enum class ToneShape { Sine, Square, Triangle, Sawtooth };

class WaveTables {
  public:
    // Fundamentals so low that they would need more harmonics than this get this many (below
    // 2.5 Hz at a 20 kHz limit).
    static constexpr int32_t kMaxHarmonics = 8192;
    // A tone above the band limit fades out over this ratio of frequency instead of stopping.
    static constexpr double kFadeRatio = 1.1;

    // One table, read through lookup(): `length` samples and one guard sample equal to the first.
    struct Choice {
        const float* samples = nullptr;
        double length = 0.0;
        double gain = 0.0;  // 1 below the band limit, falling to 0 over the fade, 0 above
    };

    // Builds every table of the shape.
    explicit WaveTables(ToneShape shape);

    // The highest frequency that must sound at its full level: 20 kHz, or 0.45 of the rate.
    static double bandLimitHz(double rateHz);

    // The gain of a tone of `hz`: 1 up to the band limit, a raised-cosine fade to 0 at
    // kFadeRatio × the limit, 0 beyond (and for a frequency that is not positive or not a number).
    static double gainAt(double hz, double rateHz);

    // The table for a tone of `hz` at `rateHz`.
    Choice choose(double hz, double rateHz) const;

    // The number of harmonics of the table choose() gives, for tests and the level report.
    int32_t harmonicsOf(double hz, double rateHz) const;

    // The table's value at `phase`, in cycles from 0 (inclusive) to 1 (exclusive).
    static double lookup(const Choice& table, double phase) {
        const double position = phase * table.length;
        const auto index = static_cast<size_t>(position);
        const double fraction = position - static_cast<double>(index);
        const float first = table.samples[index];
        return first + fraction * (table.samples[index + 1] - first);
    }

    // The amplitude of harmonic n of the ideal waveform whose peak is 1 (sine series).
    static double idealHarmonic(ToneShape shape, int32_t n);

    // The factor every table of this shape was scaled by.
    double scale() const { return scaleFactor; }

  private:
    struct Table {
        size_t offset = 0;
        size_t length = 0;
        int32_t harmonics = 0;
    };
    size_t indexFor(double hz, double rateHz) const;

    std::vector<float> samples;
    std::vector<Table> tables;
    // For each harmonic count from 0 to kMaxHarmonics, the smallest table that holds it.
    std::vector<uint16_t> tableForHarmonics;
    double scaleFactor = 1.0;
};
