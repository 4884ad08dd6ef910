// The program over the scripted device: the failure exit, the device report and the dialogue
// while the playback thread renders, and a console control event racing the main thread's close.
#include "app/program.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
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
#include "tests/synthesis/sample_rate_guard.h"
#include "threading/worker_thread.h"

namespace {

using namespace std::chrono_literals;

// Runs `before` when the reader first asks for input, then hands out `text`.
class ScriptedInput : public std::streambuf {
  public:
    ScriptedInput(std::string text, std::function<void()> before)
        : text(std::move(text)), before(std::move(before)) {}

  protected:
    int_type underflow() override {
        if (before) {
            std::exchange(before, nullptr)();
            setg(text.data(), text.data(), text.data() + text.size());
        }
        return gptr() < egptr() ? traits_type::to_int_type(*gptr()) : traits_type::eof();
    }

  private:
    std::string text;
    std::function<void()> before;
};

// A wired program over a test device, its transcript with colour marks; the device's buffers
// are finished as they are written, so that the playback thread keeps rendering.
struct ProgramRun {
    explicit ProgramRun(TestWaveDevice::FormatFilter accepts) {
        auto layer = std::make_unique<TestWaveDevice>(std::move(accepts));
        device = layer.get();
        program = std::make_unique<Program>(std::move(layer));
        console.attach(out);
        program->wire();
        pump = std::thread([this] {
            for (size_t written = 1; !stop;) {
                if (device->waitForCount("write", written, 20ms)) {
                    device->finishOldest();
                    ++written;
                }
            }
        });
    }
    ~ProgramRun() {
        stop = true;
        pump.join();
    }
    int run(
        const std::string& text, std::function<void()> before = [] {}) {
        ScriptedInput script(text, std::move(before));
        std::istream in(&script);
        const int status = program->run(in, out);
        rest = in.rdbuf()->in_avail();
        return status;
    }

    SampleRateGuard rate{g_sampleRate};
    std::ostringstream out;
    Console console{std::make_unique<MarkingEffect>(out)};
    TestWaveDevice* device = nullptr;
    std::unique_ptr<Program> program;
    std::atomic<bool> stop{false};
    std::thread pump;
    std::streamsize rest = 0;
};

// Catches a failure report that is missing, takes more than one character or leaves the device
// open, with no device and with no playback thread.
TEST(Program, WithoutADeviceOrAPlaybackThreadReportsTheFailure) {
    for (const bool threadFails : {false, true}) {
        SCOPED_TRACE(threadFails ? "no playback thread" : "no device");
        ProgramRun run(threadFails ? TestWaveDevice::acceptAll() : TestWaveDevice::refuseAll());
        std::optional<WorkerCreationFault> noThread;
        if (threadFails) {
            noThread.emplace(0);
        }
        EXPECT_EQ(run.run("x\n-1\n"), 0);
        EXPECT_EQ(run.out.str(),
                  "{0C}Ошибка: {0F}Подходящее устройство вывода звука не найдено.\n"
                  "{07}нажмите любую клавишу для выхода.\n");
        EXPECT_EQ(run.rest, 4);
        EXPECT_FALSE(run.device->isOpen());
    }
}

// Catches a missing device report or hint, a dialogue that does not reach the tone source, and
// a close that is skipped or repeated.
TEST(Program, ReportsTheDeviceAndPlaysWhatTheDialogueSetsThenCloses) {
    ProgramRun run(TestWaveDevice::acceptAll());
    EXPECT_EQ(run.run("3\n440\n-1\n-1\n"), 0);
    EXPECT_EQ(run.out.str(),
              "{0A}Устройство вывода звука успешно инициализировано.\n"
              "{03}Количество каналов: {07}2\n"
              "{03}Частота дискретизации: {07}192000{03} Гц\n"
              "{03}Глубина квантования: {07}32{03} бит\n"
              "\n{63}{60}для возврата к предыдущему параметру наберите{6F} -1{0F}\n"
              "\n{07}Введите количество тонов: {0F}{07}Введите частоту основного тона (Гц): {0F}"
              "{07}Введите частоту основного тона (Гц): {0F}\n{07}Введите количество тонов: {0F}");
    EXPECT_EQ(run.program->sines.toneCount, 3);
    EXPECT_EQ(run.program->sines.inputValue(0), -1.0);
    EXPECT_EQ(run.device->count("close"), 1U);
    EXPECT_EQ(run.device->violations(), std::vector<std::string>{});
}

// Catches a device closed twice, or not at all, when a control event and the normal end meet.
TEST(Program, ControlEventRacingTheMainThreadsCloseClosesTheDeviceOnce) {
    for (int round = 0; round < 10; ++round) {
        ProgramRun run(TestWaveDevice::acceptAll());
        std::thread handler([&] {
            run.device->waitForCount("write", 1, 5s);
            run.program->onControlEvent();
        });
        EXPECT_EQ(run.run("-1\n", [&] { run.device->waitForCount("write", 1, 5s); }), 0);
        handler.join();
        EXPECT_EQ(run.device->count("close"), 1U);
        EXPECT_EQ(run.device->count("reset"), 1U);
        EXPECT_EQ(run.device->violations(), std::vector<std::string>{});
    }
}

}  // namespace
