// The dialogue's exact texts and colours, every transition of its two questions, bad and partial
// input, the end of input and the exit request.
#include "app/dialogue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/console.h"
#include "synthesis/sines.h"
#include "tests/app/dialogue_harness.h"

namespace {

const std::string kAskCount = "\n{07}Введите количество тонов: {0F}";
const std::string kAskHz = "{07}Введите частоту основного тона (Гц): {0F}";
const std::string kBad = "{0C}Ошибка: {0F}Неправильный формат данных.\n";

// Records each change as "n3" or "f440"; refuses what the tone source refuses; sets the exit
// request at the change numbered `exitAt` (0: before the dialogue starts).
struct RecordedChanges : ToneChanges {
    std::vector<std::string> calls;
    size_t exitAt = 0;
    std::atomic<bool> exit{false};
    void note(const std::string& call) {
        calls.push_back(call);
        exit = exit || calls.size() == exitAt;
    }
    bool setToneCount(int32_t count) override {
        note("n" + std::to_string(count));
        return count <= M_Sines::kMaxToneCount;
    }
    void setFrequency(double hz) override { note("f" + std::to_string(static_cast<int>(hz))); }
    void fadeOut() override {}
};

struct Transition {
    const char* input;
    std::string transcript;
    std::vector<std::string> calls;
    size_t exitAt = SIZE_MAX;
};

// Catches a wrong text or colour, a lost error line, a wrong state after an answer, a change
// written when it must not be, and an exit request missed at any of its three checks.
TEST(Dialogue, AnswersGiveTheirTextsAndChanges) {
    const Transition table[] = {
        {"-1\n", kAskCount, {}},
        {"-2147483648\n", kAskCount, {}},
        {"0\n0\n-1\n", kAskCount + kAskCount + kAskCount, {}},
        {"abc def\n-1\n", kAskCount + kBad + kAskCount, {}},
        {"99999999999\n-1\n", kAskCount + kBad + kAskCount, {}},
        {"3\n440\n0\n-7\n-1\n",
         kAskCount + kAskHz + kAskHz + kAskHz + kAskCount,
         {"n3", "f440", "f0", "f-7"}},
        // A bad frequency writes the last one again; so does one outside 32 bits.
        {"2\n440\nxyz\n-1\n-1\n",
         kAskCount + kAskHz + kAskHz + kBad + kAskHz + kAskCount,
         {"n2", "f440", "f440", "f-1"}},
        {"2\n440\n99999999999\n-1\n-1\n",
         kAskCount + kAskHz + kAskHz + kBad + kAskHz + kAskCount,
         {"n2", "f440", "f440", "f-1"}},
        {"3 440 -1 -1\n", kAskCount + kAskHz + kAskHz + kAskCount, {"n3", "f440", "f-1"}},
        {"2\n440.5 880\n-1\n-1\n",
         kAskCount + kAskHz + kAskHz + kBad + kAskHz + kAskCount,
         {"n2", "f440", "f440", "f-1"}},
        {"12abc\n-1\n-1\n", kAskCount + kAskHz + kBad + kAskHz + kAskCount, {"n12", "f0", "f-1"}},
        {"2000000 5\n-1\n", kAskCount + kBad + kAskCount, {"n2000000"}},
        {"", kAskCount, {}},
        {"3\n440\n", kAskCount + kAskHz + kAskHz, {"n3", "f440"}},
        {"2\nabc", kAskCount + kAskHz + kBad + kAskHz, {"n2", "f0"}},
        // The exit request, seen at the start, at a frequency question and on a step back.
        {"3\n", "", {}, 0},
        {"3\n440\n", kAskCount, {"n3"}, 1},
        {"3\n440\n-1\n", kAskCount + kAskHz, {"n3", "f440"}, 2},
        {"3\n-1\n-1\n", kAskCount + kAskHz, {"n3", "f-1"}, 2},
    };
    for (const Transition& t : table) {
        SCOPED_TRACE(t.input);
        std::ostringstream out;
        Console console(std::make_unique<MarkingEffect>(out));
        console.attach(out);
        std::istringstream in(t.input);
        RecordedChanges changes;
        changes.exitAt = t.exitAt;
        changes.exit = t.exitAt == 0;
        Dialogue(in, out, changes, changes.exit).run();
        EXPECT_EQ(out.str(), t.transcript);
        EXPECT_EQ(changes.calls, t.calls);
    }
}

// Catches a changed report line or colour, and a failure report that takes more or less input.
TEST(Dialogue, ReportsPrintTheirLinesInTheirColours) {
    std::ostringstream out;
    Console console(std::make_unique<MarkingEffect>(out));
    console.attach(out);
    printDeviceReport(out, {2, 192000, 32});
    printHint(out);
    std::istringstream in("xy");
    runFailureReport(in, out);
    EXPECT_EQ(out.str(),
              "{0A}Устройство вывода звука успешно инициализировано.\n"
              "{03}Количество каналов: {07}2\n"
              "{03}Частота дискретизации: {07}192000{03} Гц\n"
              "{03}Глубина квантования: {07}32{03} бит\n"
              "\n"
              "{63}{60}для возврата к предыдущему параметру наберите{6F} -1{0F}\n"
              "{0C}Ошибка: {0F}Подходящее устройство вывода звука не найдено.\n"
              "{07}нажмите любую клавишу для выхода.\n");
    EXPECT_EQ(in.get(), 'y');
    runFailureReport(in, out);
    EXPECT_TRUE(in.eof());
}

}  // namespace
