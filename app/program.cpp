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
#include "app/render_progress.h"
#include "app/speaker_test.h"
#include "app/tone_changes.h"
#include "engine/audio_module_container.h"
#include "engine/connections.h"

namespace {

constexpr int32_t kSinesOutput = 0;
constexpr int32_t kSourceOutput = 0;  // of the signal and of the fader alike

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
    return {options.channels, options.bits, options.rateHz, options.sideSurround};
}

}  // namespace

Program::Program(std::unique_ptr<WaveOutDevice> deviceLayer, Options options,
                 FileWaveOutDevice* file)
    : signal(options, sines),
      ramp(options.smoothMs ? std::make_unique<M_GainRamp>(*options.smoothMs, 0.0) : nullptr),
      walk(options.speakerTest ? std::make_unique<M_ChannelWalk>() : nullptr),
      waveOut(kBufferCount, kBufferDuration, std::move(deviceLayer)),
      options(std::move(options)),
      file(file) {}

void Program::wire() {
    // The signal, faded where changes are smooth, feeds the channels that sound, or the walk
    // that takes it from channel to channel.
    AudioModule* source = &signal.output();
    signal.addTo(container);
    if (ramp) {
        connect(*source, kSourceOutput, M_GainRamp::kSignalInput, *ramp);
        add(container, *ramp);
        source = ramp.get();
    }
    if (walk) {
        connect(*source, kSourceOutput, M_ChannelWalk::kSignalInput, *walk);
        add(container, *walk);
        for (int32_t channel = 0; channel < M_ChannelWalk::kMaxChannels; ++channel) {
            connect(*walk, channel, channel, waveOut);
        }
    } else {
        for (int32_t channel : soundingChannels(options)) {
            connect(*source, kSourceOutput, channel, waveOut);
        }
    }
    add(container, waveOut);
    container.prepare(true);
    // No lock: the playback thread does not exist yet.
    if (walk) {
        walk->configure(soundingChannels(options), options.stepSeconds, kSpeakerTestGapSeconds,
                        options.loops);
    }
    signal.start();
    container.reset();
    if (ramp && (options.frequencyHz || options.signal.playsWithoutFrequency())) {
        // Playing from the start: faded in from silence, and out at the end of a timed run.
        ramp->setTargetGain(1.0);
        if (const std::optional<double> seconds = playSeconds(options)) {
            ramp->fadeOutAfter(*seconds);
        }
    }
}

int Program::run(std::istream& in, std::ostream& out) {
    return run(in, out, std::cerr);
}

int Program::run(std::istream& in, std::ostream& out, std::ostream& err) {
    const std::optional<double> seconds = playSeconds(options);
    if (seconds) {
        waveOut.limitPlayback(*seconds);
    }
    // The dialogue tells of a lost device and of its return; a timed run ends instead.
    DeviceNoticeRelay notices(out);
    if (!seconds) {
        if (!notices.start()) {
            return reportNoThread(
                "Не удаётся запустить поток сообщений об устройстве вывода звука.", in, out, err);
        }
        waveOut.setEventHook(notices.hook());
    }
    waveOut.describeStream(signal.streamName(startToneCount(), startHz()));
    const bool opened =
        waveOut.open(options.channels.value_or(kMaxChannels), formatFilterOf(options));
    int status = kExitSuccess;
    if (!opened && waveOut.threadFailed()) {
        status = reportNoThread("Не удаётся запустить поток воспроизведения звука.", in, out, err);
    } else if (!opened && reportFileError(err)) {
        status = kExitFailure;
    } else if (walk && opened) {
        if (!options.quiet) {
            printReport(out);
        }
        status = runSpeakerTest({*walk, waveOut, file, !seconds, exitRequested}, in, out, err);
    } else if (seconds) {
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
        smooth.emplace(tones, *ramp, lock,
                       smoothTiming(ramp->rampMs, waveOut.bufferCount, waveOut.bufferFrames,
                                    waveOut.deviceRate));
    }
    NamedToneChanges changes(
        smooth ? static_cast<ToneChanges&>(*smooth) : direct, startToneCount(), startHz(),
        [this](int32_t count, double hz) { waveOut.describeStream(signal.streamName(count, hz)); });
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
        return waitForFile(err);
    }
    if (!waveOut.waitUntilPlayedOut(limit)) {
        printError(err, waveOut.deviceLostSinceOpen()
                            ? "Связь с устройством вывода звука потеряна."
                            : "Устройство вывода звука не воспроизводит звук.");
        return kExitFailure;
    }
    return kExitSuccess;
}

int Program::waitForFile(std::ostream& err) {
    // Written as fast as it can be, however long that takes; a failure ends it early, and the
    // close reports it.
    const auto total =
        static_cast<uint64_t>(std::llround(*playSeconds(options) * waveOut.deviceRate));
    {
        RenderProgress progress(err, showProgress, total);
        while (!file->waitUntilComplete(RenderProgress::kInterval)) {
            progress.update(file->framesWritten());
        }
    }
    if (file->error() == FileOutputError::None && file->framesWritten() != total) {
        const std::string message = "Файл «" + options.outputPath + "» записан не полностью.";
        printError(err, message.c_str());
        return kExitFailure;
    }
    return kExitSuccess;
}

int Program::reportNoThread(const char* message, std::istream& in, std::ostream& out,
                            std::ostream& err) {
    // Where the run's other failures go: a timed run's to the error stream, the dialogue's to
    // its screen, where the program started without arguments then waits for a key, so that its
    // window stays open.
    printError(playSeconds(options) ? err : out, message);
    if (!options.anyGiven) {
        waitForAnyKey(in, out);
    }
    return kExitFailure;
}

int32_t Program::startToneCount() const {
    return options.toneCount.value_or(kStartToneCount);
}

double Program::startHz() const {
    return options.frequencyHz.value_or(0.0);
}

void Program::printReport(std::ostream& out) {
    const DeviceFormat format{waveOut.deviceChannels, waveOut.deviceRate, waveOut.deviceBits};
    if (file != nullptr) {
        printFileReport(out, options.outputPath, format);
    } else {
        const auto serverRate = static_cast<int32_t>(waveOut.serverRateHz());
        printDeviceReport(out, format, waveOut.outputName(),
                          serverRate != waveOut.deviceRate ? serverRate : 0);
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
