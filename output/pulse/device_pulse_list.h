// Whether a PulseAudio server (or PipeWire's pipewire-pulse) answers, and the sinks it offers.
// Both connect on a private main loop of their own and give up after about a second, so a stopped
// server never holds the caller; where no server runs, the connection fails at once.
#pragma once

#include <vector>

#include "output/device_factory.h"

bool pulseServerAnswers();

// The server's sinks, named "pulse:SINK" as --device takes them, with their descriptions; empty
// where no server answers.
std::vector<OutputDeviceInfo> listPulseSinks();
