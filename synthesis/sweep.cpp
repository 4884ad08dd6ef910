#include "synthesis/sweep.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

bool positiveFinite(double value) {
    return std::isfinite(value) && value > 0.0;
}

}  // namespace

M_Sweep::M_Sweep(double fromHz, double toHz, double seconds, SweepLaw law)
    : AudioModule(0, 1), fromHz(fromHz), toHz(toHz), seconds(seconds), law(law) {
    if (!positiveFinite(fromHz) || !positiveFinite(toHz) || !positiveFinite(seconds)) {
        throw std::invalid_argument("a sweep needs positive finite frequencies and time");
    }
    name = "качание";
    outputNames[kOutput] = "частота";
}

double M_Sweep::frequencyAt(double at) const {
    const double x = std::clamp(at / seconds, 0.0, 1.0);
    return law == SweepLaw::Exponential ? fromHz * std::pow(toHz / fromHz, x)
                                        : fromHz + (toHz - fromHz) * x;
}

void M_Sweep::plan() {
    plannedRateHz = *sampleRate;
    totalFrames = std::max<int64_t>(1, std::llround(seconds * plannedRateHz));
    ratioPerFrame = std::pow(toHz / fromHz, 1.0 / static_cast<double>(totalFrames));
    stepPerFrame = (toHz - fromHz) / static_cast<double>(totalFrames);
}

void M_Sweep::reset() {
    AudioModule::reset();
    frame = 0;
    plannedRateHz = 0;
}

void M_Sweep::process() {
    if (*sampleRate != plannedRateHz) {
        plan();
        current = frequencyAt(static_cast<double>(frame) / plannedRateHz);
    }
    if (frame >= totalFrames) {
        outputs[kOutput].value = toHz;
        return;
    }
    if (law == SweepLaw::Linear) {
        current = fromHz + stepPerFrame * static_cast<double>(frame);
    } else if (frame % kExactEvery == 0) {
        current = fromHz * std::pow(toHz / fromHz,
                                    static_cast<double>(frame) / static_cast<double>(totalFrames));
    }
    outputs[kOutput].value = current;
    current *= ratioPerFrame;
    ++frame;
}
