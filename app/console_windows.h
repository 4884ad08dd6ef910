// The console on Windows: colours are console attributes set on the standard output handle,
// which is fetched once when the effect is made; the texts are code page 1251 byte strings,
// shown right once the locale "Russian" and the console's code page 1251 are selected.
#pragma once

#include "app/console.h"

class WindowsConsoleEffect : public ConsoleEffect {
  public:
    WindowsConsoleEffect();

    // Selects the runtime library's locale "Russian" and the console code page 1251, for input
    // and output. The console's own code pages are given back when the process ends: at exit,
    // and on every console control event (Ctrl+C, Ctrl+Break, closing), whose default handling
    // ends the process without running atexit functions.
    static void selectRussianText();

    void applyAttribute(uint16_t attribute) override;
    int clearScreen() override;
    bool writeConsole(const char* text) override;
    bool setCursorPosition(uint16_t column, uint16_t row) override;
    bool setTitle(const char* title) override;
    // The platform's modal open-file dialog, with one filter for audio files.
    int chooseAudioFile(char* path) override;

  private:
    void* consoleOut;  // the standard output handle; never closed
};
