// Entry point: banner, main window, message loop, then the orderly shutdown that
// prints the whole log to standard output.
#include "app/banner.h"
#include "app/resource.h"
#include "app/window.h"
#include "core/clock.h"
#include "core/log.h"
#include "measure/harness.h"
#include "virtual/virtual_display.h"
#include "vsync/vsync.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

static void logWindowsVersion()
{
    logVersionLine(static_cast<uint32_t>(GetVersion()));
}

static void logBanner()
{
    logPrintf("========== Startup ==========");
    logPrintf("kelvaro.exe build: %s %s", __DATE__, __TIME__);
    logLocalTime();
    logWindowsVersion();
    logPrintf("QueryPerformanceFrequency=%I64d", tickFrequency);
    logPrintf("QueryPerformanceCounter=%I64d", tickBase);
    logPrintf("");
}

static void printLog()
{
    int32_t length = 0;
    const char* text = logFetch(&length);
    std::fwrite(text, 1, static_cast<size_t>(length), stdout);
    std::fflush(stdout);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/,
                   int showCommand)
{
    _setmode(_fileno(stdout), _O_BINARY);
    tickInit();
    logBanner();
    // With KELVARO_VIRTUAL_DISPLAY set, the display functions answer from the virtual
    // display; it must be in place before the vsync server binds anything.
    virtualDisplayInstallFromEnvironment();
    vsyncStart();

    registerWindowClass(instance);
    if (!createMainWindow(instance, showCommand))
        return 0;
    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDR_MAINMENU));

    const int exitCode = runMessageLoop(accelerators);

    g_appRunning = false;
    Sleep(50);
    vsyncStop();
    logPrintf("Exiting...");
    Sleep(10);
    if (g_testsStarted != 0)
        writeReport();
    printLog();
    return exitCode;
}
