// The program tonarium: an interactive console tone player, and with options a command-line
// tool (a set start, a chosen output or a sound file, a scripted run of a set duration, the list
// of outputs).
//
// The console of standard output is built before main. main reads the command line; help,
// version, a usage error and the list of outputs end the program at once. Otherwise it builds
// the program's audio objects for the chosen output, installs the console control handler,
// selects the texts' locale, sets the window title, wires the modules and hands over to
// Program::run, which opens the device and runs the dialogue or the scripted run. Its exits close
// the device and return the status; a console control event closes the device on the handler's
// thread and lets the platform end the process.
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "app/console.h"
#include "app/control_events.h"
#include "app/dialogue.h"
#include "app/options.h"
#include "app/program.h"
#include "app/standard_descriptors.h"
#include "output/device_factory.h"

namespace {

Console consoleOut(makePlatformConsoleEffect(std::cout));

// Each output's name on a line of its own, then its description indented, as ALSA's tools list
// them.
int listDevices(std::ostream& out) {
    for (const OutputDeviceInfo& device : listOutputDevices()) {
        out << device.name << '\n';
        std::string line;
        for (char c : device.description + '\n') {
            if (c == '\n') {
                if (!line.empty()) {
                    out << "    " << line << '\n';
                }
                line.clear();
            } else {
                line += c;
            }
        }
    }
    out << std::flush;
    return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    openMissingStandardDescriptors();
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.exitStatus) {
        (*commandLine.exitStatus == kExitSuccess ? std::cout : std::cerr)
            << commandLine.text << std::flush;
        return *commandLine.exitStatus;
    }
    const Options& options = commandLine.options;
    if (options.listDevices) {
        return listDevices(std::cout);
    }
    std::unique_ptr<WaveOutDevice> deviceLayer;
    FileWaveOutDevice* file = nullptr;
    if (!options.outputPath.empty()) {
        const std::optional<double> seconds = playSeconds(options);
        auto fileLayer = makeFileWaveOutDevice(
            options.outputPath, seconds ? FilePacing::Unpaced : FilePacing::Paced, seconds);
        file = fileLayer.get();
        deviceLayer = std::move(fileLayer);
    } else {
        deviceLayer = makeWaveOutDevice(options.deviceName);
    }
    if (deviceLayer == nullptr) {
        std::cerr << "Ошибка: недопустимое значение «" << options.deviceName
                  << "» параметра --device: нужно имя или номер устройства из списка -l. Справка: "
                     "tonarium --help\n";
        return kExitUsage;
    }

    Program program(std::move(deviceLayer), options, file);
    program.showProgress = !options.quiet && standardErrorIsTerminal();
    // Made after the program and so destroyed before it: the listener thread has ended before
    // the program's objects are destroyed. A file that the way out cannot finish in time is
    // left as it is, and said so.
    const std::string lateNotice =
        options.outputPath.empty()
            ? std::string()
            : "Ошибка: Файл «" + options.outputPath + "» не удалось завершить вовремя.\n";
    std::optional<ControlEvents> controlEvents;
    try {
        controlEvents.emplace(
            [&program] {
                program.onControlEvent();
                consoleOut.restore();
            },
            lateNotice);
    } catch (const std::runtime_error&) {
        printError(std::cerr, "Не удаётся запустить поток обработки сигналов.");
        return kExitFailure;
    }
    selectTextLocale();
    consoleOut.setConsoleTitle("Tonarium");
    consoleOut.attach(std::cout);
    program.wire();
    const int status = program.run(std::cin, std::cout, std::cerr);
    consoleOut.restore();
    return status;
}
