// A console effect that writes each applied attribute into the transcript as "{XX}" (two hex
// digits), so that a transcript shows the text and its colours.
#pragma once

#include <cstdio>
#include <ostream>

#include "app/console.h"

class MarkingEffect : public ConsoleEffect {
  public:
    explicit MarkingEffect(std::ostream& transcript) : transcript(transcript) {}
    void applyAttribute(uint16_t attribute) override {
        char mark[16];
        std::snprintf(mark, sizeof mark, "{%02X}", attribute);
        transcript << mark;
    }
    int clearScreen() override { return 0; }
    bool writeConsole(const char*) override { return true; }
    bool setCursorPosition(uint16_t, uint16_t) override { return true; }
    bool setTitle(const char*) override { return true; }
    int chooseAudioFile(char*) override { return 0; }

  private:
    std::ostream& transcript;
};
