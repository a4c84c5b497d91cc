// The main window of class "kelvaro", and the window services other threads call.
#pragma once

#include <windows.h>

#include <atomic>

#define WM_MSGLOOP_PING (WM_USER + 7)

extern HINSTANCE g_hInstance;
extern std::atomic<HWND> g_hwndMain;    // null until the window exists; read by other threads
extern HMENU g_hMenu;
extern HBRUSH g_markerBrush;
extern LONG g_testsStarted;    // test threads started from the menu

extern const char kWindowClassName[];
extern const char kWindowTitle[];

ATOM registerWindowClass(HINSTANCE instance);
bool createMainWindow(HINSTANCE instance, int showCommand);
LRESULT CALLBACK mainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void paintMainWindow(HWND window);
INT_PTR CALLBACK aboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
bool isRepaintOnMouseMove();

// Runs the message loop with the accelerators until GetMessage gives 0 (WM_QUIT) or -1 (an
// error). Returns the exit code: WM_QUIT's wParam, or 0 after an error, when the message
// was never filled. The message source can be replaced for tests.
using GetMessageFunction = BOOL(WINAPI*)(LPMSG message, HWND window, UINT first, UINT last);
int runMessageLoop(HACCEL accelerators, GetMessageFunction getMessage = GetMessageA);

// Callable from any thread.
void requestRepaint();
HANDLE startThread(LPTHREAD_START_ROUTINE entry);
void playWaveResource(const char* name);
