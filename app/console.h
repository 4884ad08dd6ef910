// The console's colour state and the small console facilities of the front end.
//
// A colour is a 4-bit console colour number: bit 0 blue, bit 1 green, bit 2 red, bit 3 high
// intensity. The attribute applied is the background shifted left by 4, or'ed with the
// foreground, values unmasked. The state is not read from the console: it starts as grey (7) on
// black (0), and the first change applies those start values together with the changed half.
//
// How an attribute reaches the screen is the job of a ConsoleEffect: console attributes on
// Windows, escape sequences on a terminal elsewhere, or a recorder in tests. A Console pairs the
// colour state with one effect; the stream manipulators (fgWhite and the others) act on the
// Console attached to the stream they are inserted into, so that the dialogue writes
// `out << fgGray << text` whatever the stream is.
//
// Threads: only the main thread changes colours. restore() may also be called from the thread
// that handles a console control event, while the main thread still writes. Every call into the
// effect that writes to the console runs under one lock, so that the reset never lands inside
// an escape sequence or an attribute change of the main thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ios>
#include <iosfwd>
#include <memory>
#include <mutex>

// The platform's side of the console. Every operation reports the platform's result.
class ConsoleEffect {
  public:
    virtual ~ConsoleEffect() = default;

    // Shows later text in `attribute` (background << 4 | foreground).
    virtual void applyAttribute(uint16_t attribute) = 0;

    // Gives the console back the attributes it had before the program coloured it. Called at
    // program end, possibly from a control-event thread; may be called more than once.
    virtual void restore() {}

    virtual int clearScreen() = 0;
    virtual bool writeConsole(const char* text) = 0;
    virtual bool setCursorPosition(uint16_t column, uint16_t row) = 0;
    virtual bool setTitle(const char* title) = 0;

    // Non-zero when the user chose a file; its full path is then in `path` (at least
    // kAudioPathBytes bytes, emptied first). Zero on cancel or when no chooser is available.
    virtual int chooseAudioFile(char* path) = 0;
};

// The size of the caller's buffer for chooseAudioFile, terminator included.
inline constexpr int kAudioPathBytes = 260;

// Console colour numbers used by the front end.
inline constexpr uint16_t kColourBlack = 0;
inline constexpr uint16_t kColourCyan = 3;
inline constexpr uint16_t kColourDarkYellow = 6;
inline constexpr uint16_t kColourGray = 7;
inline constexpr uint16_t kColourLightGreen = 10;
inline constexpr uint16_t kColourLightRed = 12;
inline constexpr uint16_t kColourWhite = 15;

class Console {
  public:
    explicit Console(std::unique_ptr<ConsoleEffect> effect);
    // Detaches from the stream it was attached to and restores the console.
    ~Console();

    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The colour setters. Each stores the new colour, applies the whole attribute and returns an
    // empty text. Main thread only.
    const char* setForeground(uint16_t colour);
    const char* setBackground(uint16_t colour);
    const char* setColours(uint16_t background, uint16_t foreground);

    // Makes the manipulators inserted into `stream` act on this console. One stream at a time.
    void attach(std::ostream& stream);

    // The console attached to `stream`, or null.
    static Console* of(std::ios_base& stream);

    // See ConsoleEffect::restore. Any thread; does nothing unless a colour has been applied
    // since the last restore, so that the console is given back once.
    void restore();

    int clearScreen();
    bool writeConsole(const char* text);
    bool setCursorPosition(uint16_t column, uint16_t row);
    bool setConsoleTitle(const char* title);
    int chooseAudioFile(char* path);

    uint16_t currentForeground = kColourGray;
    uint16_t currentBackground = kColourBlack;

  private:
    void apply(uint16_t attribute);
    static void onStreamEvent(std::ios_base::event event, std::ios_base& stream, int slot);

    std::unique_ptr<ConsoleEffect> effect;
    std::ios_base* attached = nullptr;
    std::atomic<bool> coloured{false};
    // Serialises the effect's writes; the chooser, which writes nothing, runs outside it.
    std::mutex effectMutex;
};

// Stream manipulators: each flushes the text written so far (so that it keeps the colour it was
// written in), sets one colour of the stream's console, and flushes again. None writes a
// character of its own; on a stream without a console they only flush.
std::ostream& fgBlack(std::ostream& stream);
std::ostream& fgCyan(std::ostream& stream);
std::ostream& fgGray(std::ostream& stream);
std::ostream& fgLightGreen(std::ostream& stream);
std::ostream& fgLightRed(std::ostream& stream);
std::ostream& fgWhite(std::ostream& stream);
std::ostream& bgBlack(std::ostream& stream);
std::ostream& bgDarkYellow(std::ostream& stream);

// The platform's effect for the program's standard output, which `stream` writes to.
std::unique_ptr<ConsoleEffect> makePlatformConsoleEffect(std::ostream& stream);

// Selects the locale and the console code page in which the dialogue's texts are shown.
void selectTextLocale();
