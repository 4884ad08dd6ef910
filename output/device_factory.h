// The platform's device layers: the sound outputs (winmm on Windows; PipeWire, PulseAudio and
// ALSA on Linux) and the file device with the platform's file writer (libsndfile on Linux,
// winmm's RIFF functions on Windows). This is the one place that picks a layer.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "output/file/device_file.h"
#include "output/file/file_output.h"
#include "output/wave_device.h"

// The platform's default output: winmm's wave mapper on Windows; on Linux the sound server that
// answers, PipeWire first, then PulseAudio, else ALSA's "default" PCM (each where the build has
// its layer).
std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice();

// The output called `name`: on Linux "pipewire[:NODE]", "pulse[:SINK]", "alsa:PCM" or a bare
// ALSA PCM name; on Windows a wave-out device number; an empty name is the default output. Null for
// a name that cannot name an output on this platform (on Windows, anything but a device number).
// Whether the output exists shows at open.
std::unique_ptr<WaveOutDevice> makeWaveOutDevice(const std::string& name);

// One output that can play: the name that makeWaveOutDevice takes, and what the platform says of
// it (several lines on Linux, as ALSA's hints give them).
struct OutputDeviceInfo {
    std::string name;
    std::string description;
};

// The outputs the platform knows of: on Linux each answering server's sinks, then ALSA's PCM
// hints that can play (named "alsa:PCM"); on Windows every wave-out device with its number
// (names in code page 1251).
std::vector<OutputDeviceInfo> listOutputDevices();

// A file device writing `path`, of the kind its extension names (see fileKindOfPath). Paced:
// finished notices on the wall clock; unpaced: at once, and then durationSeconds is required.
// With a duration, exactly llround(seconds × the opened rate) frames are written. The file is
// created by the device's open, not here. Throws std::invalid_argument for a path whose
// extension this platform does not write and for the arguments FileWaveOutDevice refuses.
std::unique_ptr<FileWaveOutDevice> makeFileWaveOutDevice(const std::string& path, FilePacing pacing,
                                                         std::optional<double> durationSeconds);

// The file kinds this platform's writer makes, in the order a usage message lists them.
std::vector<FileKind> writableFileKinds();
