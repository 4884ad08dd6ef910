// The console on a POSIX terminal: colours, title, cursor and clearing are escape sequences
// written into the program's output stream, so that they travel in order with the text; other
// programs read them only from a terminal, so nothing is written when the output is a file or a
// pipe. Colours are also left out when the NO_COLOR environment variable is set and not empty,
// and when TERM is unset, empty or "dumb": such a terminal shows the escapes as text.
//
// A console colour number (blue 1, green 2, red 4, intensity 8) becomes one of the 16 ANSI
// colours: the red, green and blue bits are reordered into the ANSI order (red 1, green 2,
// blue 4), and intensity selects the bright range (90-97 foreground, 100-107 background).
// Every change sets foreground and background together.
#pragma once

#include <iosfwd>

#include "app/console.h"

class AnsiConsoleEffect : public ConsoleEffect {
  public:
    // `stream` writes to the file descriptor `fd`, which decides what is shown. The stream
    // outlives the effect.
    AnsiConsoleEffect(std::ostream& stream, int fd);

    void applyAttribute(uint16_t attribute) override;
    // Resets the terminal's attributes so that the shell prompt does not take the last colour.
    void restore() override;
    int clearScreen() override;
    bool writeConsole(const char* text) override;
    bool setCursorPosition(uint16_t column, uint16_t row) override;
    bool setTitle(const char* title) override;
    // Runs the first desktop file chooser that is installed (zenity, then kdialog).
    int chooseAudioFile(char* path) override;

  private:
    std::ostream& stream;
    const int fd;
    const bool terminal;
    const bool colours;
};
