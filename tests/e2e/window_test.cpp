// End-to-end: the main window of a running kelvaro.exe, driven from outside like a user
// would: its page and marker on the screen, the Settings item, the About box, a
// message-loop ping, and the closing lines of its log. Each test starts a tool of its own
// and closes it. The tool runs on Wine's own display functions, where no vsync server
// binds, so that nothing but what a test does repaints the window; a paint is known to have
// happened when the paint counter the page shows has moved on.
#include "e2e/driver.h"
#include "e2e/logcheck.h"
#include "e2e/screen_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr UINT kPingMessage = WM_USER + 7;
constexpr WORD kSettingsCommand = 32772;
constexpr WORD kAboutCommand = 104;
constexpr unsigned kMarker = 0xFF8080;    // RGB(255, 128, 128)
constexpr int kCounterLine = 3;           // status, empty, test line, then the counter's line

// The paint counter the page shows ("nNumPaints=%d    MOUSE x=%d y=%d ms=..."), read back
// from the pixels digit by digit; -1 when the line does not read.
int readPaintCount(const Capture& capture)
{
    std::string text = "nNumPaints=";
    if (textLineDiffers(capture, kCounterLine, text) != 0.0)
        return -1;
    for (bool more = true; more;) {
        more = false;
        for (char digit = '0'; digit <= '9' && !more; ++digit) {
            if (textLineDiffers(capture, kCounterLine, text + digit) == 0.0) {
                text += digit;
                more = true;
            }
        }
    }
    return text.size() > 11 ? std::atoi(text.c_str() + 11) : -1;
}

// Whether the page's counter line shows this paint count and mouse position.
bool showsCounterLine(const Capture& capture, int paints, int x, int y)
{
    return textLineDiffers(capture, kCounterLine,
                           "nNumPaints=" + std::to_string(paints) + "    MOUSE x=" +
                               std::to_string(x) + " y=" + std::to_string(y)) == 0.0;
}

class MainWindow : public ::testing::Test {
protected:
    DrivenProcess driven;
    std::string outputPath;

    void SetUp() override
    {
        outputPath = programFolder() + "e2e-window-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".out.txt";
        // Keep the pointer away from where the window appears, so that no mouse move
        // reaches it before the screenshot.
        SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
        ASSERT_TRUE(driverStart(programFolder() + "kelvaro.exe", outputPath, "KELVARO_VIRTUAL_DISPLAY=",
                                driven));
        ASSERT_TRUE(driverWaitWindow(driven, 60000)) << "kelvaro.exe did not show its window";
        driverKeepOnTop(driven.window);
    }
    void TearDown() override { driverRelease(driven); }

    // Closes the tool and gives its log, after the checks every close must pass.
    std::vector<std::string> closeAndRead()
    {
        DWORD exitCode = 99;
        EXPECT_TRUE(driverClose(driven, 60000, &exitCode));
        EXPECT_EQ(0u, exitCode);
        std::vector<std::string> lines;
        std::string problem;
        EXPECT_TRUE(splitLogLines(readWholeFile(outputPath), lines, &problem)) << problem;
        EXPECT_TRUE(checkBanner(lines, &problem)) << problem;
        EXPECT_TRUE(checkClosing(lines, 1, &problem)) << problem;   // no test: no report
        return lines;
    }

    // The client area, or only its top rows (enough for the counter line, and quick).
    Capture capture(int rows = 0) const
    {
        Capture shot;
        EXPECT_TRUE(driverCaptureClient(driven.window, shot, "", rows));
        return shot;
    }

    // Waits until the page shows a paint count above `after`; gives it, or -1.
    int waitForPaintAfter(int after, DWORD timeoutMs) const
    {
        const DWORD start = GetTickCount();
        do {
            const int paints = readPaintCount(capture(100));
            if (paints > after)
                return paints;
            Sleep(10);
        } while (GetTickCount() - start < timeoutMs);
        return -1;
    }

    // The window has handled everything posted to it before: two sent messages in turn, the
    // second of which it only takes up after the posted messages in between.
    void settle() const
    {
        DWORD_PTR result = 0;
        for (int i = 0; i < 2; ++i)
            SendMessageTimeoutA(driven.window, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &result);
    }

