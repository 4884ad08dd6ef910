// The dialogue's exact texts, colours and transitions, and the reports.
#include "app/dialogue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>

#include "app/console.h"
#include "synthesis/sines.h"

namespace {

// A stream buffer that keeps what of it has been flushed.
struct HeldBuffer : std::stringbuf {
    std::string flushed;
    int sync() override { return flushed = str(), 0; }
};

// Writes each applied attribute into the transcript as "{XX}", or "{unflushed}" when text
// written before the colour change has not been flushed.
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

// A stream whose console marks its colours.
struct Screen {
    HeldBuffer held;
    std::ostream out{&held};
    Console console{std::make_unique<MarkingEffect>(out)};
    Screen() { console.attach(out); }
};

const std::string kAskCount = "\n{07}Введите количество тонов: {0F}";
const std::string kAskHz = "{07}Введите частоту основного тона (Гц): {0F}";
const std::string kBad = "{0C}Ошибка: {0F}Неправильный формат данных.\n";

// Records each change as "n3" or "f440"; refuses what the tone source refuses; sets the exit
// request at the change numbered `exitAt`.
struct RecordedChanges : ToneChanges {
    std::string calls;
    size_t count = 0, exitAt = 0;
    std::atomic<bool> exit{false};
    void note(const std::string& call) {
        calls += call + " ";
        exit = exit || ++count == exitAt;
    }
    bool setToneCount(int32_t count) override {
        note("n" + std::to_string(count));
        return count <= M_Sines::kMaxToneCount;
    }
    void setFrequency(double hz) override { note("f" + std::to_string(static_cast<int>(hz))); }
    void fadeOut() override {}
};

// Catches a wrong text or colour, a lost error line, a wrong state after an answer, a change
// written when it must not be, and an exit request missed at any of its three checks.
TEST(Dialogue, AnswersGiveTheirTextsAndChanges) {
    struct Transition {
        const char* input;
        std::string transcript;
        std::string calls;
        size_t exitAt = SIZE_MAX;  // 0: set before the dialogue starts
    } const table[] = {
        {"0\n0\n-1\n", kAskCount + kAskCount + kAskCount, ""},
        {"abc def\n99999999999\n-1\n", kAskCount + kBad + kAskCount + kBad + kAskCount, ""},
        {"3\n440\n0\n-7\n-1\n", kAskCount + kAskHz + kAskHz + kAskHz + kAskCount,
         "n3 f440 f0 f-7 "},
        // A frequency that cannot be read writes the last one again.
        {"2\n440\n99999999999\n440.5 880\n-1\n-1\n",
         kAskCount + kAskHz + kAskHz + kBad + kAskHz + kAskHz + kBad + kAskHz + kAskCount,
         "n2 f440 f440 f440 f440 f-1 "},
        {"3 440 -1 -1\n", kAskCount + kAskHz + kAskHz + kAskCount, "n3 f440 f-1 "},
        {"12abc\n-1\n-1\n", kAskCount + kAskHz + kBad + kAskHz + kAskCount, "n12 f0 f-1 "},
        {"2000000 5\n-1\n", kAskCount + kBad + kAskCount, "n2000000 "},
        {"", kAskCount, ""},
        {"2\nabc", kAskCount + kAskHz + kBad + kAskHz, "n2 f0 "},
        {"3\n", "", "", 0},
        {"3\n440\n", kAskCount, "n3 ", 1},
        {"3\n440\n-1\n", kAskCount + kAskHz, "n3 f440 ", 2},
        {"3\n-1\n-1\n", kAskCount + kAskHz, "n3 f-1 ", 2},
    };
    for (const Transition& t : table) {
        Screen screen;
        std::istringstream in(t.input);
        RecordedChanges changes;
        changes.exitAt = t.exitAt;
        changes.exit = t.exitAt == 0;
        Dialogue(in, screen.out, changes, changes.exit).run();
        EXPECT_EQ(screen.held.str(), t.transcript) << t.input;
        EXPECT_EQ(changes.calls, t.calls) << t.input;
    }
}

// Catches a changed report line or colour (a half of it lost, or changed before the text before
// it was out), and a failure report that takes more or less input.
TEST(Dialogue, ReportsPrintTheirLinesInTheirColours) {
    Screen screen;
    printDeviceReport(screen.out, {2, 192000, 32});
    printHint(screen.out);
    std::istringstream in("xy");
    runFailureReport(in, screen.out);
    EXPECT_EQ(screen.held.str(),
              "{0A}Устройство вывода звука успешно инициализировано.\n"
              "{03}Количество каналов: {07}2\n"
              "{03}Частота дискретизации: {07}192000{03} Гц\n"
              "{03}Глубина квантования: {07}32{03} бит\n"
              "\n{63}{60}для возврата к предыдущему параметру наберите{6F} -1{0F}\n"
              "{0C}Ошибка: {0F}Подходящее устройство вывода звука не найдено.\n"
              "{07}нажмите любую клавишу для выхода.\n");
    EXPECT_EQ(in.get(), 'y');
    runFailureReport(in, screen.out);
    EXPECT_TRUE(in.eof());
}

}  // namespace
