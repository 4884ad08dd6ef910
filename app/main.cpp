// The program tonarium: an interactive console tone player.
//
// The program-wide objects are built before main in this order: the console of standard output,
// then the container, the tone source and the output module (inside `program`); they are
// destroyed in the reverse order after main returns. main installs the console control handler,
// selects the texts' locale, sets the window title, wires the modules and hands over to
// Program::run, which opens the device and runs the dialogue. Its two returning exits (no
// device; end of the dialogue) close the device and return 0; the third exit, a console control
// event, closes the device on the handler's thread and lets the platform end the process.
#include <iostream>

#include "app/console.h"
#include "app/control_events.h"
#include "app/program.h"
#include "app/standard_descriptors.h"

namespace {

Console consoleOut(makePlatformConsoleEffect(std::cout));
Program program;

}  // namespace

int main() {
    openMissingStandardDescriptors();
    // A local: the listener thread ends before main returns, so it never reaches the
    // program-wide objects while they are destroyed.
    ControlEvents controlEvents([] {
        program.onControlEvent();
        consoleOut.restore();
    });
    selectTextLocale();
    consoleOut.setConsoleTitle("Tonarium");
    consoleOut.attach(std::cout);
    program.wire();
    const int status = program.run(std::cin, std::cout);
    consoleOut.restore();
    return status;
}
