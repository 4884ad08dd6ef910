// Console control events on Windows: SetConsoleCtrlHandler calls the handler on a thread that
// the platform creates for each event. The handler has the program's steps run once on the
// handler thread, waits for them at most kHandlerLimit, and answers "not handled", so that the
// platform passes the event on and its default handler ends the process. A mutex keeps the
// destructor from uninstalling while a handler runs.
#include "app/control_events.h"

#include <windows.h>

#include <mutex>
#include <stdexcept>
#include <utility>

#include "threading/deadline_runner.h"

struct ControlEvents::Listener {
    Listener(std::function<void()> handler, std::string lateNotice)
        : handler(std::move(handler)), lateNotice(std::move(lateNotice)) {}
    DeadlineRunner handler;
    const std::string lateNotice;
};

namespace {

std::mutex g_handlerMutex;
ControlEvents::Listener* g_handler = nullptr;  // guarded by g_handlerMutex
bool g_handled = false;                        // guarded by g_handlerMutex

// Writes `text` to standard error where that cannot wait for a reader: a console or a file.
void writeIfReady(const std::string& text) {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    const DWORD type =
        err == INVALID_HANDLE_VALUE || err == nullptr ? FILE_TYPE_UNKNOWN : GetFileType(err);
    if (text.empty() || (type != FILE_TYPE_CHAR && type != FILE_TYPE_DISK)) {
        return;
    }
    DWORD written = 0;
    WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

BOOL WINAPI consoleControlHandler(DWORD) {
    std::lock_guard<std::mutex> guard(g_handlerMutex);
    if (g_handler != nullptr && !g_handled) {
        g_handled = true;
        if (!g_handler->handler.runWithin(ControlEvents::kHandlerLimit)) {
            writeIfReady(g_handler->lateNotice);
        }
    }
    return FALSE;
}

}  // namespace

ControlEvents::ControlEvents(std::function<void()> handler, std::string lateNotice)
    : listener(std::make_unique<Listener>(std::move(handler), std::move(lateNotice))) {
    if (!listener->handler.start()) {
        throw std::runtime_error("ControlEvents: no thread");
    }
    {
        std::lock_guard<std::mutex> guard(g_handlerMutex);
        if (g_handler != nullptr) {
            throw std::logic_error("ControlEvents: only one at a time");
        }
        g_handler = listener.get();
        g_handled = false;
    }
    SetConsoleCtrlHandler(consoleControlHandler, TRUE);
}

ControlEvents::~ControlEvents() {
    SetConsoleCtrlHandler(consoleControlHandler, FALSE);
    std::lock_guard<std::mutex> guard(g_handlerMutex);
    g_handler = nullptr;
}
