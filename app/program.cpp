#include "app/program.h"

#include <cstdlib>
#include <fstream>
#include <utility>

#include "app/device_notices.h"
#include "app/dialogue.h"
#include "engine/audio_module_container.h"
#include "engine/connections.h"

namespace {

constexpr int32_t kSinesOutput = 0;
constexpr int32_t kFrequencyInput = 0;
constexpr int32_t kAmplitudeInput = 1;

// The dialogue's lock: the container's, taken around each write into the tone source.
class ContainerLock : public ParameterLock {
  public:
    explicit ContainerLock(ILocker& locker) : locker(locker) {}
    void lock() override { locker.lock(); }
    void unlock() override { locker.unlock(); }

  private:
    ILocker& locker;
};

// For measurements (scripts/bench.sh): where the environment names a file in TONARIUM_STATS, the
// underruns that the device layer counted while the program played are written to it at the end,
// as the line "underruns N". Without the variable nothing is written.
void writePlaybackStats(const M_WaveOut& waveOut) {
    const char* path = std::getenv("TONARIUM_STATS");
    if (path == nullptr || *path == '\0') {
        return;
    }
    std::ofstream stats(path);
    stats << "underruns " << waveOut.underrunCount() << '\n';
}

}  // namespace

Program::Program(std::unique_ptr<WaveOutDevice> deviceLayer)
    : waveOut(kBufferCount, kBufferBytes, std::move(deviceLayer)) {}

void Program::wire() {
    connect(sines, kSinesOutput, "L", waveOut);
    connect(sines, kSinesOutput, "R", waveOut);
    add(add(container, sines), waveOut);
    container.prepare(true);
    // No lock: the playback thread does not exist yet.
    sines.setInputValue(kFrequencyInput, 0.0);
    sines.setInputValue(kAmplitudeInput, kAmplitude);
    container.reset();
}

int Program::run(std::istream& in, std::ostream& out) {
    waveOut.setEventHook(deviceNoticePrinter(out));
    waveOut.open(kMaxChannels);
    // The shared rate, not open's result, tells whether a device was opened: an open whose
    // playback thread did not start still holds a device and is reported.
    if (*waveOut.sampleRate == 0) {
        runFailureReport(in, out);
    } else {
        printDeviceReport(out, {waveOut.deviceChannels, waveOut.deviceRate, waveOut.deviceBits});
        ContainerLock lock(container);
        Dialogue(in, out, sines, lock, exitRequested).run();
    }
    waveOut.close();
    writePlaybackStats(waveOut);
    return 0;
}

void Program::onControlEvent() {
    exitRequested = true;
    waveOut.close();
}
