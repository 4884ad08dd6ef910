#include "app/console_posix.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

extern char** environ;

namespace {

constexpr int kAnsiForeground = 30;
constexpr int kAnsiBrightForeground = 90;
constexpr int kAnsiBackground = 40;
constexpr int kAnsiBrightBackground = 100;

constexpr uint16_t kBlueBit = 1;
constexpr uint16_t kGreenBit = 2;
constexpr uint16_t kRedBit = 4;
constexpr uint16_t kIntensityBit = 8;

// The ANSI colour code of one 4-bit console colour, from the normal or the bright base.
int ansiColour(uint16_t colour, int normalBase, int brightBase) {
    const int ansi = ((colour & kRedBit) != 0 ? 1 : 0) | ((colour & kGreenBit) != 0 ? 2 : 0) |
                     ((colour & kBlueBit) != 0 ? 4 : 0);
    return ((colour & kIntensityBit) != 0 ? brightBase : normalBase) + ansi;
}

// NO_COLOR set and not empty, or a terminal that does not say what it is or says it is dumb.
bool coloursDisabledByEnvironment() {
    const char* noColour = std::getenv("NO_COLOR");
    if (noColour != nullptr && noColour[0] != '\0') {
        return true;
    }
    const char* terminalType = std::getenv("TERM");
    return terminalType == nullptr || terminalType[0] == '\0' ||
           std::strcmp(terminalType, "dumb") == 0;
}

// The longest answer read from a file chooser; a path that does not fit the caller's buffer is
// refused anyway.
constexpr size_t kChooserOutputLimit = 1 << 16;

enum class ChooserResult { NotInstalled, Cancelled, Chosen };

// Runs one chooser with its standard output into a pipe and takes the first line it prints.
ChooserResult runChooser(const char* const argv[], char* path) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        return ChooserResult::NotInstalled;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    pid_t child = 0;
    const int spawned =
        posix_spawnp(&child, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return ChooserResult::NotInstalled;
    }

    std::string answer;
    char chunk[512];
    for (;;) {
        const ssize_t got = read(pipeFds[0], chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        if (answer.size() < kChooserOutputLimit) {
            answer.append(chunk, static_cast<size_t>(got));
        }
    }
    close(pipeFds[0]);

    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    constexpr int kCommandNotFound = 127;
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCommandNotFound) {
        return ChooserResult::NotInstalled;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return ChooserResult::Cancelled;
    }
    const size_t lineEnd = answer.find('\n');
    if (lineEnd != std::string::npos) {
        answer.resize(lineEnd);
    }
    if (answer.empty() || answer.size() >= static_cast<size_t>(kAudioPathBytes)) {
        return ChooserResult::Cancelled;
    }
    std::memcpy(path, answer.c_str(), answer.size() + 1);
    return ChooserResult::Chosen;
}

}  // namespace

AnsiConsoleEffect::AnsiConsoleEffect(std::ostream& stream, int fd)
    : stream(stream),
      fd(fd),
      terminal(isatty(fd) == 1),
      colours(terminal && !coloursDisabledByEnvironment()) {}

void AnsiConsoleEffect::applyAttribute(uint16_t attribute) {
    if (!colours) {
        return;
    }
    const auto foreground = static_cast<uint16_t>(attribute & 0xF);
    const auto background = static_cast<uint16_t>((attribute >> 4) & 0xF);
    stream << "\x1b[" << ansiColour(foreground, kAnsiForeground, kAnsiBrightForeground) << ';'
           << ansiColour(background, kAnsiBackground, kAnsiBrightBackground) << 'm';
    stream.flush();
}

void AnsiConsoleEffect::restore() {
    if (!colours) {
        return;
    }
    stream.flush();
    stream << "\x1b[0m";
    stream.flush();
}

int AnsiConsoleEffect::clearScreen() {
    if (!terminal) {
        return -1;
    }
    stream.flush();
    stream << "\x1b[H\x1b[2J";
    stream.flush();
    return 0;
}

bool AnsiConsoleEffect::writeConsole(const char* text) {
    stream.flush();
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t written = write(fd, text, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        text += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

bool AnsiConsoleEffect::setCursorPosition(uint16_t column, uint16_t row) {
    if (!terminal) {
        return false;
    }
    stream.flush();
    stream << "\x1b[" << row + 1 << ';' << column + 1 << 'H';
    stream.flush();
    return true;
}

bool AnsiConsoleEffect::setTitle(const char* title) {
    if (!terminal) {
        return false;
    }
    stream.flush();
    stream << "\x1b]0;" << title << '\a';
    stream.flush();
    return true;
}

int AnsiConsoleEffect::chooseAudioFile(char* path) {
    path[0] = '\0';
    static const char* const zenity[] = {
        "zenity", "--file-selection", "--file-filter=audio files | *.wav *.mp3 *.flac *.wma *.ape",
        nullptr};
    static const char* const kdialog[] = {"kdialog", "--getopenfilename", ".",
                                          "*.wav *.mp3 *.flac *.wma *.ape|audio files", nullptr};
    for (const char* const* chooser : {zenity, kdialog}) {
        switch (runChooser(chooser, path)) {
            case ChooserResult::Chosen:
                return 1;
            case ChooserResult::Cancelled:
                return 0;
            case ChooserResult::NotInstalled:
                break;
        }
    }
    return 0;
}
