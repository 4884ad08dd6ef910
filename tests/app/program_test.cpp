// The program's start-up and its exits over a scripted device: the wiring and start values, the
// failure exit, the device report and the dialogue while the playback thread renders, and a
// console control event racing the main thread's close.
#include "app/program.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <istream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "app/console.h"
#include "tests/app/dialogue_harness.h"
#include "tests/output/test_wave_device.h"
#include "threading/worker_thread.h"

namespace {

using namespace std::chrono_literals;

// Restores the program-wide sampling rate that opening a device changes.
class SampleRateRestorer {
  public:
    SampleRateRestorer() : saved(g_sampleRate) {}
    ~SampleRateRestorer() { g_sampleRate = saved; }

  private:
    int32_t saved;
};

// A wired program over a test device, writing its transcript with colour marks.
struct ProgramRun {
    explicit ProgramRun(TestWaveDevice::FormatFilter accepts) {
        auto layer = std::make_unique<TestWaveDevice>(std::move(accepts));
        device = layer.get();
        program = std::make_unique<Program>(std::move(layer));
        console.attach(out);
        program->wire();
    }

    int run(ScriptedInput& script) {
        std::istream in(&script);
        return program->run(in, out);
    }

    SampleRateRestorer rate;
    std::ostringstream out;
    Console console{std::make_unique<MarkingEffect>(out)};
    TestWaveDevice* device = nullptr;
    std::unique_ptr<Program> program;
};

// Finishes the device's buffers as they are written, so that the playback thread keeps
// rendering while a test runs.
class BufferPump {
  public:
    explicit BufferPump(TestWaveDevice& device)
        : thread([this, &device] {
              size_t written = 1;
              while (!stop) {
                  if (device.waitForCount("write", written, 20ms)) {
                      device.finishOldest();
                      ++written;
                  }
              }
          }) {}
    ~BufferPump() {
        stop = true;
        thread.join();
    }

  private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

const std::string kAskCount = "\n{07}Введите количество тонов: {0F}";
const std::string kAskFrequency = "{07}Введите частоту основного тона (Гц): {0F}";

TEST(Program, WiringFeedsBothFrontChannelsAndStartsSilent) {
    ProgramRun run(TestWaveDevice::acceptAll());
    Program& p = *run.program;
    EXPECT_EQ(p.waveOut.inputSources[0], &p.sines.outputs[0]);
    EXPECT_EQ(p.waveOut.inputSources[1], &p.sines.outputs[0]);
    for (int32_t input = 2; input < p.waveOut.inputCount(); ++input) {
        EXPECT_FALSE(p.waveOut.isConnected(input)) << input;
    }
    ASSERT_EQ(p.container.childCount(), 2U);
    EXPECT_EQ(&p.container.childAt(0), &p.sines);
    EXPECT_EQ(&p.container.childAt(1), &p.waveOut);
    EXPECT_EQ(p.sines.inputValue(0), 0.0);
    EXPECT_EQ(p.sines.inputValue(1), 0.707);
    for (int frame = 0; frame < 8; ++frame) {
        p.container.process();
        EXPECT_EQ(p.waveOut.inputValue(0), 0.0);
    }
}

TEST(Program, WithoutADeviceOrAPlaybackThreadReportsTheFailureAndWaitsForOneCharacter) {
    for (const bool threadFails : {false, true}) {
        SCOPED_TRACE(threadFails ? "the playback thread cannot start" : "no device");
        ProgramRun run(threadFails ? TestWaveDevice::acceptAll() : TestWaveDevice::refuseAll());
        std::optional<WorkerCreationFault> noThread;
        if (threadFails) {
            noThread.emplace(0);
        }
        ScriptedInput script({{"x\n-1\n", nullptr}}, nullptr);
        EXPECT_EQ(run.run(script), 0);
        EXPECT_EQ(run.out.str(),
                  "{0C}Ошибка: {0F}Подходящее устройство вывода звука не найдено.\n"
                  "{07}нажмите любую клавишу для выхода.\n");
        EXPECT_EQ(script.sgetc(), '\n');
        EXPECT_FALSE(run.device->isOpen());
    }
}

TEST(Program, ReportsTheDeviceAndPlaysWhatTheDialogueSetsThenCloses) {
    ProgramRun run(TestWaveDevice::acceptAll());
    BufferPump pump(*run.device);
    ScriptedInput script({{"3\n", nullptr}, {"440\n", nullptr}, {"-1\n-1\n", nullptr}}, nullptr);
    EXPECT_EQ(run.run(script), 0);
    const std::string text = run.out.str();
    EXPECT_NE(text.find("{03}Количество каналов: {07}2\n"
                        "{03}Частота дискретизации: {07}192000{03} Гц\n"
                        "{03}Глубина квантования: {07}32{03} бит\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("{0F}\n" + kAskCount + kAskFrequency + kAskFrequency + kAskCount),
              std::string::npos)
        << text;
    EXPECT_EQ(run.program->sines.toneCount, 3);
    EXPECT_EQ(run.program->sines.inputValue(0), -1.0);
    EXPECT_FALSE(run.device->isOpen());
    EXPECT_EQ(run.device->count("close"), 1U);
    EXPECT_EQ(run.device->violations(), std::vector<std::string>{});
}

TEST(Program, ControlEventRacingTheMainThreadsCloseClosesTheDeviceOnce) {
    for (int round = 0; round < 10; ++round) {
        ProgramRun run(TestWaveDevice::acceptAll());
        BufferPump pump(*run.device);
        std::thread handler([&] {
            run.device->waitForCount("write", 1, 5s);
            run.program->onControlEvent();
        });
        ScriptedInput script({{"-1\n",
                               [&] {
                                   // Let the dialogue end while the handler may be closing.
                                   run.device->waitForCount("write", 1, 5s);
                               }}},
                             nullptr);
        EXPECT_EQ(run.run(script), 0);
        handler.join();
        EXPECT_EQ(run.device->count("close"), 1U);
        EXPECT_EQ(run.device->count("reset"), 1U);
        EXPECT_EQ(run.device->violations(), std::vector<std::string>{});
    }
}

}  // namespace