    static bool markerAt(const Capture& shot, int x, int y)
    {
        if (x < 4 || y < 4 || x + 4 >= shot.width || y + 4 >= shot.height)
            return false;
        return shot.at(x - 4, y - 4) == kMarker && shot.at(x + 3, y + 3) == kMarker &&
               shot.at(x + 4, y + 4) != kMarker;
    }

    // Repaint on mouse move on: the move's own paint shows the new position on the counter
    // line, and the marker there (below the page's text, which it would hide).
    void expectMarkerFollows(int x, int y)
    {
        const int before = readPaintCount(capture());
        ASSERT_GE(before, 0) << "the paint counter does not read";
        PostMessageA(driven.window, WM_MOUSEMOVE, 0, MAKELPARAM(x, y));
        const int after = waitForPaintAfter(before, 5000);
        ASSERT_GT(after, before) << "no paint after the move";
        const Capture shot = capture();
        EXPECT_TRUE(showsCounterLine(shot, after, x, y)) << "the paint did not see the move";
        EXPECT_TRUE(markerAt(shot, x, y)) << "the marker did not follow";
    }
};

TEST_F(MainWindow, PaintsCentredPageAndMarkerAtTopLeft)
{
    ASSERT_GE(waitForPaintAfter(0, 5000), 1) << "never painted";
    Capture shot;
    ASSERT_TRUE(driverCaptureClient(driven.window, shot, programFolder() + "e2e-window.bmp"));
    ASSERT_GT(shot.width, 40);
    ASSERT_GT(shot.height, 40);
    // Before any mouse move the marker is the 4 by 4 corner of a square around (0, 0).
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(kMarker, shot.at(x, y)) << "at " << x << "," << y;
    EXPECT_NE(kMarker, shot.at(4, 0));
    EXPECT_NE(kMarker, shot.at(0, 4));

    // The text is centred: ink in the middle third of the top lines, none at the edges.
    const unsigned background = shot.at(shot.width - 1, shot.height - 1);
    int inkMiddle = 0;
    int inkEdges = 0;
    for (int y = 0; y < 80 && y < shot.height; ++y) {
        for (int x = 0; x < shot.width; ++x) {
            if (shot.at(x, y) == background || shot.at(x, y) == kMarker)
                continue;
            if (x > shot.width / 3 && x < 2 * shot.width / 3)
                ++inkMiddle;
            else if (x < shot.width / 10 || x > shot.width - shot.width / 10)
                ++inkEdges;
        }
    }
    EXPECT_GT(inkMiddle, 50) << "no text painted in the middle (see e2e-window.bmp)";
    EXPECT_EQ(0, inkEdges) << "text reaches the edges (see e2e-window.bmp)";
    // The counter line reads as the page writes it.
    EXPECT_TRUE(showsCounterLine(shot, readPaintCount(shot), 0, 0)) << "see e2e-window.bmp";
    closeAndRead();
}

TEST_F(MainWindow, MouseMoveMovesTheMarkerWhileRepaintOnMouseMoveIsOn)
{
    ASSERT_GE(waitForPaintAfter(0, 5000), 1);
    expectMarkerFollows(30, 120);
    EXPECT_NE(kMarker, capture().at(0, 0)) << "the old marker was not erased";
    closeAndRead();
}

