#include "output/device_factory.h"

#include <stdexcept>

#if defined(_WIN32)
#include "output/device_mmio.h"
#include "output/device_winmm.h"
std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice() {
    return std::make_unique<WinmmWaveOutDevice>();
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
#include "output/device_alsa.h"
#include "output/device_sndfile.h"
std::unique_ptr<WaveOutDevice> makeDefaultWaveOutDevice() {
    return std::make_unique<AlsaWaveOutDevice>();
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
