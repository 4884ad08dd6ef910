// The dialogue's exact texts, colours and transitions.
#include "app/dialogue.h"

#include <gtest/gtest.h>

#include <atomic>

#include "synthesis/sines.h"
#include "tests/app/dialogue_harness.h"

namespace {

const std::string kBad = "{0C}Ошибка: {0F}Неправильный формат данных.\n";

// Records each change as "n3" or "f440"; refuses what the tone source refuses; sets the exit
// request at the change numbered `exitAt`.
struct RecordedChanges : ToneChanges {
    std::string calls;
    size_t count = 0, exitAt = 0;
    std::atomic<bool> exit{false};
    void note(char kind, int value) {
        calls += kind;
        calls += std::to_string(value) + ' ';
        exit = exit || ++count == exitAt;
    }
    bool setToneCount(int32_t tones) override {
        note('n', tones);
        return tones <= M_Sines::kMaxToneCount;
    }
    void setFrequency(double hz) override { note('f', static_cast<int>(hz)); }
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
        // A frequency that cannot be read changes nothing.
        {"2\n440\n99999999999\n440.5 880\n-1\n-1\n",
         kAskCount + kAskHz + kAskHz + kBad + kAskHz + kAskHz + kBad + kAskHz + kAskCount,
         "n2 f440 f440 f-1 "},
        {"3 440 -1 -1\n", kAskCount + kAskHz + kAskHz + kAskCount, "n3 f440 f-1 "},
        {"12abc\n-1\n-1\n", kAskCount + kAskHz + kBad + kAskHz + kAskCount, "n12 f-1 "},
        {"2000000 5\n-1\n", kAskCount + kBad + kAskCount, "n2000000 "},
        {"", kAskCount, ""},
        {"2\nabc", kAskCount + kAskHz + kBad + kAskHz, "n2 "},
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

}  // namespace