// The check mark of the Settings item is the setting itself; other processes cannot read
// another's menu everywhere, so it is read back through what it does. Off, a mouse move asks
// for no paint: a paint that provably came after the move (of one line, away from the
// marker) leaves the marker where it was; on again, the marker follows.
TEST_F(MainWindow, SettingsItemTurnsRepaintOnMouseMoveOffAndOnAgain)
{
    ASSERT_GE(waitForPaintAfter(0, 5000), 1);
    ASSERT_TRUE(driverCommand(driven, kSettingsCommand));
    settle();
    const Capture before = capture();
    const int paints = readPaintCount(before);
    ASSERT_GE(paints, 0);
    PostMessageA(driven.window, WM_MOUSEMOVE, 0, MAKELPARAM(60, 150));
    settle();
    // Repaint the counter's line only: a paint of the whole window, had the move asked for
    // one, would draw the marker at the new place too.
    const int lineHeight = renderInk("0").height;
    RECT line = {0, kCounterLine * lineHeight, before.width, (kCounterLine + 1) * lineHeight};
    ASSERT_TRUE(InvalidateRect(driven.window, &line, FALSE));
    const int after = waitForPaintAfter(paints, 5000);
    ASSERT_GT(after, paints) << "no paint came";
    const Capture shot = capture();
    EXPECT_TRUE(showsCounterLine(shot, after, 60, 150)) << "the move was not handled before the paint";
    EXPECT_FALSE(markerAt(shot, 60, 150)) << "still repaints on mouse move";
    EXPECT_EQ(kMarker, shot.at(0, 0)) << "the old marker went";

    ASSERT_TRUE(driverCommand(driven, kSettingsCommand));
    settle();
    expectMarkerFollows(90, 200);

    const std::vector<std::string> lines = closeAndRead();
    const size_t first = findLine(lines, "IDM_SETTINGS_REPAINTONMOUSEMOVE");
    ASSERT_NE(kNoLine, first);
    EXPECT_NE(kNoLine, findLine(lines, "IDM_SETTINGS_REPAINTONMOUSEMOVE", first + 1));
}

TEST_F(MainWindow, AboutBoxOpensOnItsCommandAndClosesWithOk)
{
    ASSERT_EQ(nullptr, driverFindWindow(driven.processId, "#32770", "About", 0));
    ASSERT_TRUE(driverCommand(driven, kAboutCommand));
    HWND about = driverFindWindow(driven.processId, "#32770", "About", 10000);
    ASSERT_NE(nullptr, about) << "no About box appeared";
    char text[128] = "";
    GetDlgItemTextA(about, IDOK, text, sizeof text);
    EXPECT_STREQ("OK", text);
    PostMessageA(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(driverWaitGone(about, 10000)) << "the About box stayed open";
    closeAndRead();
}

TEST_F(MainWindow, PingPostedJustBeforeTheLowTickBitsWrapped)
{
    // lParam stands 10,000 ticks before the low 32 bits of the tool's tick wrap; the tool's
    // tick is far below 2^32 (it started seconds ago), so the true delay is its tick at
    // handling plus those 10,000 ticks.
    const int64_t ahead = 10000;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    ASSERT_TRUE(PostMessageA(driven.window, kPingMessage, 7,
                             static_cast<LPARAM>(static_cast<DWORD>(0u - 10000u))));
    settle();
    const std::vector<std::string> lines = closeAndRead();

    // The ping's row: "7", tab to column 12, the delay in microseconds.
    const size_t ping = findMatch(lines, "7 {11}[0-9]+\\.[0-9]");
    ASSERT_NE(kNoLine, ping) << "no ping row in the log";
    const double loggedUs = std::strtod(lines[ping].c_str() + 12, nullptr);
    const int64_t tickBase = std::strtoll(lines[5].c_str() + std::strlen("QueryPerformanceCounter="),
                                          nullptr, 10);
    const double frequency = std::strtod(lines[4].c_str() + std::strlen("QueryPerformanceFrequency="),
                                         nullptr);
    const double atLeastUs = static_cast<double>(now.QuadPart - tickBase + ahead) * 1e6 / frequency;
    EXPECT_GE(loggedUs, atLeastUs - 1.0);
    EXPECT_LE(loggedUs, atLeastUs + 5e6) << "the delay is not the small true one";
}

TEST_F(MainWindow, ClosesWithTheWindowThenTheServerThenItsLastLine)
{
    const std::vector<std::string> lines = closeAndRead();
    // The window goes, then the vsync server ends, then the tool says it exits.
    const size_t destroyed = findLine(lines, "WM_DESTROY");
    ASSERT_NE(kNoLine, destroyed);
    ASSERT_GE(lines.size(), destroyed + 4);
    for (size_t i = destroyed + 1; i + 2 < lines.size(); ++i)
        EXPECT_TRUE(lineMatches(lines[i], "[-+.a-zA-Z]*vsync.*")) << "unexpected: " << lines[i];
    EXPECT_EQ("-vsyncThread()", lines[lines.size() - 3]);
}

}  // namespace
