// Whether a PipeWire server answers, and its sinks: short-lived connections of their own, each
// run on the calling thread with a time limit (no thread, no loop left behind).
#pragma once

#include <vector>

#include "output/device_factory.h"

// Calls pw_init once per process and keeps the library quiet (nothing is logged unless
// PIPEWIRE_DEBUG asks for it). Every entry into libpipewire calls it first.
void initPipewireOnce();

// True when the server's socket exists and the server answers a round trip within about a
// second. Where there is no socket (no PipeWire on the machine, or a plain PulseAudio server),
// false at once without loading the library's configuration.
bool pipewireServerAnswers();

// The server's sinks (nodes of media class Audio/Sink) as "pipewire:NODE" with their
// descriptions, in the registry's order; empty when the server does not answer in time.
std::vector<OutputDeviceInfo> listPipewireSinks();
