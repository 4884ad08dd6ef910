// The speaker test's console side: as each channel's turn begins, one line with the channel's
// number, the Russian name of the speaker it plays on and that speaker's code, e.g.
// "1 Передний левый (FL)". The names come from the device's own channel map where it states one,
// so that the speaker named is the speaker that sounds; where it states none the program says so
// once and names the channels by the layout.
//
// The walk ends when it has played out (a walk of set loops), when the input ends, or when a
// console control event asks for the end.
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <vector>

#include "output/file/device_file.h"
#include "output/wave_out.h"
#include "synthesis/channel_walk.h"

// The line of one channel: its number from 1, the speaker's name and code.
void printChannelLine(std::ostream& out, int32_t channel, uint32_t speakerBit);

// The speaker of each channel of the open output: the device's map, or the layout's where the
// device states none (`fromDevice` then false).
std::vector<uint32_t> channelSpeakersOf(const M_WaveOut& waveOut, bool& fromDevice);

struct SpeakerTestRun {
    const M_ChannelWalk& walk;
    M_WaveOut& waveOut;
    FileWaveOutDevice* file;  // the file played into, or null
    bool endless;             // walks until stopped
    const std::atomic<bool>& exitRequested;
};

// Prints the channels' lines while the walk plays; the exit status (1 with its line on `err`
// when the output was lost or a file is incomplete).
int runSpeakerTest(const SpeakerTestRun& run, std::istream& in, std::ostream& out,
                   std::ostream& err);
