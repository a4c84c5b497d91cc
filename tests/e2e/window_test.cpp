// End-to-end: the main window of a running kelvaro.exe, driven from outside like a user
// would: its page and marker on the screen, the Settings item, the About box, a
// message-loop ping, and the closing lines of its log. One tool run serves the suite;
// the tests run in the order written and the last one closes the tool. The tool runs
// on Wine's own display functions, where no vsync server binds, so that nothing but
// what a test does repaints the window.
#include "e2e/driver.h"
#include "e2e/logcheck.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr UINT kPingMessage = WM_USER + 7;
constexpr WORD kSettingsCommand = 32772;
constexpr WORD kAboutCommand = 104;
constexpr unsigned kMarker = 0xFF8080;    // RGB(255, 128, 128)

class MainWindow : public ::testing::Test {
protected:
    static DrivenProcess driven;
    static std::string outputPath;
    static int64_t pingPostedCounter;    // performance counter just before the ping
    static int64_t pingAheadTicks;       // how far its lParam was past the low 32 bits

    static void SetUpTestSuite()
    {
        outputPath = programFolder() + "e2e-window.out.txt";
        // Keep the pointer away from where the window appears, so that no mouse move
        // reaches it before the screenshot.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        if (driverStart(programFolder() + "kelvaro.exe", outputPath, "KELVARO_VIRTUAL_DISPLAY=",
                        driven))
            driverWaitWindow(driven, 60000);
    }
    static void TearDownTestSuite() { driverRelease(driven); }

    void SetUp() override
    {
        ASSERT_NE(nullptr, driven.window) << "kelvaro.exe did not show its window";
    }

    static HWND findAbout(DWORD timeoutMs)
    {
        return driverFindWindow(driven.processId, "#32770", "About", timeoutMs);
    }
};

DrivenProcess MainWindow::driven;
std::string MainWindow::outputPath;
int64_t MainWindow::pingPostedCounter = 0;
int64_t MainWindow::pingAheadTicks = 0;

TEST_F(MainWindow, PaintsCentredPageAndMarkerAtTopLeft)
{
    Sleep(500);    // let the first paints settle
    Capture capture;
    ASSERT_TRUE(driverCaptureClient(driven.window, capture, programFolder() + "e2e-window.bmp"));
    ASSERT_GT(capture.width, 40);
    ASSERT_GT(capture.height, 40);
    // Before any mouse move the marker is the 4 by 4 corner of a square around (0, 0).
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(kMarker, capture.at(x, y)) << "at " << x << "," << y;
    EXPECT_NE(kMarker, capture.at(4, 0));
    EXPECT_NE(kMarker, capture.at(0, 4));

    // The text is centred: ink in the middle third of the top lines, none at the edges.
    const unsigned background = capture.at(capture.width - 1, capture.height - 1);
    int inkMiddle = 0;
    int inkEdges = 0;
    for (int y = 0; y < 80 && y < capture.height; ++y) {
        for (int x = 0; x < capture.width; ++x) {
            if (capture.at(x, y) == background || capture.at(x, y) == kMarker)
                continue;
            if (x > capture.width / 3 && x < 2 * capture.width / 3)
                ++inkMiddle;
            else if (x < capture.width / 10 || x > capture.width - capture.width / 10)
                ++inkEdges;
        }
    }
    EXPECT_GT(inkMiddle, 50) << "no text painted in the middle (see e2e-window.bmp)";
    EXPECT_EQ(0, inkEdges) << "text reaches the edges (see e2e-window.bmp)";
}

