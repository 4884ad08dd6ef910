// The progress line of a file render, and the relay of the device notices, which must never
// hold the playback thread.
#include "app/render_progress.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <sstream>

#include "app/device_notices.h"
#include "tests/threading/bounded_wait.h"

namespace {

using namespace std::chrono_literals;

// Catches a wrong bar, share or time left, a line drawn in the first second or after a quiet
// start, and a line that is not erased.
TEST(RenderProgress, DrawsOnlyAfterASecondAndErasesItsLine) {
    EXPECT_EQ(progressLine(0.5, 3605s), "Запись: [##########          ]  50 %, осталось 60:05");
    EXPECT_EQ(progressLine(1.5, -3s), "Запись: [####################] 100 %, осталось 0:00");
    const auto start = RenderProgress::Clock::now();
    for (const bool shown : {true, false}) {
        std::ostringstream err;
        {
            RenderProgress progress(err, shown, 1000, start);
            progress.update(100, start + 900ms);
            EXPECT_EQ(err.str(), "");
            progress.update(250, start + 2s);  // a quarter in 2 s: 6 s to go
        }
        const std::string line = "Запись: [#####               ]  25 %, осталось 0:06";
        EXPECT_EQ(err.str(), shown ? "\r" + line + "\r" + std::string(51, ' ') + "\r" : "");
    }
}

// A stream buffer whose writes wait until the test lets them through.
struct GatedBuffer : std::stringbuf {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    int sync() override {
        std::unique_lock lock(mutex);
        opened.wait_for(lock, kPatience, [this] { return open; });
        return 0;
    }
    void letThrough() {
        std::lock_guard lock(mutex);
        open = true;
        opened.notify_all();
    }
};

// Catches a hook that writes or waits itself, notices printed out of order or lost, and a relay
// whose end waits for a printer that is stuck.
TEST(DeviceNoticeRelay, TheHookNeverWaitsAndTheNoticesComeInOrder) {
    GatedBuffer gate;
    std::ostream out(&gate);
    {
        DeviceNoticeRelay relay(out);
        ASSERT_TRUE(relay.start());
        const auto hook = relay.hook();
        completesWithin(
            [&] {
                for (int i = 0; i < 2; ++i) {
                    hook(WaveOutEvent::DeviceLost);
                    hook(WaveOutEvent::DeviceRestored);
                }
            },
            "the hook while the console is stuck", 1s);
        gate.letThrough();
    }  // the printer writes what is recorded before the relay ends
    const std::string pair =
        "Ошибка: Связь с устройством вывода звука потеряна, идёт переподключение.\n"
        "Связь с устройством вывода звука восстановлена.\n";
    EXPECT_EQ(gate.str(), pair + pair);

    // Never destroyed: the printer that is let go may still write into them.
    static GatedBuffer& stuck = *new GatedBuffer;
    static std::ostream& never = *new std::ostream(&stuck);
    completesWithin(
        [&] {
            DeviceNoticeRelay held(never);
            ASSERT_TRUE(held.start());
            held.hook()(WaveOutEvent::DeviceLost);
        },
        "the end of a relay whose printer is stuck", 5s);
    stuck.letThrough();
}

}  // namespace
