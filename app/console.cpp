// The colour state, its setters and the stream manipulators. The stream finds its console through
// a pointer kept in the stream's own extensible storage (pword), so that manipulators need no
// program-wide object and tests can give an in-memory stream a console of its own.
#include "app/console.h"

#include <ostream>
#include <utility>

namespace {

int consoleSlot() {
    static const int slot = std::ios_base::xalloc();
    return slot;
}

uint16_t attributeOf(uint16_t background, uint16_t foreground) {
    return static_cast<uint16_t>((background << 4) | foreground);
}

template <const char* (Console::*setter)(uint16_t), uint16_t colour>
std::ostream& colourManipulator(std::ostream& stream) {
    stream.flush();
    if (Console* console = Console::of(stream)) {
        (console->*setter)(colour);
    }
    return stream.flush();
}

}  // namespace

Console::Console(std::unique_ptr<ConsoleEffect> effect) : effect(std::move(effect)) {}

Console::~Console() {
    restore();
    if (attached != nullptr) {
        attached->pword(consoleSlot()) = nullptr;
    }
}

const char* Console::setForeground(uint16_t colour) {
    currentForeground = colour;
    apply(attributeOf(currentBackground, colour));
    return "";
}

const char* Console::setBackground(uint16_t colour) {
    currentBackground = colour;
    apply(attributeOf(colour, currentForeground));
    return "";
}

const char* Console::setColours(uint16_t background, uint16_t foreground) {
    currentBackground = background;
    currentForeground = foreground;
    apply(attributeOf(background, foreground));
    return "";
}

void Console::apply(uint16_t attribute) {
    std::lock_guard<std::mutex> guard(effectMutex);
    coloured = true;
    effect->applyAttribute(attribute);
}

void Console::attach(std::ostream& stream) {
    if (attached != nullptr) {
        attached->pword(consoleSlot()) = nullptr;
    }
    attached = &stream;
    stream.pword(consoleSlot()) = this;
    stream.register_callback(&Console::onStreamEvent, consoleSlot());
}

void Console::onStreamEvent(std::ios_base::event event, std::ios_base& stream, int slot) {
    // A stream that dies before its console must not be written to by the console's destructor.
    if (event != std::ios_base::erase_event) {
        return;
    }
    auto* console = static_cast<Console*>(stream.pword(slot));
    if (console != nullptr && console->attached == &stream) {
        console->attached = nullptr;
    }
}

Console* Console::of(std::ios_base& stream) {
    return static_cast<Console*>(stream.pword(consoleSlot()));
}

void Console::restore() {
    std::lock_guard<std::mutex> guard(effectMutex);
    if (coloured.exchange(false)) {
        effect->restore();
    }
}

int Console::clearScreen() {
    std::lock_guard<std::mutex> guard(effectMutex);
    return effect->clearScreen();
}

bool Console::writeConsole(const char* text) {
    std::lock_guard<std::mutex> guard(effectMutex);
    return effect->writeConsole(text);
}

bool Console::setCursorPosition(uint16_t column, uint16_t row) {
    std::lock_guard<std::mutex> guard(effectMutex);
    return effect->setCursorPosition(column, row);
}

bool Console::setConsoleTitle(const char* title) {
    std::lock_guard<std::mutex> guard(effectMutex);
    return effect->setTitle(title);
}

int Console::chooseAudioFile(char* path) {
    return effect->chooseAudioFile(path);
}

std::ostream& fgBlack(std::ostream& stream) {
    return colourManipulator<&Console::setForeground, kColourBlack>(stream);
}
std::ostream& fgCyan(std::ostream& stream) {
    return colourManipulator<&Console::setForeground, kColourCyan>(stream);
}
std::ostream& fgGray(std::ostream& stream) {
    return colourManipulator<&Console::setForeground, kColourGray>(stream);
}
std::ostream& fgLightGreen(std::ostream& stream) {
    return colourManipulator<&Console::setForeground, kColourLightGreen>(stream);
}
std::ostream& fgLightRed(std::ostream& stream) {
    return colourManipulator<&Console::setForeground, kColourLightRed>(stream);
}
std::ostream& fgWhite(std::ostream& stream) {
    return colourManipulator<&Console::setForeground, kColourWhite>(stream);
}
std::ostream& bgBlack(std::ostream& stream) {
    return colourManipulator<&Console::setBackground, kColourBlack>(stream);
}
std::ostream& bgDarkYellow(std::ostream& stream) {
    return colourManipulator<&Console::setBackground, kColourDarkYellow>(stream);
}
