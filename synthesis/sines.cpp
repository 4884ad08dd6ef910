#include "synthesis/sines.h"

M_Sines::M_Sines(int32_t toneCount) : AudioModule(2, 1) {
    name = "синусы";
    inputNames[0] = "частота";
    inputNames[1] = "амплитуда";
    outputNames[0] = "выход";
    setToneCount(toneCount);
}

void M_Sines::reset() {}

void M_Sines::process() {}

bool M_Sines::setToneCount(int32_t count) {
    phases.assign(static_cast<size_t>(count > 0 ? count : 0), 0.0);
    toneCount = count;
    return true;
}
