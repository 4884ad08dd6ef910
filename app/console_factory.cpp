// Picks the platform's console: console attributes and code page 1251 on Windows, escape
// sequences and UTF-8 texts on a POSIX terminal.
#include "app/console.h"

#if defined(_WIN32)
#include "app/console_windows.h"

std::unique_ptr<ConsoleEffect> makePlatformConsoleEffect(std::ostream&) {
    return std::make_unique<WindowsConsoleEffect>();
}

void selectTextLocale() {
    WindowsConsoleEffect::selectRussianText();
}
#else
#include <unistd.h>

#include "app/console_posix.h"

std::unique_ptr<ConsoleEffect> makePlatformConsoleEffect(std::ostream& stream) {
    return std::make_unique<AnsiConsoleEffect>(stream, STDOUT_FILENO);
}

// The texts are UTF-8 byte strings written as they are; no locale changes them.
void selectTextLocale() {}
#endif
