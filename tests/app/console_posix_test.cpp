// The console on a POSIX terminal: the ANSI colours, escapes only on a terminal that takes them,
// and the desktop file choosers.
#include "app/console_posix.h"

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "app/console.h"

namespace {

// Sets (or with null clears) an environment variable for one scope.
class Environment {
  public:
    Environment(const char* name, const char* value) : name(name) {
        const char* old = std::getenv(name);
        saved = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        value != nullptr ? setenv(name, value, 1) : unsetenv(name);
    }
    ~Environment() { saved ? setenv(name, saved->c_str(), 1) : unsetenv(name); }

  private:
    const char* name;
    std::optional<std::string> saved;
};

// A pseudo-terminal's slave side, or a pipe's write end: what standard output may be.
struct OutputEnd {
    explicit OutputEnd(bool terminal) {
        int fds[2];
        EXPECT_EQ(terminal ? openpty(&fds[0], &fds[1], nullptr, nullptr, nullptr) : pipe(fds), 0);
        other = fds[0];
        fd = fds[1];
    }
    ~OutputEnd() {
        close(fd);
        close(other);
    }
    int fd = -1, other = -1;
};

// Catches a colour bit that maps to the wrong ANSI colour, base or brightness.
TEST(AnsiConsole, ColourNumbersBecomeTheSixteenAnsiColours) {
    Environment noColour("NO_COLOR", nullptr), type("TERM", "xterm");
    OutputEnd terminal(true);
    const std::pair<uint16_t, const char*> table[] = {
        {0x60, "\x1b[30;43m"}, {0x0F, "\x1b[97;40m"}, {0x0C, "\x1b[91;40m"},
        {0x03, "\x1b[36;40m"}, {0x15, "\x1b[35;44m"}, {0x9E, "\x1b[93;104m"},
    };
    for (const auto& [attribute, sequence] : table) {
        std::ostringstream out;
        AnsiConsoleEffect(out, terminal.fd).applyAttribute(attribute);
        EXPECT_EQ(out.str(), sequence) << attribute;
    }
}

// Catches escapes written to a file, a pipe or a terminal that refuses colours, colours lost on
// a terminal that takes them, and a missing reset or wrong title, cursor or clear sequence.
TEST(AnsiConsole, EscapesReachOnlyATerminal) {
    struct Case {
        bool terminal;
        const char *noColour, *type;
        bool colours, titles;
    };
    const Case table[] = {
        {true, nullptr, "xterm", true, true},    {true, "", "xterm", true, true},
        {true, "1", "xterm", false, true},       {true, nullptr, "dumb", false, true},
        {true, nullptr, nullptr, false, true},   {true, nullptr, "", false, true},
        {false, nullptr, "xterm", false, false},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(testing::Message() << c.terminal << c.noColour << " TERM=" << c.type);
        Environment noColour("NO_COLOR", c.noColour), type("TERM", c.type);
        OutputEnd end(c.terminal);
        std::ostringstream colours;
        {
            Console console(std::make_unique<AnsiConsoleEffect>(colours, end.fd));
            console.attach(colours);
            colours << fgWhite << "text" << bgDarkYellow;
        }
        EXPECT_EQ(colours.str(), c.colours ? "\x1b[97;40mtext\x1b[97;43m\x1b[0m" : "text");
        std::ostringstream title;
        AnsiConsoleEffect effect(title, end.fd);
        EXPECT_EQ(effect.setTitle("Tonarium"), c.titles);
        EXPECT_EQ(effect.setCursorPosition(4, 2), c.titles);
        EXPECT_EQ(effect.clearScreen(), c.titles ? 0 : -1);
        EXPECT_EQ(title.str(), c.titles ? "\x1b]0;Tonarium\a\x1b[3;5H\x1b[H\x1b[2J" : "");
    }
}

// Stand-in choosers in an otherwise empty PATH: each answers only when called with the expected
// arguments. Catches a wrong chooser call, a missing fallback, an empty, cancelled or too long
// answer taken as a choice, and a path copied without its terminating zero.
TEST(AnsiConsole, ChooseAudioFileAsksAnInstalledDesktopChooser) {
    char dir[] = "/tmp/tonarium-choosers-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string zenityCall =
        "--file-selection --file-filter=audio files | *.wav *.mp3 "
        "*.flac *.wma *.ape";
    const std::string kdialogCall =
        "--getopenfilename . *.wav *.mp3 *.flac *.wma *.ape|audio files";
    const std::string tooLong = "/" + std::string(kAudioPathBytes - 1, 'a');
    struct Case {
        const char* chooser;
        std::string call, answer;
        int status, chosen;
        std::string path;
    };
    const Case table[] = {
        {nullptr, "", "", 0, 0, ""},
        {"zenity", zenityCall, "/music/a.flac", 0, 1, "/music/a.flac"},
        {"kdialog", kdialogCall, "/music/b.wav\nsecond line", 0, 1, "/music/b.wav"},
        {"zenity", zenityCall, "", 0, 0, ""},
        {"zenity", zenityCall, "/music/a.flac", 1, 0, ""},
        {"zenity", zenityCall, tooLong, 0, 0, ""},
        {"zenity", zenityCall, tooLong.substr(1), 0, 1, tooLong.substr(1)},
    };
    const Environment searchPath("PATH", dir);
    for (const Case& c : table) {
        SCOPED_TRACE(c.answer.substr(0, 20));
        const std::string script = std::string(dir) + "/" + (c.chooser ? c.chooser : "none");
        std::ofstream(script) << "#!/bin/sh\n[ \"$*\" = '" << c.call << "' ] || exit 9\nprintf '"
                              << c.answer << "\\n'\nexit " << c.status << "\n";
        chmod(script.c_str(), 0755);
        char path[kAudioPathBytes];
        std::memset(path, 'x', sizeof path);
        std::ostringstream out;
        EXPECT_EQ(AnsiConsoleEffect(out, STDOUT_FILENO).chooseAudioFile(path), c.chosen);
        EXPECT_EQ(std::string(path, strnlen(path, sizeof path)), c.path);
        unlink(script.c_str());
    }
    rmdir(dir);
}

}  // namespace
