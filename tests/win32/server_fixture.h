// The vsync server bound to the virtual display on a window of its own: the set-up and
// clean-up that the Win32 tests of the server, the paced tests and the estimator share.
#pragma once

#include "app/window.h"
#include "core/bound.h"
#include "core/clock.h"
#include "virtual/virtual_display.h"
#include "vsync/vsync.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

// Installs the virtual display with a profile text; the next calls of the bound wrappers
// bind to it.
inline bool installProfile(const std::string& text)
{
    VirtualProfile profile;
    std::string why;
    if (!virtualProfileParse(text, &profile, &why) || !virtualDisplayInstall(profile))
        return false;
    bound::resetBindingsForTest();
    return true;
}

// Removes it and the bindings made with it.
inline void uninstallDisplay()
{
    virtualDisplayUninstall();
    bound::resetBindingsForTest();
}

// A plain window at a place on the desktop, for the server to find its monitor by.
inline HWND makeServerWindow(int x, int y, int width = 100, int height = 100)
{
    return CreateWindowExA(0, "STATIC", "vsync server test", WS_POPUP, x, y, width, height,
                           nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

// Starts the server on the window; true once its first pulse came.
inline bool startServer(HWND window, DWORD timeoutMs = 5000)
{
    // Once per process: a tick base moved back under a server would hold its checks back.
    if (tickFrequency == 0)
        tickInit();
    g_hwndMain = window;
    vsyncStart();
    return vsyncWait(timeoutMs);
}

// Stops the server (a parked one is let go first), forgets and destroys the window.
inline void stopServer(HWND window)
{
    vsyncSuspend(false);
    vsyncStop();
    g_hwndMain = nullptr;
    if (window != nullptr)
        DestroyWindow(window);
}

// A test with the server bound to the virtual display of a profile.
class ServerOnVirtualDisplay : public ::testing::Test {
protected:
    void start(const std::string& profile)
    {
        ASSERT_TRUE(installProfile(profile)) << profile;
        m_window = makeServerWindow(0, 0);
        ASSERT_NE(nullptr, m_window);
        ASSERT_TRUE(startServer(m_window)) << "the server did not bind to the virtual display";
    }
    void TearDown() override
    {
        stopServer(m_window);
        m_window = nullptr;
        uninstallDisplay();
    }
    HWND m_window = nullptr;
};
