#include "app/window.h"

#include "app/resource.h"
#include "core/log.h"

HINSTANCE g_hInstance = nullptr;
HWND g_hwndMain = nullptr;
HMENU g_hMenu = nullptr;
HBRUSH g_markerBrush = nullptr;
LONG g_testsStarted = 0;

const char kWindowClassName[] = "kelvaro";
const char kWindowTitle[] = "kelvaro -- See README.md, section Reporting results";

ATOM registerWindowClass(HINSTANCE instance)
{
    WNDCLASSEXA wc;
    wc.cbSize = sizeof wc;
    wc.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = mainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));    // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    wc.lpszMenuName = MAKEINTRESOURCEA(IDR_MAINMENU);
    wc.lpszClassName = kWindowClassName;
    wc.hIconSm = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN_SMALL));
    return RegisterClassExA(&wc);
}

bool createMainWindow(HINSTANCE instance, int showCommand)
{
    g_hInstance = instance;
    g_hwndMain = CreateWindowExA(0, kWindowClassName, kWindowTitle, WS_OVERLAPPEDWINDOW,
                                 CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr, instance,
                                 nullptr);
    if (g_hwndMain == nullptr)
        return false;
    g_hMenu = GetMenu(g_hwndMain);
    g_markerBrush = CreateSolidBrush(RGB(255, 128, 128));
    ShowWindow(g_hwndMain, showCommand);
    UpdateWindow(g_hwndMain);
    return true;
}

LRESULT CALLBACK mainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        logPrintf("WM_DESTROY");
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
