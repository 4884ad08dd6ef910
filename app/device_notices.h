// The lines the program prints when the sound output is lost while it plays and when it is back,
// and the hook that prints them for the output module.
//
// Threads: the hook runs on the output module's playback thread, while the main thread may be
// in the dialogue. Both write their lines under screenMutex(), so that a line and its colours
// are never mixed with another; the main thread is almost always waiting for input then, so the
// line lands after the question on screen.
#pragma once

#include <functional>
#include <iosfwd>
#include <mutex>

#include "output/wave_out.h"

// Held while a line and its colour changes are written to the program's screen by a thread that
// may run alongside another writer.
std::mutex& screenMutex();

// Writes the line for `event`: a red error line for a loss, a green line for the return.
void printDeviceNotice(std::ostream& out, WaveOutEvent event);

// A hook for M_WaveOut::setEventHook that prints each event's line to `out` (which must outlive
// the module's playback).
std::function<void(WaveOutEvent)> deviceNoticePrinter(std::ostream& out);
