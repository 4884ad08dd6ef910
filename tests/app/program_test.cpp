// The program over the scripted device: the failure exit, and the device report and the dialogue
// while the playback thread runs.
#include "app/program.h"

#include <gtest/gtest.h>

#include "tests/app/dialogue_harness.h"
#include "tests/output/test_wave_device.h"
#include "threading/worker_thread.h"

namespace {

// A wired program over a test device with its input, its transcript with colour marks.
struct ProgramRun {
    ProgramRun(TestWaveDevice::FormatFilter accepts, const std::string& input)
        : device(new TestWaveDevice(std::move(accepts))),
          program(std::unique_ptr<TestWaveDevice>(device)),
          in(input) {
        program.wire();
    }
    TestWaveDevice* device;
    Program program;
    std::istringstream in;
    Screen screen;
};

// Catches a failure report that is missing, changed, takes more than one character or leaves
// the device open, with no device and with no playback thread.
TEST(Program, WithoutADeviceOrAPlaybackThreadReportsTheFailure) {
    for (const bool threadFails : {false, true}) {
        ProgramRun run(threadFails ? TestWaveDevice::acceptAll() : TestWaveDevice::refuseAll(),
                       "x\n-1\n");
        const WorkerCreationFault noThread(threadFails ? 0 : 1);
        EXPECT_EQ(run.program.run(run.in, run.screen.out), 0);
        EXPECT_EQ(run.screen.held.str(),
                  "{0C}Ошибка: {0F}Подходящее устройство вывода звука не найдено.\n"
                  "{07}нажмите любую клавишу для выхода.\n");
        EXPECT_EQ(run.in.tellg(), 1);
        EXPECT_FALSE(run.device->isOpen());
    }
}

// Catches a missing or changed device report or hint (a colour half lost, or changed before the
// text before it was out), a wrong channel count asked for, a dialogue that does not reach the
// tone source, and a close that is skipped or repeated.
TEST(Program, ReportsTheDeviceAndPlaysWhatTheDialogueSetsThenCloses) {
    ProgramRun run(TestWaveDevice::acceptAll(), "3\n440\n-1\n-1\n");
    EXPECT_EQ(run.program.run(run.in, run.screen.out), 0);
    EXPECT_EQ(run.screen.held.str(),
              "{0A}Устройство вывода звука успешно инициализировано.\n"
              "{03}Количество каналов: {07}2\n"
              "{03}Частота дискретизации: {07}192000{03} Гц\n"
              "{03}Глубина квантования: {07}32{03} бит\n"
              "\n{63}{60}для возврата к предыдущему параметру наберите{6F} -1{0F}\n" +
                  kAskCount + kAskHz + kAskHz + kAskCount);
    EXPECT_EQ(run.program.sines.toneCount, 3);
    EXPECT_EQ(run.program.sines.inputValue(0), -1.0);
    EXPECT_EQ(run.device->count("close"), 1U);
    EXPECT_EQ(run.device->violations(), std::vector<std::string>{});
}

}  // namespace