// Moves the mouse in the window and tells whether the marker was painted there.
static bool markerFollows(HWND window, int x, int y)
{
    PostMessageA(window, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
    Sleep(300);
    Capture capture;
    if (!driverCaptureClient(window, capture, ""))
        return false;
    return capture.at(x - 4, y - 4) == kMarker && capture.at(x + 3, y + 3) == kMarker &&
           capture.at(x + 4, y + 4) != kMarker;
}

TEST_F(MainWindow, MouseMoveMovesTheMarkerWhileRepaintOnMouseMoveIsOn)
{
    EXPECT_TRUE(markerFollows(driven.window, 30, 20));
    Capture capture;
    ASSERT_TRUE(driverCaptureClient(driven.window, capture, ""));
    EXPECT_NE(kMarker, capture.at(0, 0)) << "the old marker was not erased";
}

// The check mark of the Settings item is the setting itself; other processes cannot read
// another's menu everywhere, so it is read back through what it does.
TEST_F(MainWindow, SettingsItemTurnsRepaintOnMouseMoveOffAndOnAgain)
{
    ASSERT_TRUE(driverCommand(driven, kSettingsCommand));
    EXPECT_FALSE(markerFollows(driven.window, 60, 40)) << "still repaints on mouse move";
    ASSERT_TRUE(driverCommand(driven, kSettingsCommand));
    EXPECT_TRUE(markerFollows(driven.window, 90, 60)) << "the check mark was not restored";
}

TEST_F(MainWindow, AboutBoxOpensOnItsCommandAndClosesWithOk)
{
    ASSERT_EQ(nullptr, findAbout(0));
    ASSERT_TRUE(driverCommand(driven, kAboutCommand));
    HWND about = findAbout(10000);
    ASSERT_NE(nullptr, about) << "no About box appeared";
    char text[128] = "";
    GetDlgItemTextA(about, IDOK, text, sizeof text);
    EXPECT_STREQ("OK", text);
    PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(driverWaitGone(about, 10000)) << "the About box stayed open";
}

TEST_F(MainWindow, PingPostedJustBeforeTheLowTickBitsWrapped)
{
    // lParam stands 10,000 ticks before the low 32 bits of the tool's tick wrap; the
    // tool's tick is far below 2^32 (it started seconds ago), so the true delay is its
    // tick at handling plus those 10,000 ticks. Checked against the log at close.
    pingAheadTicks = 10000;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    pingPostedCounter = now.QuadPart;
    ASSERT_TRUE(PostMessageA(driven.window, kPingMessage, 7,
                             static_cast<LPARAM>(static_cast<DWORD>(0u - 10000u))));
    Sleep(200);
}

TEST_F(MainWindow, ClosesCleanlyAndLogsWhatItWasAsked)
{
    DWORD exitCode = 99;
    ASSERT_TRUE(driverClose(driven, 60000, &exitCode));
    EXPECT_EQ(0u, exitCode);
    std::vector<std::string> lines;
    std::string problem;
    ASSERT_TRUE(splitLogLines(readWholeFile(outputPath), lines, &problem)) << problem;
    EXPECT_TRUE(checkBanner(lines, &problem)) << problem;

    const size_t first = findLine(lines, "IDM_SETTINGS_REPAINTONMOUSEMOVE");
    ASSERT_NE(kNoLine, first);
    EXPECT_NE(kNoLine, findLine(lines, "IDM_SETTINGS_REPAINTONMOUSEMOVE", first + 1));

    // The ping's row: "7", tab to column 12, the delay in microseconds.
    const size_t ping = findMatch(lines, "7 {11}[0-9]+\\.[0-9]");
    ASSERT_NE(kNoLine, ping) << "no ping row in the log";
    const double loggedUs = std::strtod(lines[ping].c_str() + 12, nullptr);
    const int64_t tickBase = std::strtoll(lines[5].c_str() + std::strlen("QueryPerformanceCounter="),
                                          nullptr, 10);
    const double frequency = std::strtod(lines[4].c_str() + std::strlen("QueryPerformanceFrequency="),
                                         nullptr);
    const double atLeastUs =
        static_cast<double>(pingPostedCounter - tickBase + pingAheadTicks) * 1e6 / frequency;
    EXPECT_GE(loggedUs, atLeastUs - 1.0);
    EXPECT_LE(loggedUs, atLeastUs + 5e6) << "the delay is not the small true one";

    // The window goes, then the vsync server ends, then the tool says it exits.
    const size_t destroyed = findLine(lines, "WM_DESTROY");
    ASSERT_NE(kNoLine, destroyed);
    ASSERT_GE(lines.size(), destroyed + 4);
    for (size_t i = destroyed + 1; i + 2 < lines.size(); ++i)
        EXPECT_TRUE(lineMatches(lines[i], "[-+.a-zA-Z]*vsync.*")) << "unexpected: " << lines[i];
    EXPECT_EQ("-vsyncThread()", lines[lines.size() - 3]);
    EXPECT_TRUE(checkClosing(lines, 1, &problem)) << problem;
}

}  // namespace
