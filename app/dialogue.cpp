#include "app/dialogue.h"

#include <istream>
#include <limits>
#include <mutex>
#include <ostream>

#include "app/console.h"
#include "app/device_notices.h"

namespace {

// A line end: a newline, then the stream is flushed.
std::ostream& endLine(std::ostream& out) {
    return out << '\n' << std::flush;
}

}  // namespace

void printError(std::ostream& out, const char* message) {
    std::lock_guard screen(screenMutex());
    out << fgLightRed << "Ошибка: " << fgWhite << message << endLine;
}

void runFailureReport(std::istream& in, std::ostream& out) {
    printError(out, "Подходящее устройство вывода звука не найдено.");
    waitForAnyKey(in, out);
}

void waitForAnyKey(std::istream& in, std::ostream& out) {
    out << fgGray << "нажмите любую клавишу для выхода." << endLine;
    in.get();
}

namespace {

void printFormat(std::ostream& out, const DeviceFormat& format) {
    out << fgCyan << "Количество каналов: " << fgGray << format.channels << endLine;
    out << fgCyan << "Частота дискретизации: " << fgGray << format.rateHz << fgCyan << " Гц"
        << endLine;
    out << fgCyan << "Глубина квантования: " << fgGray << format.bits << fgCyan << " бит"
        << endLine;
}

}  // namespace

void printDeviceReport(std::ostream& out, const DeviceFormat& format, const std::string& outputName,
                       int32_t serverRateHz) {
    std::lock_guard screen(screenMutex());
    out << fgLightGreen << "Устройство вывода звука успешно инициализировано." << endLine;
    if (!outputName.empty()) {
        out << fgCyan << "Вывод: " << fgGray << outputName << endLine;
    }
    printFormat(out, format);
    if (serverRateHz > 0) {
        out << fgCyan << "Сервер воспроизводит с частотой: " << fgGray << serverRateHz << fgCyan
            << " Гц" << endLine;
    }
}

void printFileReport(std::ostream& out, const std::string& path, const DeviceFormat& format) {
    std::lock_guard screen(screenMutex());
    out << fgCyan << "Файл: " << fgGray << path << endLine;
    printFormat(out, format);
}

void printHint(std::ostream& out) {
    std::lock_guard screen(screenMutex());
    out << endLine;
    out << bgDarkYellow << fgBlack << "для возврата к предыдущему параметру наберите" << fgWhite
        << " -1" << bgBlack << endLine;
}

Dialogue::Dialogue(std::istream& in, std::ostream& out, ToneChanges& changes,
                   const std::atomic<bool>& exitRequested)
    : in(in), out(out), changes(changes), exitRequested(exitRequested) {}

void Dialogue::run() {
    if (exitRequested) {
        return;
    }
    answer = 0;
    State state = State::AskCount;
    while (state != State::Ended) {
        state = state == State::AskCount ? askCount() : askFrequency();
    }
}

Dialogue::State Dialogue::askCount() {
    {
        std::lock_guard screen(screenMutex());
        out << endLine << fgGray << "Введите количество тонов: " << fgWhite;
    }
    switch (readAnswer()) {
        case Read::EndOfInput:
            return State::Ended;
        case Read::Failed:
            rejectInput();
            return State::AskCount;
        case Read::Number:
            break;
    }
    if (answer == 0) {
        return State::AskCount;
    }
    if (answer < 0) {
        return State::Ended;
    }
    const bool accepted = changes.setToneCount(answer);
    answer = 0;
    if (!accepted) {
        // Too many tones for the tone source: refused like a number that could not be read.
        rejectInput();
        return State::AskCount;
    }
    return State::AskFrequency;
}

Dialogue::State Dialogue::askFrequency() {
    if (exitRequested) {
        answer = 0;
        return State::Ended;
    }
    {
        std::lock_guard screen(screenMutex());
        out << fgGray << "Введите частоту основного тона (Гц): " << fgWhite;
    }
    const Read read = readAnswer();
    if (read == Read::EndOfInput) {
        return State::Ended;
    }
    if (read == Read::Failed) {
        // A refused answer leaves the sound as it is.
        rejectInput();
        return State::AskFrequency;
    }
    // Every answer is written, a negative one too.
    changes.setFrequency(static_cast<double>(answer));
    if (answer >= 0) {
        return State::AskFrequency;
    }
    answer = 0;
    return exitRequested ? State::Ended : State::AskCount;
}

Dialogue::Read Dialogue::readAnswer() {
    // Extraction into `answer` itself would store 0 or the range limit on a failure; a failed
    // read must leave the last answer in place.
    int32_t number = 0;
    if (in >> number) {
        answer = number;
        return Read::Number;
    }
    return in.eof() ? Read::EndOfInput : Read::Failed;
}

void Dialogue::rejectInput() {
    in.clear();
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    printError(out, "Неправильный формат данных.");
}
