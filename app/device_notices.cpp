#include "app/device_notices.h"

#include <mutex>
#include <ostream>

#include "app/console.h"

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

std::function<void(WaveOutEvent)> deviceNoticePrinter(std::ostream& out) {
    return [&out](WaveOutEvent event) {
        std::lock_guard lock(screenMutex());
        printDeviceNotice(out, event);
    };
}
