#include "app/program.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "app/device_notices.h"
#include "app/dialogue.h"
#include "app/tone_changes.h"
#include "engine/audio_module_container.h"
#include "engine/connections.h"

namespace {

constexpr int32_t kSinesOutput = 0;

// How long a scripted run waits, beyond its own duration, for the device to play it out: a sound
// server may hold a new stream back for a second or two before it starts.
constexpr std::chrono::seconds kPlayOutGrace{10};

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

FormatFilter formatFilterOf(const Options& options) {
    return {options.channels, options.bits, options.rateHz};
}

}  // namespace

Program::Program(std::unique_ptr<WaveOutDevice> deviceLayer, Options options,
                 FileWaveOutDevice* file)
    : signal(options, sines),
      ramp(options.smoothMs ? std::make_unique<M_GainRamp>(*options.smoothMs, 0.0) : nullptr),
      waveOut(kBufferCount, kBufferBytes, std::move(deviceLayer)),
      options(std::move(options)),
      file(file) {}

void Program::wire() {
    AudioModule& source = signal.output();
    if (ramp) {
        connect(source, kSinesOutput, M_GainRamp::kSignalInput, *ramp);
        connect(*ramp, M_GainRamp::kOutput, "L", waveOut);
        connect(*ramp, M_GainRamp::kOutput, "R", waveOut);
        add(add(signal.addTo(container), *ramp), waveOut);
    } else {
        connect(source, kSinesOutput, "L", waveOut);
        connect(source, kSinesOutput, "R", waveOut);
        add(signal.addTo(container), waveOut);
    }
    container.prepare(true);
    // No lock: the playback thread does not exist yet.
    signal.start();
    container.reset();
    if (ramp && (options.frequencyHz || options.signal.playsWithoutFrequency())) {
        // Playing from the start: faded in from silence, and out at the end of a timed run.
        ramp->setTargetGain(1.0);
        if (options.durationSeconds) {
            ramp->fadeOutAfter(*options.durationSeconds);
        }
    }
}

int Program::run(std::istream& in, std::ostream& out) {
    return run(in, out, std::cerr);
}

int Program::run(std::istream& in, std::ostream& out, std::ostream& err) {
    if (options.durationSeconds) {
        waveOut.limitPlayback(*options.durationSeconds);
    }
    // The dialogue tells of a lost device and of its return; a timed run ends instead.
    if (!options.durationSeconds) {
        waveOut.setEventHook(deviceNoticePrinter(out));
    }
    const bool opened =
        waveOut.open(options.channels.value_or(kMaxChannels), formatFilterOf(options));
    int status = kExitSuccess;
    if (!opened && reportFileError(err)) {
        status = kExitFailure;
    } else if (options.durationSeconds) {
        status = opened ? runScripted(out, err) : kExitFailure;
        if (!opened) {
            printError(err, "Подходящее устройство вывода звука не найдено.");
        }
    } else if (opened) {
        status = runDialogue(in, out);
    } else {
        runFailureReport(in, out);
        // The program started without arguments ends with 0 on every path, as it always has.
        status = options.anyGiven ? kExitFailure : kExitSuccess;
    }
    waveOut.close();
    if (opened && reportFileError(err)) {
        status = kExitFailure;
    }
    writePlaybackStats(waveOut);
    return status;
}

int Program::runDialogue(std::istream& in, std::ostream& out) {
    if (!options.quiet) {
        printReport(out);
        if (!signal.isNoise()) {
            printHint(out);
        }
    }
    ContainerLock lock(container);
    M_Sines& tones = signal.toneSource();
    DirectToneChanges direct(tones, lock);
    std::optional<SmoothToneChanges> smooth;
    if (ramp) {
        const int32_t frameBytes = waveOut.deviceChannels * waveOut.deviceBits / 8;
        smooth.emplace(tones, *ramp, lock,
                       smoothTiming(ramp->rampMs, waveOut.bufferCount,
                                    waveOut.bufferBytes / frameBytes, waveOut.deviceRate));
    }
    ToneChanges& changes = smooth ? static_cast<ToneChanges&>(*smooth) : direct;
    if (signal.isNoise()) {
        // A noise has no pitch to ask for: it plays until the end of the input or a signal.
        in.ignore(std::numeric_limits<std::streamsize>::max());
    } else {
        Dialogue(in, out, changes, exitRequested).run();
    }
    // An interrupt silences at once; a normal end fades out first.
    if (!exitRequested) {
        changes.fadeOut();
    }
    return kExitSuccess;
}

int Program::runScripted(std::ostream& out, std::ostream& err) {
    if (!options.quiet) {
        printReport(out);
    }
    const auto duration = std::chrono::duration<double>(*options.durationSeconds);
    const auto limit = std::chrono::ceil<std::chrono::milliseconds>(duration) + kPlayOutGrace;
    if (file != nullptr) {
        // A file is written as fast as it can be, and ends early on a failure, which the close
        // reports.
        file->waitUntilComplete(limit);
        return kExitSuccess;
    }
    if (!waveOut.waitUntilPlayedOut(limit)) {
        printError(err, waveOut.deviceLostSinceOpen()
                            ? "Связь с устройством вывода звука потеряна."
                            : "Устройство вывода звука не воспроизводит звук.");
        return kExitFailure;
    }
    return kExitSuccess;
}

void Program::printReport(std::ostream& out) {
    const DeviceFormat format{waveOut.deviceChannels, waveOut.deviceRate, waveOut.deviceBits};
    if (file != nullptr) {
        printFileReport(out, options.outputPath, format);
    } else {
        printDeviceReport(out, format);
    }
    if (options.signal.anyGiven) {
        out << signal.reportLine(waveOut.deviceRate);
    }
}

bool Program::reportFileError(std::ostream& err) {
    if (file == nullptr || file->error() == FileOutputError::None) {
        return false;
    }
    const std::string message = [this] {
        switch (file->error()) {
            case FileOutputError::CannotCreate:
                return "Не удаётся создать файл «" + options.outputPath + "».";
            case FileOutputError::TooLarge:
                return "Файл «" + options.outputPath + "» достиг наибольшего размера.";
            default:
                return "Не удаётся записать файл «" + options.outputPath + "».";
        }
    }();
    printError(err, message.c_str());
    return true;
}

void Program::onControlEvent() {
    exitRequested = true;
    waveOut.close();
}
