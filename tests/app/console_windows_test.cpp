// The console code pages on Windows (run under Wine): the program switches the console to code
// page 1251 for its Russian texts and must give the user's console back its own code pages when
// it ends, whether it returns or is ended by a console control event. Each case runs the
// program's side in a child process (a death test) that shares this process's console.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "app/console.h"

namespace {

constexpr UINT kUsersCodePage = 437;

// Swallows the control event that the child sends to the whole console.
BOOL WINAPI swallow(DWORD) {
    return TRUE;
}

// Gives the console the user's code pages; false when there is no console to change.
bool consoleWithUsersCodePages() {
    return SetConsoleCP(kUsersCodePage) != 0 && SetConsoleOutputCP(kUsersCodePage) != 0 &&
           GetConsoleCP() == kUsersCodePage && GetConsoleOutputCP() == kUsersCodePage;
}

bool waitForCodePages(UINT codePage) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (GetConsoleCP() != codePage || GetConsoleOutputCP() != codePage) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(WindowsConsoleDeathTest, TheCodePagesAreGivenBackOnEveryWayOut) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (!consoleWithUsersCodePages()) {
        GTEST_SKIP() << "no console";
    }
    // The handler stays for the whole process: the event may reach it late.
    SetConsoleCtrlHandler(swallow, TRUE);

    EXPECT_EXIT(
        {
            selectTextLocale();
            std::exit(GetConsoleCP() == 1251 && GetConsoleOutputCP() == 1251 ? 0 : 2);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(GetConsoleCP(), kUsersCodePage) << "after a normal exit";
    EXPECT_EQ(GetConsoleOutputCP(), kUsersCodePage) << "after a normal exit";

    ASSERT_TRUE(consoleWithUsersCodePages());
    // Ctrl+C: the child's handlers run, this process's swallow handler keeps the child alive
    // afterwards, and _Exit runs no atexit function, so only a control handler can have given
    // the code pages back.
    EXPECT_EXIT(
        {
            selectTextLocale();
            GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
            std::_Exit(waitForCodePages(kUsersCodePage) ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EQ(GetConsoleCP(), kUsersCodePage) << "after Ctrl+C";
    EXPECT_EQ(GetConsoleOutputCP(), kUsersCodePage) << "after Ctrl+C";
}

}  // namespace
