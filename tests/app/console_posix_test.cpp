// The console on a POSIX terminal: the ANSI rendering of console colours, that nothing but text
// reaches a file or a pipe (or a terminal under NO_COLOR), and the desktop file choosers.
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

// A pseudo-terminal's slave side, or a pipe's write end: what standard output may be.
class OutputEnd {
  public:
    explicit OutputEnd(bool terminal) {
        if (terminal) {
            EXPECT_EQ(openpty(&other, &fd, nullptr, nullptr, nullptr), 0);
        } else {
            int fds[2];
            EXPECT_EQ(pipe(fds), 0);
            other = fds[0];
            fd = fds[1];
        }
    }
    ~OutputEnd() {
        close(fd);
        close(other);
    }
    int fd = -1;

  private:
    int other = -1;
};

// Sets or clears an environment variable for one test.
class EnvironmentGuard {
  public:
    EnvironmentGuard(const char* name, const char* value) : name(name) {
        if (const char* old = std::getenv(name)) {
            saved = old;
            hadValue = true;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvironmentGuard() {
        if (hadValue) {
            setenv(name, saved.c_str(), 1);
        } else {
            unsetenv(name);
        }
    }

  private:
    const char* name;
    std::string saved;
    bool hadValue = false;
};

struct Rendering {
    uint16_t attribute;
    const char* sequence;
};

TEST(AnsiConsole, ColourNumbersBecomeTheSixteenAnsiColours) {
    EnvironmentGuard noColour("NO_COLOR", nullptr);
    EnvironmentGuard terminalType("TERM", "xterm");
    OutputEnd terminal(true);
    const Rendering renderings[] = {
        {0x60, "\x1b[30;43m"},   // black on dark yellow
        {0x6F, "\x1b[97;43m"},   // white on dark yellow
        {0x0F, "\x1b[97;40m"},   // white on black
        {0x0C, "\x1b[91;40m"},   // light red
        {0x0A, "\x1b[92;40m"},   // light green
        {0x07, "\x1b[37;40m"},   // grey
        {0x03, "\x1b[36;40m"},   // dark cyan
        {0x15, "\x1b[35;44m"},   // dark magenta on dark blue
        {0x9E, "\x1b[93;104m"},  // yellow on light blue
    };
    for (const Rendering& r : renderings) {
        std::ostringstream out;
        AnsiConsoleEffect(out, terminal.fd).applyAttribute(r.attribute);
        EXPECT_EQ(out.str(), r.sequence) << std::hex << r.attribute;
    }
}

struct Gating {
    std::string name;
    bool terminal;
    const char* noColour;
    const char* terminalType;
    bool colours;
    bool titles;
};

class AnsiConsoleGating : public testing::TestWithParam<Gating> {};

TEST_P(AnsiConsoleGating, EscapesReachOnlyATerminal) {
    const Gating& g = GetParam();
    EnvironmentGuard noColour("NO_COLOR", g.noColour);
    EnvironmentGuard terminalType("TERM", g.terminalType);
    OutputEnd end(g.terminal);

    std::ostringstream colours;
    {
        Console console(std::make_unique<AnsiConsoleEffect>(colours, end.fd));
        console.attach(colours);
        colours << fgWhite << "text" << bgDarkYellow;
    }
    EXPECT_EQ(colours.str(), g.colours ? "\x1b[97;40mtext\x1b[97;43m\x1b[0m" : "text");

    std::ostringstream title;
    AnsiConsoleEffect effect(title, end.fd);
    EXPECT_EQ(effect.setTitle("Tonarium"), g.titles);
    EXPECT_EQ(effect.setCursorPosition(4, 2), g.titles);
    EXPECT_EQ(effect.clearScreen(), g.titles ? 0 : -1);
    EXPECT_EQ(title.str(), g.titles ? "\x1b]0;Tonarium\a\x1b[3;5H\x1b[H\x1b[2J" : "");
}

INSTANTIATE_TEST_SUITE_P(
    AnsiConsole, AnsiConsoleGating,
    testing::Values(Gating{"Terminal", true, nullptr, "xterm", true, true},
                    Gating{"TerminalWithEmptyNoColor", true, "", "xterm", true, true},
                    Gating{"TerminalWithNoColor", true, "1", "xterm", false, true},
                    Gating{"DumbTerminal", true, nullptr, "dumb", false, true},
                    Gating{"TerminalOfNoType", true, nullptr, nullptr, false, true},
                    Gating{"TerminalOfEmptyType", true, nullptr, "", false, true},
                    Gating{"Pipe", false, nullptr, "xterm", false, false}),
    [](const testing::TestParamInfo<Gating>& info) { return info.param.name; });

// A stand-in zenity that records its arguments and answers a path: the chooser's filter and the
// path it returns. With no chooser in PATH the answer is 0 and an empty path.
TEST(AnsiConsole, ChooseAudioFileAsksAnInstalledDesktopChooser) {
    char dir[] = "/tmp/tonarium-choosers-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string zenity = std::string(dir) + "/zenity";
    const std::string arguments = zenity + ".args";
    std::ostringstream out;
    AnsiConsoleEffect effect(out, STDOUT_FILENO);
    char path[kAudioPathBytes] = "stale";
    {
        EnvironmentGuard searchPath("PATH", dir);
        EXPECT_EQ(effect.chooseAudioFile(path), 0);
        EXPECT_STREQ(path, "");

        std::ofstream(zenity) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << arguments
                              << "'\necho /music/a.flac\n";
        chmod(zenity.c_str(), 0755);
        EXPECT_NE(effect.chooseAudioFile(path), 0);
        EXPECT_STREQ(path, "/music/a.flac");
    }
    std::ifstream recorded(arguments);
    std::stringstream text;
    text << recorded.rdbuf();
    EXPECT_EQ(text.str(),
              "--file-selection\n--file-filter=audio files | *.wav *.mp3 *.flac *.wma *.ape\n");
    unlink(zenity.c_str());
    unlink(arguments.c_str());
    rmdir(dir);
}

}  // namespace
