#include "app/speaker_test.h"

#include <mutex>
#include <ostream>

#include "app/console.h"
#include "app/device_notices.h"
#include "app/dialogue.h"
#include "app/input_end.h"
#include "app/options.h"
#include "output/speakers.h"

namespace {

// How often the console side looks at the walk.
constexpr std::chrono::milliseconds kLookInterval{20};

}  // namespace

void printChannelLine(std::ostream& out, int32_t channel, uint32_t speakerBit) {
    const Speaker* speaker = speakerOfBit(speakerBit);
    std::lock_guard screen(screenMutex());
    out << fgWhite << channel + 1 << ' ' << fgCyan
        << (speaker != nullptr ? speaker->name : std::string_view("Неизвестный")) << fgGray << " ("
        << (speaker != nullptr ? speaker->code : std::string_view("?")) << ")" << '\n'
        << std::flush;
}

std::vector<uint32_t> channelSpeakersOf(const M_WaveOut& waveOut, bool& fromDevice) {
    std::vector<uint32_t> speakers =
        waveOut.device != nullptr ? waveOut.device->channelSpeakers() : std::vector<uint32_t>{};
    fromDevice = speakers.size() == static_cast<size_t>(waveOut.deviceChannels);
    if (!fromDevice) {
        speakers = speakerBitsOfMask(waveOut.format.dwChannelMask);
    }
    return speakers;
}

int runSpeakerTest(const SpeakerTestRun& run, std::istream& in, std::ostream& out,
                   std::ostream& err) {
    bool fromDevice = false;
    const std::vector<uint32_t> speakers = channelSpeakersOf(run.waveOut, fromDevice);
    if (!fromDevice && run.file == nullptr) {
        std::lock_guard screen(screenMutex());
        out << fgGray
            << "Устройство не сообщает, какой канал в какой колонке: каналы названы по "
               "раскладке."
            << '\n'
            << std::flush;
    }
    InputEndWatcher input(in);
    if (!input.start()) {
        printError(err, "Не удаётся запустить поток чтения ввода.");
        return kExitFailure;
    }
    const std::vector<int32_t>& channels = run.walk.channels();
    int64_t printed = 0;
    const auto printNewLines = [&] {
        for (const int64_t started = run.walk.stepsStarted(); printed < started; ++printed) {
            const int32_t channel =
                channels[static_cast<size_t>(printed % static_cast<int64_t>(channels.size()))];
            // The channels were checked against the layout, which the output opened.
            printChannelLine(out, channel, speakers[static_cast<size_t>(channel)]);
        }
    };
    for (;;) {
        printNewLines();
        if (run.exitRequested || input.waitForEnd(kLookInterval)) {
            return kExitSuccess;
        }
        if (run.endless) {
            continue;
        }
        const bool over = run.file != nullptr
                              ? run.file->waitUntilComplete(std::chrono::milliseconds(0))
                              : run.waveOut.waitUntilPlayedOut(std::chrono::milliseconds(0));
        if (over || run.waveOut.deviceLostSinceOpen()) {
            break;
        }
    }
    printNewLines();
    if (run.waveOut.deviceLostSinceOpen()) {
        printError(err, "Связь с устройством вывода звука потеряна.");
        return kExitFailure;
    }
    return kExitSuccess;
}
