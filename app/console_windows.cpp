#include "app/console_windows.h"

#include <windows.h>
// commdlg.h needs the types of windows.h.
#include <commdlg.h>

#include <atomic>
#include <clocale>
#include <cstdlib>
#include <cstring>

namespace {

constexpr UINT kCyrillicCodePage = 1251;

// The console's code pages before the program changed them; 0 once given back, or when there
// was no console to ask.
std::atomic<UINT> g_previousInputCodePage{0};
std::atomic<UINT> g_previousOutputCodePage{0};

void restoreCodePages() {
    const UINT input = g_previousInputCodePage.exchange(0);
    const UINT output = g_previousOutputCodePage.exchange(0);
    if (input != 0) {
        SetConsoleCP(input);
    }
    if (output != 0) {
        SetConsoleOutputCP(output);
    }
}

// Ctrl+C, Ctrl+Break, closing the console, logging off and shutting down end the process by the
// platform's default handler, which runs no atexit function: give the code pages back first and
// pass the event on.
BOOL WINAPI restoreCodePagesOnControlEvent(DWORD) {
    restoreCodePages();
    return FALSE;
}

}  // namespace

WindowsConsoleEffect::WindowsConsoleEffect() : consoleOut(GetStdHandle(STD_OUTPUT_HANDLE)) {}

void WindowsConsoleEffect::selectRussianText() {
    std::setlocale(LC_ALL, "Russian");
    // Only the first call notes the console's own code pages; a later one would note 1251.
    static const bool noted = [] {
        g_previousInputCodePage = GetConsoleCP();
        g_previousOutputCodePage = GetConsoleOutputCP();
        std::atexit(restoreCodePages);
        SetConsoleCtrlHandler(restoreCodePagesOnControlEvent, TRUE);
        return true;
    }();
    (void)noted;
    SetConsoleOutputCP(kCyrillicCodePage);
    SetConsoleCP(kCyrillicCodePage);
}

void WindowsConsoleEffect::applyAttribute(uint16_t attribute) {
    SetConsoleTextAttribute(consoleOut, attribute);
}

int WindowsConsoleEffect::clearScreen() {
    return std::system("cls");
}

bool WindowsConsoleEffect::writeConsole(const char* text) {
    DWORD written = 0;
    return WriteConsoleA(consoleOut, text, static_cast<DWORD>(std::strlen(text)), &written,
                         nullptr) != 0;
}

bool WindowsConsoleEffect::setCursorPosition(uint16_t column, uint16_t row) {
    COORD position;
    position.X = static_cast<SHORT>(column);
    position.Y = static_cast<SHORT>(row);
    return SetConsoleCursorPosition(consoleOut, position) != 0;
}

bool WindowsConsoleEffect::setTitle(const char* title) {
    return SetConsoleTitleA(title) != 0;
}

int WindowsConsoleEffect::chooseAudioFile(char* path) {
    // One description and pattern pair, each ended by a NUL, the list ended by a second NUL
    // (the literal adds the last one).
    static const char filter[] = "audio files\0*.wav;*.mp3;*.flac;*.wma;*.ape\0";
    static char emptyText[] = "";
    path[0] = '\0';
    OPENFILENAMEA dialog;
    std::memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = nullptr;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 0;
    dialog.lpstrFile = path;
    dialog.nMaxFile = kAudioPathBytes;
    dialog.lpstrInitialDir = emptyText;
    dialog.lpstrTitle = emptyText;
    dialog.Flags = 0;
    dialog.lpstrDefExt = ".mp3";
    return GetOpenFileNameA(&dialog);
}
