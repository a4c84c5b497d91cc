// The message loop's end: WM_QUIT's code, and 0 when GetMessage fails, whose message was
// never filled.
#include "app/window.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

int g_calls = 0;
int g_failAt = 0;       // the call that fails (-1); 0: none
int g_quitAt = 0;       // the call that gives WM_QUIT
WPARAM g_quitCode = 0;

BOOL WINAPI scriptedGetMessage(LPMSG message, HWND, UINT, UINT)
{
    ++g_calls;
    if (g_calls == g_failAt)
        return -1;   // as the system does: the message is left as it was
    std::memset(message, 0, sizeof *message);
    if (g_calls == g_quitAt) {
        message->message = WM_QUIT;
        message->wParam = g_quitCode;
        return 0;
    }
    message->message = WM_NULL;   // dispatched to no window
    message->wParam = 0x5A5A;
    return 1;
}

int run(int failAt, int quitAt, WPARAM quitCode)
{
    g_calls = 0;
    g_failAt = failAt;
    g_quitAt = quitAt;
    g_quitCode = quitCode;
    return runMessageLoop(nullptr, scriptedGetMessage);
}

TEST(MessageLoop, EndsWithTheQuitCodeOrZeroWhenGettingAMessageFails)
{
    EXPECT_EQ(7, run(0, 3, 7));
    EXPECT_EQ(3, g_calls);
    EXPECT_EQ(0, run(0, 1, 0));
    // A failure at once: the message was never filled, whatever its memory held.
    EXPECT_EQ(0, run(1, 0, 0));
    EXPECT_EQ(1, g_calls);
    // A failure after messages that carried another wParam.
    EXPECT_EQ(0, run(4, 0, 0));
    EXPECT_EQ(4, g_calls);
}

}   // namespace
