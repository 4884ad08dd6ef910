// The texts the program writes, as the user reads them ("\n" is a line end), shared by the
// end-to-end tests of the Linux and the Windows program.
#pragma once

#include <string>

inline const std::string kDeviceReport =
    "Устройство вывода звука успешно инициализировано.\n"
    "Количество каналов: 2\n"
    "Частота дискретизации: 192000 Гц\n"
    "Глубина квантования: 32 бит\n";
inline const std::string kHint = "\nдля возврата к предыдущему параметру наберите -1\n";
inline const std::string kAskCount = "\nВведите количество тонов: ";
inline const std::string kAskFrequency = "Введите частоту основного тона (Гц): ";
inline const std::string kFailureReport =
    "Ошибка: Подходящее устройство вывода звука не найдено.\n"
    "нажмите любую клавишу для выхода.\n";
inline const std::string kDeviceLost =
    "Ошибка: Связь с устройством вывода звука потеряна, идёт переподключение.\n";
inline const std::string kDeviceRestored = "Связь с устройством вывода звука восстановлена.\n";
