#include "app/device_notices.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ostream>

#include "app/console.h"
#include "threading/worker_thread.h"

std::mutex& screenMutex() {
    static std::mutex mutex;
    return mutex;
}

void printDeviceNotice(std::ostream& out, WaveOutEvent event) {
    switch (event) {
        case WaveOutEvent::DeviceLost:
            out << fgLightRed << "Ошибка: " << fgWhite
                << "Связь с устройством вывода звука потеряна, идёт переподключение." << '\n'
                << std::flush;
            break;
        case WaveOutEvent::DeviceRestored:
            // Back to the colour of the user's typing, which the question set.
            out << fgLightGreen << "Связь с устройством вывода звука восстановлена." << fgWhite
                << '\n'
                << std::flush;
            break;
    }
}

// The ring has one writer (the hook) and one reader (the printer); `posted` counts the events
// written, and `wakes` changes with every post and with the end, so that the printer can sleep
// on it. A printer that fell a whole ring behind skips to the latest events.
struct DeviceNoticeRelay::State {
    explicit State(std::ostream& out) : out(out) {}

    std::ostream& out;
    static constexpr uint32_t kRingSize = 16;
    std::array<std::atomic<WaveOutEvent>, kRingSize> ring{};
    std::atomic<uint32_t> posted{0};
    std::atomic<uint32_t> wakes{0};
    std::atomic<bool> ending{false};

    std::mutex endMutex;
    std::condition_variable ended;
    bool printerEnded = false;  // guarded by endMutex

    void wake() {
        wakes.fetch_add(1, std::memory_order_release);
        wakes.notify_one();
    }
};

DeviceNoticeRelay::DeviceNoticeRelay(std::ostream& out) : state(std::make_shared<State>(out)) {}

DeviceNoticeRelay::~DeviceNoticeRelay() {
    if (!printer.joinable()) {
        return;
    }
    state->ending = true;
    state->wake();
    std::unique_lock lock(state->endMutex);
    if (state->ended.wait_for(lock, kEndLimit, [this] { return state->printerEnded; })) {
        lock.unlock();
        printer.join();
    } else {
        printer.detach();  // stuck in a write; its state lives on with it
    }
}

bool DeviceNoticeRelay::start() {
    return printer.joinable() || createWorkerThread(printer, &DeviceNoticeRelay::print, state);
}

std::function<void(WaveOutEvent)> DeviceNoticeRelay::hook() const {
    return [state = state](WaveOutEvent event) {
        const uint32_t index = state->posted.load(std::memory_order_relaxed);
        state->ring[index % State::kRingSize].store(event, std::memory_order_relaxed);
        state->posted.store(index + 1, std::memory_order_release);
        state->wake();
    };
}

void DeviceNoticeRelay::print(const std::shared_ptr<State>& state) {
    uint32_t printed = 0;
    for (;;) {
        const uint32_t seen = state->wakes.load(std::memory_order_acquire);
        const uint32_t posted = state->posted.load(std::memory_order_acquire);
        if (posted - printed > State::kRingSize) {
            printed = posted - State::kRingSize;
        }
        for (; printed != posted; ++printed) {
            const WaveOutEvent event =
                state->ring[printed % State::kRingSize].load(std::memory_order_relaxed);
            std::lock_guard screen(screenMutex());
            printDeviceNotice(state->out, event);
        }
        if (state->ending) {
            break;
        }
        state->wakes.wait(seen, std::memory_order_acquire);
    }
    {
        std::lock_guard lock(state->endMutex);
        state->printerEnded = true;
    }
    state->ended.notify_all();
}
