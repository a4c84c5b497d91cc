// The main window of class "kelvaro".
#pragma once

#include <windows.h>

extern HINSTANCE g_hInstance;
extern HWND g_hwndMain;
extern HMENU g_hMenu;
extern HBRUSH g_markerBrush;
extern LONG g_testsStarted;    // test threads started from the menu

extern const char kWindowClassName[];
extern const char kWindowTitle[];

ATOM registerWindowClass(HINSTANCE instance);
bool createMainWindow(HINSTANCE instance, int showCommand);
LRESULT CALLBACK mainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
