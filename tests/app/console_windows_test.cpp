// The console code pages on Windows (run under Wine): the program switches the console to code
// page 1251 for its Russian texts and must give the user's console back its own code pages when
// it ends, whether it returns or is ended by a console control event. Each case runs the
// program's side in a child process (a death test) that shares this process's console.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/console.h"
#include "tests/threading/bounded_wait.h"

namespace {

constexpr UINT kUsersCodePage = 437;

// Swallows the control event that the child sends to the whole console.
BOOL WINAPI swallow(DWORD) {
    return TRUE;
}

bool codePagesAre(UINT codePage) {
    return GetConsoleCP() == codePage && GetConsoleOutputCP() == codePage;
}

bool giveUsersCodePages() {
    return SetConsoleCP(kUsersCodePage) && SetConsoleOutputCP(kUsersCodePage) &&
           codePagesAre(kUsersCodePage);
}

// Catches code pages never switched, or left switched after a normal exit or after Ctrl+C.
TEST(WindowsConsoleDeathTest, TheCodePagesAreGivenBackOnEveryWayOut) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    if (!giveUsersCodePages()) {
        GTEST_SKIP() << "no console";
    }
    // The handler stays for the whole process: the event may reach it late.
    SetConsoleCtrlHandler(swallow, TRUE);
    EXPECT_EXIT((selectTextLocale(), std::exit(codePagesAre(1251) ? 0 : 2)),
                testing::ExitedWithCode(0), "");
    EXPECT_TRUE(codePagesAre(kUsersCodePage)) << "after a normal exit";
    ASSERT_TRUE(giveUsersCodePages());
    // Ctrl+C: the child's handlers run, this process's swallow handler keeps the child alive
    // afterwards, and _Exit runs no atexit function, so only a control handler can have given
    // the code pages back.
    EXPECT_EXIT((selectTextLocale(), GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0),
                 std::_Exit(eventually([] { return codePagesAre(kUsersCodePage); }) ? 0 : 3)),
                testing::ExitedWithCode(0), "");
    EXPECT_TRUE(codePagesAre(kUsersCodePage)) << "after Ctrl+C";
}

}  // namespace
