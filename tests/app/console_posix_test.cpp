// The console on a POSIX terminal (ANSI colours, escapes only where a terminal takes them, the
// desktop file choosers) and the control events taken from the signals.
#include "app/console_posix.h"

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "app/control_events.h"

namespace {

void setEnvironment(const char* name, const char* value) {
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
}

// Catches a colour bit mapped to the wrong ANSI colour, base or brightness; escapes written to a
// pipe or to a terminal that refuses colours, colours lost on one that takes them, and a missing
// reset or a wrong title, cursor or clear sequence.
TEST(AnsiConsole, ColoursAndEscapesReachOnlyATerminalThatTakesThem) {
    int pty = -1, terminal = -1, pipeEnds[2];
    ASSERT_EQ(openpty(&pty, &terminal, nullptr, nullptr, nullptr) | pipe(pipeEnds), 0);
    // The output, NO_COLOR, TERM, whether colours and whether the other escapes reach it.
    const std::tuple<int, const char*, const char*, bool, bool> table[] = {
        {terminal, "", "xterm", true, true},      {terminal, "1", "xterm", false, true},
        {terminal, nullptr, "dumb", false, true}, {terminal, nullptr, nullptr, false, true},
        {terminal, nullptr, "", false, true},     {pipeEnds[1], nullptr, "xterm", false, false},
    };
    for (const auto& [fd, noColour, type, colours, escapes] : table) {
        SCOPED_TRACE(testing::Message() << fd << noColour << " TERM=" << type);
        setEnvironment("NO_COLOR", noColour);
        setEnvironment("TERM", type);
        std::ostringstream out;
        Console console(std::make_unique<AnsiConsoleEffect>(out, fd));
        console.attach(out);
        out << fgWhite << "text" << bgDarkYellow << fgBlack << fgCyan << fgLightRed << fgLightGreen
            << bgBlack << fgGray;
        console.restore();
        EXPECT_EQ(out.str(), colours ? "\x1b[97;40mtext\x1b[97;43m\x1b[30;43m\x1b[36;43m"
                                       "\x1b[91;43m\x1b[92;43m\x1b[92;40m\x1b[37;40m\x1b[0m"
                                     : "text");
        out.str("");
        AnsiConsoleEffect effect(out, fd);
        EXPECT_EQ(effect.setTitle("Tonarium"), escapes);
        EXPECT_EQ(effect.setCursorPosition(4, 2), escapes);
        EXPECT_EQ(effect.clearScreen(), escapes ? 0 : -1);
        EXPECT_TRUE(effect.writeConsole("raw"));
        effect.applyAttribute(0x9D);  // light magenta on light blue
        EXPECT_EQ(out.str(), escapes ? std::string("\x1b]0;Tonarium\a\x1b[3;5H\x1b[H\x1b[2J") +
                                           (colours ? "\x1b[95;104m" : "")
                                     : "");
    }
    for (int fd : {pty, terminal, pipeEnds[0], pipeEnds[1]}) {
        close(fd);
    }
}

// Stand-in choosers in an otherwise empty PATH that answer with their arguments ("$*") or as
// told. Catches a wrong chooser call, a missing fallback, an empty, cancelled or too long answer
// taken as a choice, and a path copied without its terminating zero.
TEST(AnsiConsole, ChooseAudioFileAsksAnInstalledDesktopChooser) {
    char dir[] = "/tmp/tonarium-choosers-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string longest(kAudioPathBytes - 1, 'a');
    // The chooser installed, its answer and status, the path chosen (empty: none).
    const std::tuple<std::string, std::string, int, std::string> table[] = {
        {"none", "", 0, ""},
        {"zenity", "$*", 0,
         "--file-selection --file-filter=audio files | *.wav *.mp3 *.flac *.wma *.ape"},
        {"kdialog", "$*\nsecond line", 0,
         "--getopenfilename . *.wav *.mp3 *.flac *.wma *.ape|audio files"},
        {"zenity", "", 0, ""},
        {"zenity", "$*", 1, ""},
        {"zenity", longest + "a", 0, ""},
        {"zenity", longest, 0, longest},
    };
    const std::string path = std::getenv("PATH");
    setEnvironment("PATH", dir);
    for (const auto& [chooser, answer, status, expected] : table) {
        const std::string script = std::string(dir) + "/" + chooser;
        std::ofstream(script) << "#!/bin/sh\necho \"" << answer << "\"\nexit " << status;
        chmod(script.c_str(), 0755);
        char chosen[kAudioPathBytes];
        std::memset(chosen, 'x', sizeof chosen);
        std::ostringstream out;
        EXPECT_EQ(AnsiConsoleEffect(out, STDOUT_FILENO).chooseAudioFile(chosen), !expected.empty());
        EXPECT_EQ(std::string(chosen, strnlen(chosen, sizeof chosen)), expected) << answer;
        unlink(script.c_str());
    }
    setEnvironment("PATH", path.c_str());
    rmdir(dir);
}

// In a death-test child: listens, sends `signals`, keeps the main thread busy and prints where
// the handler ran.
void signalAndWait(std::initializer_list<int> signals) {
    const std::thread::id busy = std::this_thread::get_id();
    ControlEvents events([busy] {
        std::fprintf(stderr, std::this_thread::get_id() == busy ? "on main\n" : "on listener\n");
    });
    for (int signal : signals) {
        kill(getpid(), signal);
    }
    std::this_thread::sleep_for(std::chrono::seconds(10));  // the signal must end it before
    std::_Exit(0);
}

// Catches a handler that does not run or runs on the busy thread, an ignored signal acted on,
// and a process that survives the signal or ends some other way.
TEST(ControlEventsDeathTest, SignalRunsTheHandlerThenEndsTheProcessByIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        EXPECT_EXIT(signalAndWait({signal}), testing::KilledBySignal(signal), "on listener");
    }
    EXPECT_EXIT((std::signal(SIGHUP, SIG_IGN), signalAndWait({SIGHUP, SIGTERM})),
                testing::KilledBySignal(SIGTERM), "on listener");
}

// Catches a second listener allowed at once, one refused after the first has ended, and
// signals left blocked.
TEST(ControlEvents, OneListenerAtATimeThatUnblocksTheSignalsAtItsEnd) {
    for (int round = 0; round < 2; ++round) {
        {
            ControlEvents events([] {});
            EXPECT_THROW(ControlEvents([] {}), std::logic_error);
        }
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        EXPECT_FALSE(sigismember(&mask, SIGINT) || sigismember(&mask, SIGTERM) ||
                     sigismember(&mask, SIGHUP));
    }
}

}  // namespace
