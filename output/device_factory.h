// The platform's device layers: the default wave-out device (winmm's wave mapper on Windows,
// ALSA's "default" PCM elsewhere), and the file device with the platform's file writer
// (libsndfile on Linux, winmm's RIFF functions on Windows).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "output/device_file.h"
#include "output/file_output.h"
#include "output/wave_device.h"

std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice();

// A file device writing `path`, of the kind its extension names (see fileKindOfPath). Paced:
// finished notices on the wall clock; unpaced: at once, and then durationSeconds is required.
// With a duration, exactly llround(seconds × the opened rate) frames are written. The file is
// created by the device's open, not here. Throws std::invalid_argument for a path whose
// extension this platform does not write and for the arguments FileWaveOutDevice refuses.
std::unique_ptr<FileWaveOutDevice> makeFileWaveOutDevice(const std::string& path, FilePacing pacing,
                                                         std::optional<double> durationSeconds);

// The file kinds this platform's writer makes, in the order a usage message lists them.
std::vector<FileKind> writableFileKinds();
