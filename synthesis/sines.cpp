// The harmonic sum of M_Sines. For a positive frequency f, tone k sounds at fk = 2^k × f and is
// audible while 2 × fk < sr. fk grows with k, so the audible tones are the first ones, up to the
// first muted tone; the loop stops there. 2^k × f is formed by doubling, which is exact for every
// finite result, as the product with the power of two is; tones from k = 1024 on are muted in any
// case, because 2^1024 itself is beyond the range of a double.
//
// A muted tone adds the sine of the phase it had and is set to 0.0. After a frame, only the tones
// that were audible in it can hold a phase other than 0.0, so the next frame visits those and the
// tones audible now, and skips the rest: a tone at 0.0 adds +0.0, which changes no sum (the sum
// starts at +0.0 and sines of phases within 0 to 2π never make it -0.0). The cost per frame follows
// the audible tones and the tones that were audible on the previous frame, never the tone count.
//
// While a tone plays, frame after frame has the same frequency, rate, tone count and phase list.
// A frame worked out in full therefore leaves a plan: how many tones are audible and the increment
// of each, the same products fk × step that the full frame adds. A frame whose inputs match the
// plan only sums the sines and advances the phases, with none of the full frame's bookkeeping
// around them. What the plan does not capture (the amplitude, the phase values) is read anew on
// every frame, so both ways give the same bits.
#include "synthesis/sines.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

namespace {

constexpr double kTwoPi = 6.283185307179586;

// The frequency of no plan: no frequency compares equal to it.
constexpr double kNoPlan = std::numeric_limits<double>::quiet_NaN();

// Tone k from here on is muted: 2^k overflows a double.
constexpr int32_t kFirstOverflowingOctave = std::numeric_limits<double>::max_exponent;

bool validToneCount(int32_t count) {
    return count >= 0 && count <= M_Sines::kMaxToneCount;
}

}  // namespace

M_Sines::M_Sines(int32_t toneCount) : AudioModule(2, 1) {
    name = "синусы";
    inputNames[0] = "частота";
    inputNames[1] = "амплитуда";
    outputNames[0] = "выход";
    if (!validToneCount(toneCount)) {
        throw std::length_error("tone count out of range: " + std::to_string(toneCount));
    }
    phases.assign(static_cast<size_t>(toneCount), 0.0);
    this->toneCount = toneCount;
    knownLength = phases.size();
}

void M_Sines::reset() {
    std::fill(phases.begin(), phases.end(), 0.0);
    plan.hz = kNoPlan;
    livePhases = 0;
    knownLength = phases.size();
}

void M_Sines::process() {
    const double f = inputValue(0);
    if (f == plan.hz && *sampleRate == plan.rateHz && toneCount == plan.toneCount &&
        phases.data() == plan.phases && phases.size() == plan.length) {
        // Nothing the plan depends on has changed: the same audible tones, the same increments.
        // What is needed after the sine calls is taken before them, so that only the sum and
        // the loop's pointers live across each call.
        Port& out = outputs[0];
        const Port& amplitude = *inputSources[1];
        const auto tones = static_cast<double>(toneCount);
        double* phase = phases.data();
        double* const end = phase + plan.audible;
        const double* increment = plan.increments.data();
        double sum = 0.0;
        for (; phase != end; ++phase, ++increment) {
            const double current = *phase;
            double next = current + *increment;
            if (next > kTwoPi) {
                next -= kTwoPi;
            }
            *phase = next;
            sum += std::sin(current);
        }
        out.value = sum * amplitude.value / tones;
        return;
    }
    if (f <= 0.0 || toneCount < 1) {
        // Held: nothing changes, so a plan made before still holds when the frequency returns.
        outputs[0].value = 0.0;
        return;
    }
    processUnplanned(f);
}

void M_Sines::processUnplanned(double f) {
    plan.hz = kNoPlan;
    const auto sr = static_cast<double>(*sampleRate);
    const double step = kTwoPi / sr;
    if (phases.size() != knownLength) {
        // Replaced without setToneCount(): nothing is known about its entries.
        livePhases = phases.size();
        knownLength = phases.size();
    }
    // Never index past the list, even if toneCount was written without it.
    const size_t count = std::min(phases.size(), static_cast<size_t>(toneCount));
    const size_t audibleLimit = std::min(count, static_cast<size_t>(kFirstOverflowingOctave));
    double* phase = phases.data();

    double sum = 0.0;
    double fk = f;
    size_t k = 0;
    for (; k < audibleLimit; ++k) {
        if (!(2.0 * fk < sr)) {
            break;  // This tone and every one above it is muted; a NaN frequency stops here too.
        }
        sum += std::sin(phase[k]);
        double next = phase[k] + fk * step;
        if (next > kTwoPi) {
            next -= kTwoPi;
        }
        phase[k] = next;
        fk += fk;
    }
    const size_t audible = k;
    const size_t live = std::min(livePhases, count);
    for (; k < live; ++k) {
        sum += std::sin(phase[k]);
        phase[k] = 0.0;
    }
    livePhases = audible;

    const double a = inputValue(1);
    outputs[0].value = sum * a / static_cast<double>(toneCount);

    // From the next frame on, only the audible tones hold a phase other than 0.0: that frame can
    // follow the plan if f, the rate, the count and the list stay as they are now.
    if (audible <= plan.increments.size()) {
        fk = f;
        for (size_t i = 0; i < audible; ++i) {
            plan.increments[i] = fk * step;
            fk += fk;
        }
        plan.hz = f;
        plan.rateHz = *sampleRate;
        plan.toneCount = toneCount;
        plan.phases = phases.data();
        plan.length = phases.size();
        plan.audible = audible;
    }
}

bool M_Sines::setToneCount(int32_t count) {
    if (!validToneCount(count)) {
        return false;
    }
    std::vector<double> fresh;
    try {
        fresh.assign(static_cast<size_t>(count), 0.0);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    phases.swap(fresh);
    toneCount = count;
    plan.hz = kNoPlan;
    livePhases = 0;
    knownLength = phases.size();
    return true;
}
