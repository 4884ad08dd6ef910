// The octave stack of a tone shape: tone k at the fundamental times 2^k, each tone a
// band-limited square, triangle or sawtooth, or a sine, read from WaveTables,
// the sum scaled by the amplitude and divided by the tone count, as M_Sines does for sines.
//
// It is an M_Sines in everything the control side sees: the same inputs (frequency, amplitude),
// the same tone count and phase list, the same setToneCount() and reset(), so that the dialogue
// and its direct or faded changes drive it unchanged. Only process() differs. The phases are
// kept in cycles (0 to 1) rather than radians.
//
// A tone above the band limit fades out over WaveTables::kFadeRatio instead of stopping, so a
// tone carried up by a sweep leaves without a click. While the frequency, rate, tone count and
// phase list stay as they were, every tone's table, increment and gain are those of the frame
// before; a new frequency (a sweep changes it every frame) makes them anew, which costs one
// multiplication and, for a shape, a division and a table look-up per audible tone.
//
// Threads: as M_Sines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "synthesis/sines.h"
#include "synthesis/wave_tables.h"

class M_WaveStack : public M_Sines {
  public:
    // Builds the shape's tables. Throws std::length_error as M_Sines does.
    M_WaveStack(ToneShape shape, int32_t toneCount);

    // One sample of the stack; 0.0 while the frequency is not positive. Allocates nothing.
    void process() override;

    struct Levels {
        double peak = 0.0;
        double rms = 0.0;
    };
    // The peak and RMS of the output for a fundamental of `hz` at `rateHz` and the current tone
    // count and amplitude, from one period of the stack (the tones are phase-locked from phase
    // 0). Control thread, before rendering; allocates.
    Levels levelsAt(double hz, int32_t rateHz) const;

    const ToneShape shape;
    const WaveTables& waveTables() const { return tables; }

  private:
    // Tones at most: beyond 32 octaves above any audible fundamental nothing can sound.
    static constexpr size_t kMaxAudibleTones = 32;
    struct Tone {
        WaveTables::Choice table;
        double increment = 0.0;  // cycles per frame
    };
    void plan(double hz);
    // The plan for a new frequency when only the frequency has changed, every audible tone stays
    // below the band limit and no tone comes in: the increments (and the tables) anew, nothing
    // else. False, changing nothing that plan() would not redo, when that does not hold.
    bool retune(double hz);
    // Tone k's value at `phase` (cycles).
    double valueOf(const Tone& tone, double phase) const;

    WaveTables tables;
    std::array<Tone, kMaxAudibleTones> tones{};
    size_t audible = 0;
    size_t live = 0;  // tones from here on are known to be at phase 0
    double plannedHz = std::numeric_limits<double>::quiet_NaN();
    double framesPerSecond = 0.0;  // the rate, and its inverse, of the plan
    double secondsPerFrame = 0.0;
    double limitHz = 0.0;
    double fadeEndHz = 0.0;
    int32_t plannedRateHz = 0;
    int32_t plannedToneCount = 0;
    const double* plannedPhases = nullptr;
    size_t plannedLength = 0;
};
