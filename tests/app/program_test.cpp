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
// the device open, with no device, with no thread for the device notices and with no playback
// thread; and a thread failure taken for a missing device or for success.
TEST(Program, WithoutADeviceOrAThreadReportsTheFailure) {
    const struct {
        bool deviceRefuses;
        int threads;  // that can be created
        const char* message;
        int status;
    } table[] = {
        {true, 1, "Подходящее устройство вывода звука не найдено.", 0},
        {false, 0, "Не удаётся запустить поток сообщений об устройстве вывода звука.", 1},
        {false, 1, "Не удаётся запустить поток воспроизведения звука.", 1},
    };
    for (const auto& t : table) {
        ProgramRun run(t.deviceRefuses ? TestWaveDevice::refuseAll() : TestWaveDevice::acceptAll(),
                       "x\n-1\n");
        const WorkerCreationFault noThread(t.threads);
        EXPECT_EQ(run.program.run(run.in, run.screen.out), t.status);
        EXPECT_EQ(run.screen.held.str(), std::string("{0C}Ошибка: {0F}") + t.message +
                                             "\n{07}нажмите любую клавишу для выхода.\n");
        EXPECT_EQ(run.in.tellg(), 1);
        EXPECT_FALSE(run.device->isOpen());
    }
}

// Catches a missing or changed device report or hint (a colour half lost, or changed before the
// text before it was out), the output or the server's rate left out, a wrong channel count asked
// for, a dialogue that does not reach the tone source or the stream's name, and a close that is
// skipped or repeated.
TEST(Program, ReportsTheDeviceAndPlaysWhatTheDialogueSetsThenCloses) {
    ProgramRun run(TestWaveDevice::acceptAll(), "3\n440\n-1\n-1\n");
    run.device->reportedName = "PipeWire";
    run.device->reportedServerRate = 48000;
    EXPECT_EQ(run.program.run(run.in, run.screen.out), 0);
    EXPECT_EQ(run.screen.held.str(),
              "{0A}Устройство вывода звука успешно инициализировано.\n"
              "{03}Вывод: {07}PipeWire\n"
              "{03}Количество каналов: {07}2\n"
              "{03}Частота дискретизации: {07}192000{03} Гц\n"
              "{03}Глубина квантования: {07}32{03} бит\n"
              "{03}Сервер воспроизводит с частотой: {07}48000{03} Гц\n"
              "\n{63}{60}для возврата к предыдущему параметру наберите{6F} -1{0F}\n" +
                  kAskCount + kAskHz + kAskHz + kAskCount);
    EXPECT_EQ(run.program.sines.toneCount, 3);
    EXPECT_EQ(run.program.sines.inputValue(0), -1.0);
    EXPECT_EQ(run.device->count("close"), 1U);
    EXPECT_EQ(run.device->violations(), std::vector<std::string>{});
    EXPECT_EQ(run.device->describedStreams(),
              (std::vector<std::string>{"1 тон, тишина", "3 тона, тишина", "3 тона от 440 Гц",
                                        "3 тона, тишина"}));
}

}  // namespace
