// How much of a PulseAudio stream has been heard, from the frames its clock has passed.
#pragma once

#include <cstdint>

// `clockFrames` is what the stream's clock has passed, `writtenFrames` what was written into the
// stream, `bufferFrames` one of the output module's buffers.
//
// A sink that ran with a long latency before the stream joined it (a null sink starts at two
// seconds) has rendered past everything written, and for a second or so the clock says more has
// been heard than was ever written. Until the writes catch up, a frame counts as heard once the
// server's steady fill (a buffer and a half) has been written after it, so that the audio ahead
// of the listener stays what it is in steady play rather than the module's whole queue more.
inline uint64_t pulseHeardFrames(uint64_t clockFrames, uint64_t writtenFrames,
                                 uint64_t bufferFrames) {
    if (clockFrames <= writtenFrames + bufferFrames) {
        return clockFrames;
    }
    const uint64_t steadyFill = 3 * bufferFrames / 2;
    return writtenFrames > steadyFill ? writtenFrames - steadyFill : 0;
}
