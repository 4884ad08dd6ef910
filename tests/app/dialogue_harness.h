// A stream whose console writes each applied attribute into the transcript as "{XX}", or as
// "{unflushed}" when text written before the colour change has not been flushed.
#pragma once

#include <cstdio>
#include <memory>
#include <sstream>

#include "app/console.h"

// A stream buffer that keeps what of it has been flushed.
struct HeldBuffer : std::stringbuf {
    std::string flushed;
    int sync() override { return flushed = str(), 0; }
};

struct MarkingEffect : ConsoleEffect {
    explicit MarkingEffect(std::ostream& out) : out(out) {}
    void applyAttribute(uint16_t attribute) override {
        const auto& held = static_cast<const HeldBuffer&>(*out.rdbuf());
        char mark[8];
        std::snprintf(mark, sizeof mark, "{%02X}", attribute);
        out << (held.str() == held.flushed ? mark : "{unflushed}");
    }
    int clearScreen() override { return 0; }
    bool writeConsole(const char*) override { return true; }
    bool setCursorPosition(uint16_t, uint16_t) override { return true; }
    bool setTitle(const char*) override { return true; }
    int chooseAudioFile(char*) override { return 0; }
    std::ostream& out;
};

struct Screen {
    HeldBuffer held;
    std::ostream out{&held};
    Console console{std::make_unique<MarkingEffect>(out)};
    Screen() { console.attach(out); }
};

inline const std::string kAskCount = "\n{07}Введите количество тонов: {0F}";
inline const std::string kAskHz = "{07}Введите частоту основного тона (Гц): {0F}";
