// Behaviour of the console dialogue over in-memory streams: its exact texts and colours, every
// transition of the two questions, bad and partial input, the end of input, the exit request,
// and the lock around each change of the tone source.
#include "app/dialogue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "app/console.h"
#include "synthesis/sines.h"
#include "tests/app/dialogue_harness.h"

namespace {

// The transcript pieces, colours marked as {attribute}.
const std::string kAskCount = "\n{07}Введите количество тонов: {0F}";
const std::string kAskFrequency = "{07}Введите частоту основного тона (Гц): {0F}";
const std::string kBadInput = "{0C}Ошибка: {0F}Неправильный формат данных.\n";

using Chunks = std::vector<ScriptedInput::Chunk>;

// One dialogue over a scripted input, with a fresh tone source of one tone at 0 Hz.
struct DialogueRun {
    M_Sines sines{1};
    std::atomic<bool> exitRequested{false};
    RecordingLock lock{sines};
    std::ostringstream out;
    Console console{std::make_unique<MarkingEffect>(out)};
    std::unique_ptr<ScriptedInput> input;

    void run(Chunks chunks) {
        console.attach(out);
        input = std::make_unique<ScriptedInput>(std::move(chunks), &lock);
        std::istream in(input.get());
        Dialogue(in, out, sines, lock, exitRequested).run();
        lock.awaitingInput();
    }
    void run(const std::string& text) { run(Chunks{{text, nullptr}}); }
};

TEST(DeviceReport, PrintsTheFormatAndTheHintLineInTheirColours) {
    std::ostringstream out;
    Console console(std::make_unique<MarkingEffect>(out));
    console.attach(out);
    printDeviceReport(out, {2, 192000, 32});
    printHint(out);
    EXPECT_EQ(out.str(),
              "{0A}Устройство вывода звука успешно инициализировано.\n"
              "{03}Количество каналов: {07}2\n"
              "{03}Частота дискретизации: {07}192000{03} Гц\n"
              "{03}Глубина квантования: {07}32{03} бит\n"
              "\n"
              "{63}{60}для возврата к предыдущему параметру наберите{6F} -1{0F}\n");
}

TEST(FailureReport, PrintsTheErrorAndTakesExactlyOneCharacter) {
    std::ostringstream out;
    Console console(std::make_unique<MarkingEffect>(out));
    console.attach(out);
    std::istringstream in("xy\n");
    runFailureReport(in, out);
    EXPECT_EQ(out.str(),
              "{0C}Ошибка: {0F}Подходящее устройство вывода звука не найдено.\n"
              "{07}нажмите любую клавишу для выхода.\n");
    EXPECT_EQ(in.get(), 'y');
}

TEST(FailureReport, ReturnsAtOnceAtTheEndOfInput) {
    std::ostringstream out;
    std::istringstream in("");
    runFailureReport(in, out);
    EXPECT_TRUE(in.eof());
}

struct Transition {
    std::string name;
    std::string input;
    std::string transcript;
    std::vector<std::string> writes;  // what each locked section changed, in order
};

void PrintTo(const Transition& t, std::ostream* os) {
    *os << t.name;
}

class DialogueTransitions : public testing::TestWithParam<Transition> {};

TEST_P(DialogueTransitions, AnswersGiveTheExpectedTextAndChanges) {
    const Transition& t = GetParam();
    DialogueRun run;
    run.run(t.input);
    EXPECT_EQ(run.out.str(), t.transcript);
    EXPECT_EQ(run.lock.writes, t.writes);
    EXPECT_EQ(run.lock.violations, std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Dialogue, DialogueTransitions,
    testing::Values(Transition{"NegativeCountEndsTheDialogue", "-1\n", kAskCount, {}},
                    Transition{"AnyNegativeCountEnds", "-2147483648\n", kAskCount, {}},
                    Transition{"ZeroCountAsksAgainWithoutAnError",
                               "0\n0\n-1\n",
                               kAskCount + kAskCount + kAskCount,
                               {}},
                    Transition{"BadCountPrintsTheErrorAndAsksAgain",
                               "abc def\n-1\n",
                               kAskCount + kBadInput + kAskCount,
                               {}},
                    Transition{"CountOutsideThe32BitRangeIsABadCount",
                               "99999999999\n-1\n",
                               kAskCount + kBadInput + kAskCount,
                               {}},
                    Transition{"PositiveCountSetsTheTonesAndAsksForTheFrequency",
                               "3\n-1\n-1\n",
                               kAskCount + kAskFrequency + kAskCount,
                               {"tones=3", "hz=-1"}},
                    Transition{
                        "FrequenciesAreAskedForUntilANegativeOne",
                        "3\n440\n0\n-7\n-1\n",
                        kAskCount + kAskFrequency + kAskFrequency + kAskFrequency + kAskCount,
                        {"tones=3", "hz=440", "hz=0", "hz=-7"}},
                    Transition{"BadFrequencyRewritesTheLastFrequency",
                               "2\n440\nxyz\n-1\n-1\n",
                               kAskCount + kAskFrequency + kAskFrequency + kBadInput +
                                   kAskFrequency + kAskCount,
                               {"tones=2", "hz=440", "none", "hz=-1"}},
                    Transition{"FrequencyOutsideThe32BitRangeKeepsTheLastFrequency",
                               "2\n440\n99999999999\n-1\n-1\n",
                               kAskCount + kAskFrequency + kAskFrequency + kBadInput +
                                   kAskFrequency + kAskCount,
                               {"tones=2", "hz=440", "none", "hz=-1"}},
                    Transition{"SeveralNumbersOnOneLineAnswerSeveralQuestions",
                               "3 440 -1 -1\n",
                               kAskCount + kAskFrequency + kAskFrequency + kAskCount,
                               {"tones=3", "hz=440", "hz=-1"}},
                    Transition{"FractionIsTakenAsItsWholePartThenFailsOnThePoint",
                               "2\n440.5 880\n-1\n-1\n",
                               kAskCount + kAskFrequency + kAskFrequency + kBadInput +
                                   kAskFrequency + kAskCount,
                               {"tones=2", "hz=440", "none", "hz=-1"}},
                    Transition{"TextAfterACountFailsTheFrequencyAtOnce",
                               "12abc\n-1\n-1\n",
                               kAskCount + kAskFrequency + kBadInput + kAskFrequency + kAskCount,
                               {"tones=12", "none", "hz=-1"}},
                    Transition{"CountAboveTheToneSourceLimitIsRefusedWithItsLine",
                               "2000000 5\n-1\n",
                               kAskCount + kBadInput + kAskCount,
                               {"none"}},
                    Transition{"EndOfInputAtTheCountEndsTheDialogue", "", kAskCount, {}},
                    Transition{"EndOfInputAtTheFrequencyEndsTheDialogue",
                               "3\n440\n",
                               kAskCount + kAskFrequency + kAskFrequency,
                               {"tones=3", "hz=440"}},
                    Transition{"EndOfInputAfterABadLineEndsTheDialogue",
                               "2\nabc",
                               kAskCount + kAskFrequency + kBadInput + kAskFrequency,
                               {"tones=2", "none"}}),
    [](const testing::TestParamInfo<Transition>& info) { return info.param.name; });

TEST(Dialogue, ExitRequestIsSeenAtItsThreeTests) {
    {
        SCOPED_TRACE("at the start");
        DialogueRun run;
        run.exitRequested = true;
        run.run("3\n");
        EXPECT_EQ(run.out.str(), "");
        EXPECT_EQ(run.input->waits, 0U);
    }
    {
        SCOPED_TRACE("at the start of the frequency question; the count is still taken");
        DialogueRun run;
        run.run(Chunks{{"3\n", [&] { run.exitRequested = true; }}, {"440\n", nullptr}});
        EXPECT_EQ(run.out.str(), kAskCount);
        EXPECT_EQ(run.lock.writes, (std::vector<std::string>{"tones=3"}));
    }
    {
        SCOPED_TRACE("before the next frequency question");
        DialogueRun run;
        run.run(Chunks{{"3\n", nullptr}, {"440\n", [&] { run.exitRequested = true; }}});
        EXPECT_EQ(run.out.str(), kAskCount + kAskFrequency);
        EXPECT_EQ(run.lock.writes, (std::vector<std::string>{"tones=3", "hz=440"}));
    }
    {
        SCOPED_TRACE("on a step back from the frequency, after writing it");
        DialogueRun run;
        run.run(Chunks{{"3\n", nullptr}, {"-1\n", [&] { run.exitRequested = true; }}});
        EXPECT_EQ(run.out.str(), kAskCount + kAskFrequency);
        EXPECT_EQ(run.lock.writes, (std::vector<std::string>{"tones=3", "hz=-1"}));
    }
    {
        SCOPED_TRACE("never at the count question");
        DialogueRun run;
        run.run(Chunks{{"0\n", [&] { run.exitRequested = true; }}, {"-1\n", nullptr}});
        EXPECT_EQ(run.out.str(), kAskCount + kAskCount);
    }
}

TEST(Dialogue, LockIsHeldAroundEachWriteAndNeverWhileWaiting) {
    DialogueRun run;
    run.run("0\nbad\n4 100\nbad\n-3\n2\n50\n-1\n-1\n");
    EXPECT_EQ(run.lock.writes, (std::vector<std::string>{"tones=4", "hz=100", "none", "hz=-3",
                                                         "tones=2", "hz=50", "hz=-1"}));
    EXPECT_FALSE(run.lock.held);
    EXPECT_EQ(run.lock.violations, std::vector<std::string>{});
}

}  // namespace
