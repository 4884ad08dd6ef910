// Console control events on Windows: SetConsoleCtrlHandler calls the handler on a thread that
// the platform creates for each event. The handler runs the program's steps once and answers
// "not handled", so that the platform passes the event on and its default handler ends the
// process. A mutex keeps the destructor from uninstalling while a handler runs.
#include "app/control_events.h"

#include <windows.h>

#include <mutex>
#include <stdexcept>
#include <utility>

namespace {

std::mutex g_handlerMutex;
std::function<void()>* g_handler = nullptr;  // guarded by g_handlerMutex
bool g_handled = false;                      // guarded by g_handlerMutex

BOOL WINAPI consoleControlHandler(DWORD) {
    std::lock_guard<std::mutex> guard(g_handlerMutex);
    if (g_handler != nullptr && !g_handled) {
        g_handled = true;
        (*g_handler)();
    }
    return FALSE;
}

}  // namespace

struct ControlEvents::Listener {
    std::function<void()> handler;
};

ControlEvents::ControlEvents(std::function<void()> handler)
    : listener(std::make_unique<Listener>()) {
    listener->handler = std::move(handler);
    {
        std::lock_guard<std::mutex> guard(g_handlerMutex);
        if (g_handler != nullptr) {
            throw std::logic_error("ControlEvents: only one at a time");
        }
        g_handler = &listener->handler;
        g_handled = false;
    }
    SetConsoleCtrlHandler(consoleControlHandler, TRUE);
}

ControlEvents::~ControlEvents() {
    SetConsoleCtrlHandler(consoleControlHandler, FALSE);
    std::lock_guard<std::mutex> guard(g_handlerMutex);
    g_handler = nullptr;
}
