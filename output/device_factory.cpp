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
#include "output/alsa/device_alsa.h"
#include "output/alsa/device_alsa_list.h"
#include "output/file/device_sndfile.h"

std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice() {
    return std::make_unique<AlsaWaveOutDevice>();
}

std::unique_ptr<WaveOutDevice> makeWaveOutDevice(const std::string& name) {
    return name.empty() ? makeDefaultWaveOutDevice() : std::make_unique<AlsaWaveOutDevice>(name);
}

std::vector<OutputDeviceInfo> listOutputDevices() {
    return listAlsaOutputDevices();
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
