#include "output/device_factory.h"

#include <stdexcept>

#if defined(_WIN32)
#include <charconv>

#include "output/file/device_mmio.h"
#include "output/winmm/device_winmm.h"
#include "output/winmm/device_winmm_list.h"

std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice() {
    return std::make_unique<WinmmWaveOutDevice>();
}

std::unique_ptr<WaveOutDevice> makeWaveOutDevice(const std::string& name) {
    if (name.empty()) {
        return makeDefaultWaveOutDevice();
    }
    uint32_t id = 0;
    const char* end = name.data() + name.size();
    const auto [stop, error] = std::from_chars(name.data(), end, id);
    if (error != std::errc() || stop != end) {
        return nullptr;
    }
    return std::make_unique<WinmmWaveOutDevice>(id);
}

std::vector<OutputDeviceInfo> listOutputDevices() {
    return listWinmmOutputDevices();
}

std::vector<FileKind> writableFileKinds() {
    return {FileKind::Wav};
}
namespace {
std::unique_ptr<FileWriter> makeFileWriter(FileKind) {
    return std::make_unique<MmioWriter>();
}
}  // namespace
#else
#include <string_view>

#include "output/alsa/device_alsa.h"
#include "output/alsa/device_alsa_list.h"
#include "output/file/device_sndfile.h"
#if defined(TONARIUM_HAVE_PIPEWIRE)
#include "output/pipewire/device_pipewire.h"
#include "output/pipewire/device_pipewire_list.h"
#endif
#if defined(TONARIUM_HAVE_PULSE)
#include "output/pulse/device_pulse.h"
#include "output/pulse/device_pulse_list.h"
#endif

namespace {

// For "PREFIX" and "PREFIX:REST": REST (empty for the bare prefix); nothing for other names.
std::optional<std::string> nameAfter(std::string_view prefix, const std::string& name) {
    if (name == prefix) {
        return std::string();
    }
    if (name.size() > prefix.size() + 1 && name.compare(0, prefix.size(), prefix) == 0 &&
        name[prefix.size()] == ':') {
        return name.substr(prefix.size() + 1);
    }
    return std::nullopt;
}

}  // namespace

// The sound server that answers, PipeWire first (it also serves PulseAudio's clients, through
// another layer and another thread), then PulseAudio; ALSA's default where neither runs. Each
// probe costs a few milliseconds and fails at once where its server has no socket.
std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice() {
#if defined(TONARIUM_HAVE_PIPEWIRE)
    if (pipewireServerAnswers()) {
        return std::make_unique<PipewireWaveOutDevice>();
    }
#endif
#if defined(TONARIUM_HAVE_PULSE)
    if (pulseServerAnswers()) {
        return std::make_unique<PulseWaveOutDevice>();
    }
#endif
    return std::make_unique<AlsaWaveOutDevice>();
}

std::unique_ptr<WaveOutDevice> makeWaveOutDevice(const std::string& name) {
    if (name.empty()) {
        return makeDefaultWaveOutDevice();
    }
#if defined(TONARIUM_HAVE_PIPEWIRE)
    if (const std::optional<std::string> node = nameAfter("pipewire", name)) {
        return std::make_unique<PipewireWaveOutDevice>(*node);
    }
#endif
#if defined(TONARIUM_HAVE_PULSE)
    if (const std::optional<std::string> sink = nameAfter("pulse", name)) {
        return std::make_unique<PulseWaveOutDevice>(*sink);
    }
#endif
    if (const std::optional<std::string> pcm = nameAfter("alsa", name)) {
        return std::make_unique<AlsaWaveOutDevice>(pcm->empty() ? "default" : *pcm);
    }
    if (name.find(':') != std::string::npos &&
        (nameAfter("pipewire", name) || nameAfter("pulse", name))) {
        return nullptr;  // a server's output, in a build without that server's layer
    }
    // A bare name is an ALSA PCM, as it always was ("pulse" and "pipewire" too where the build
    // has no layer of their own).
    return std::make_unique<AlsaWaveOutDevice>(name);
}

std::vector<OutputDeviceInfo> listOutputDevices() {
    std::vector<OutputDeviceInfo> devices;
#if defined(TONARIUM_HAVE_PIPEWIRE)
    if (pipewireServerAnswers()) {
        devices = listPipewireSinks();
    }
#endif
#if defined(TONARIUM_HAVE_PULSE)
    if (pulseServerAnswers()) {
        std::vector<OutputDeviceInfo> sinks = listPulseSinks();
        devices.insert(devices.end(), sinks.begin(), sinks.end());
    }
#endif
    std::vector<OutputDeviceInfo> pcms = listAlsaOutputDevices();
    for (OutputDeviceInfo& pcm : pcms) {
        pcm.name = "alsa:" + pcm.name;
    }
    devices.insert(devices.end(), pcms.begin(), pcms.end());
    return devices;
}

std::vector<FileKind> writableFileKinds() {
    return {FileKind::Wav, FileKind::Flac, FileKind::Aiff,
            FileKind::Caf, FileKind::W64,  FileKind::Rf64};
}
namespace {
std::unique_ptr<FileWriter> makeFileWriter(FileKind kind) {
    return std::make_unique<SndfileWriter>(kind);
}
}  // namespace
#endif

std::unique_ptr<FileWaveOutDevice> makeFileWaveOutDevice(const std::string& path, FilePacing pacing,
                                                         std::optional<double> durationSeconds) {
    const std::optional<FileKind> kind = fileKindOfPath(path);
    if (!kind) {
        throw std::invalid_argument("not a file kind this platform writes: " + path);
    }
    return std::make_unique<FileWaveOutDevice>(path, makeFileWriter(*kind), pacing,
                                               durationSeconds);
}
