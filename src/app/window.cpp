#include "app/window.h"

#include "app/page.h"
#include "app/resource.h"
#include "core/clock.h"
#include "core/log.h"
#include "measure/harness.h"
#include "measure/logschema.h"
#include "measure/tests.h"
#include "vsync/vsync.h"

#include <mmsystem.h>

HINSTANCE g_hInstance = nullptr;
std::atomic<HWND> g_hwndMain{nullptr};
HMENU g_hMenu = nullptr;
HBRUSH g_markerBrush = nullptr;
LONG g_testsStarted = 0;

static int32_t g_mouseX = 0;
static int32_t g_mouseY = 0;
static int64_t g_mouseMoveTick = 0;
static int64_t g_prevMouseMoveTick = 0;
static uint32_t nNumPaints = 0;    // counts in unsigned arithmetic, shown as %d

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
    HWND window = CreateWindowExA(0, kWindowClassName, kWindowTitle, WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr, instance,
                                  nullptr);
    g_hwndMain = window;
    if (window == nullptr)
        return false;
    g_hMenu = GetMenu(window);
    g_markerBrush = CreateSolidBrush(RGB(255, 128, 128));
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return true;
}

void requestRepaint()
{
    HWND window = g_hwndMain;
    if (window != nullptr)
        InvalidateRect(window, nullptr, TRUE);
}

HANDLE startThread(LPTHREAD_START_ROUTINE entry)
{
    return CreateThread(nullptr, 0, entry, nullptr, 0, nullptr);
}

void playWaveResource(const char* name)
{
    HRSRC found = FindResourceA(g_hInstance, name, "WAVE");
    HGLOBAL loaded = found != nullptr ? LoadResource(g_hInstance, found) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes != nullptr)
        sndPlaySoundA(static_cast<LPCSTR>(bytes), SND_ASYNC | SND_NODEFAULT | SND_MEMORY);
}

bool isRepaintOnMouseMove()
{
    const UINT state = GetMenuState(g_hMenu, IDM_SETTINGS_REPAINTONMOUSEMOVE, MF_BYCOMMAND);
    // 0xFFFFFFFF means "no such item", not "checked".
    return state != static_cast<UINT>(-1) && (state & MF_CHECKED) != 0;
}

int runMessageLoop(HACCEL accelerators, GetMessageFunction getMessage)
{
    MSG message;
    BOOL result;
    while ((result = getMessage(&message, nullptr, 0, 0)) > 0) {
        if (TranslateAcceleratorA(message.hwnd, accelerators, &message) == 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return result == 0 ? static_cast<int>(message.wParam) : 0;
}

void paintMainWindow(HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);

    char testLine[kTestLineSize] = "";
    if (g_testRunning)
        formatTestLine(testLine, sizeof testLine);
    const double mouseMs = ticksToMs(g_mouseMoveTick - g_prevMouseMoveTick);
    ++nNumPaints;
    char status[200];
    vsyncGetStatus(status);
    char page[kPageTextSize];
    formatPage(page, sizeof page, status, testLine, nNumPaints, g_mouseX, g_mouseY, mouseMs);
    DrawTextA(dc, page, -1, &client, DT_CENTER);

    RECT marker = {g_mouseX - 4, g_mouseY - 4, g_mouseX + 4, g_mouseY + 4};
    FillRect(dc, &marker, g_markerBrush);
    EndPaint(window, &paint);
}

INT_PTR CALLBACK aboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM /*lParam*/)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

static void toggleRepaintOnMouseMove()
{
    logPrintf("IDM_SETTINGS_REPAINTONMOUSEMOVE");
    const UINT flip = isRepaintOnMouseMove() ? MF_UNCHECKED : MF_CHECKED;
    CheckMenuItem(g_hMenu, IDM_SETTINGS_REPAINTONMOUSEMOVE, MF_BYCOMMAND | flip);
}

// Starts a test thread unless one runs. The busy flag is set here, before the thread
// exists, so that two quick commands can never start two tests.
static void startTest(LPTHREAD_START_ROUTINE entry)
{
    if (g_testRunning.exchange(true))
        return;
    HANDLE thread = startThread(entry);
    if (thread == nullptr) {
        g_testRunning = false;
        return;
    }
    ++g_testsStarted;
    CloseHandle(thread);
}

// Returns false for commands this window does not handle.
static bool onCommand(HWND window, WORD command)
{
    switch (command) {
    case IDM_HELP_ABOUT:
        DialogBoxParamA(g_hInstance, MAKEINTRESOURCEA(IDD_ABOUT), g_hwndMain, aboutDlgProc, 0);
        return true;
    case IDM_FILE_EXIT:
        DestroyWindow(window);
        return true;
    case IDM_SETTINGS_REPAINTONMOUSEMOVE:
        toggleRepaintOnMouseMove();
        return true;
    case IDM_TESTS_RUNALL:
        startTest(runAllTests);
        return true;
    case IDM_TESTS_DDRAW600:
        startTest(runExtendedDirectDraw);
        return true;
    case IDM_TESTS_D3DKMT600:
        startTest(runExtendedD3dkmt);
        return true;
    case IDM_TESTS_DWMGTI3600:
        startTest(runExtendedDwmTiming);
        return true;
    case IDM_TESTS_QUORVELLUMETRA:
        startTest(runExtendedQuorvelLumetra);
        return true;
    case IDM_TESTS_DXGI600:
        startTest(runExtendedDxgi);
        return true;
    case IDM_TESTS_CLOCK600:
        startTest(runExtendedCompositorClock);
        return true;
    default:
        return false;
    }
}

static void onMouseMove(LPARAM lParam)
{
    g_prevMouseMoveTick = g_mouseMoveTick;
    g_mouseMoveTick = tick();
    g_mouseX = static_cast<int16_t>(LOWORD(lParam));
    g_mouseY = static_cast<int16_t>(HIWORD(lParam));
    if (isRepaintOnMouseMove())
        requestRepaint();
}

static void onPing(WPARAM wParam, LPARAM lParam)
{
    const int64_t delay = pingDelayTicks(static_cast<uint32_t>(tick()), static_cast<uint32_t>(lParam));
    logPrintf(testSchema(LogTest::MessageLoop).rowFormat, static_cast<int>(wParam), ticksToUs(delay));
}

LRESULT CALLBACK mainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        paintMainWindow(window);
        return 0;
    case WM_COMMAND:
        if (onCommand(window, LOWORD(wParam)))
            return 0;
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_MOUSEMOVE:
        onMouseMove(lParam);
        return 0;
    case WM_LBUTTONDBLCLK: {
        HANDLE slide = startThread(mouseslide);
        if (slide != nullptr)
            CloseHandle(slide);
        return 0;
    }
    case WM_MSGLOOP_PING:
        onPing(wParam, lParam);
        return 0;
    case WM_DISPLAYCHANGE:
        vsyncDisplayChanged();
        return DefWindowProcA(window, message, wParam, lParam);
    case WM_DESTROY:
        logPrintf("WM_DESTROY");
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
