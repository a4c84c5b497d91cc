// The scan-line trace and the DirectDraw and D3DKMT vblank wait tests, on the virtual display
// at 60 Hz (whose timeline tells where each vblank truly began), with a spy between the
// tests and the stand-ins that counts what was opened, waited on, closed and released and
// can make chosen calls fail, and finally on Wine's own functions.
#include "app/window.h"
#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"
#include "core/logtext.h"
#include "measure/harness.h"
#include "measure/logschema.h"
#include "measure/tests.h"
#include "virtual/virtual_display.h"
#include "vsync/vsync.h"

#include "win32/display_truth.h"
#include "win32/log_support.h"
#include "win32/server_fixture.h"

#include "support/stats.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr bound::NTSTATUS kNoMemory = static_cast<bound::NTSTATUS>(0xC0000017);
constexpr bound::NTSTATUS kUnsuccessful = static_cast<bound::NTSTATUS>(0xC0000001);
constexpr bound::NTSTATUS kInvalidParameter = static_cast<bound::NTSTATUS>(0xC000000D);

// ---- Reading the log back ----------------------------------------------------------------

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}



// One row: its iteration, its tick and the rest of its columns.
struct Row {
    int iteration = -1;
    int64_t tick = 0;
    std::vector<double> values;
};

bool parseRow(const std::string& line, size_t columns, Row* row)
{
    std::istringstream in(line);
    long long value = 0;
    if (!(in >> row->iteration >> value))
        return false;
    row->tick = value;
    row->values.clear();
    double column = 0;
    while (in >> column)
        row->values.push_back(column);
    return in.eof() && row->values.size() == columns;
}


// How long after the true start of its vblank a logged tick lies, in microseconds, on the
// installed (ideal, 60 Hz) display.
double usAfterVblank(int64_t loggedTick)
{
    return Truth::installed().usAfterVblank(loggedTick);
}

// The compositor of the ideal display publishes each vblank as it begins, so a row's voff/us
// is its tick's distance from the true start of its vblank, to the row's rounding; a row whose
// thread was held up past the next vblank before the offset was taken may differ (a few; 5 of
// 59 seen on a host whose scheduler holds woken threads for milliseconds now and then).
void expectOffsetsFromTheTrueVblank(const std::vector<double>& late, const std::vector<double>& offset)
{
    int off = 0;
    for (size_t i = 0; i < late.size(); ++i)
        off += std::fabs(late[i] - offset[i]) > 0.051 ? 1 : 0;
    EXPECT_LE(off, static_cast<int>(late.size()) / 6) << "rows whose voff/us is not their distance from the true vblank";
}

// Checks the rows of one wait test: numbered first..first+count-1, each tick after the
// previous, period/ms (values[0]) matching the ticks; returns them.
std::vector<Row> expectRows(const std::vector<std::string>& lines, size_t from, size_t count,
                            int first, size_t columns)
{
    std::vector<Row> rows;
    EXPECT_GE(lines.size(), from + count);
    for (size_t k = 0; k < count && from + k < lines.size(); ++k) {
        Row row;
        EXPECT_TRUE(parseRow(lines[from + k], columns, &row)) << lines[from + k];
        EXPECT_EQ(first + static_cast<int>(k), row.iteration) << lines[from + k];
        if (!rows.empty()) {
            EXPECT_GT(row.tick, rows.back().tick);
            EXPECT_NEAR(ticksToMs(row.tick - rows.back().tick), row.values[0], 0.002);
        }
        rows.push_back(row);
    }
    return rows;
}

// ---- The spy between the tests and the virtual display ------------------------------------


using OpenFunction = bound::NTSTATUS(WINAPI*)(bound::D3DKMT_OPENADAPTERFROMHDC*);
using CloseFunction = bound::NTSTATUS(WINAPI*)(const bound::D3DKMT_CLOSEADAPTER*);
using WaitFunction = bound::NTSTATUS(WINAPI*)(const bound::D3DKMT_WAITFORVERTICALBLANKEVENT*);
using CreateFunction = HRESULT(WINAPI*)(GUID*, LPDIRECTDRAW*, IUnknown*);

struct Spy {
    bound::Resolver next = nullptr;          // the virtual display's resolver
    // Substitutes chosen by a test.
    std::vector<bound::DisplayDevice> devices;   // used when useDevices is set
    bool useDevices = false;
    std::set<int> failingOpens;              // 1-based call numbers
    std::set<int> failingWaits;
    bool directDrawFails = false;
    // What was seen.
    int opens = 0;
    std::vector<bound::D3DKMT_HANDLE> opened;
    std::vector<bound::D3DKMT_HANDLE> closed;
    std::vector<bound::NTSTATUS> closeStatus;
    std::vector<bound::D3DKMT_HANDLE> waitedOn;
    LPDIRECTDRAW directDraw = nullptr;       // holds one reference of its own
};

Spy g_spy;

template <typename Function>
Function forward(const char* module, const char* function)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(g_spy.next(module, function)));
}

bound::NTSTATUS WINAPI spyOpen(bound::D3DKMT_OPENADAPTERFROMHDC* open)
{
    if (g_spy.failingOpens.count(++g_spy.opens) != 0)
        return kNoMemory;   // as Wine's: the record is left untouched
    const bound::NTSTATUS status =
        forward<OpenFunction>("gdi32", "D3DKMTOpenAdapterFromHdc")(open);
    if (status == 0)
        g_spy.opened.push_back(open->hAdapter);
    return status;
}

bound::NTSTATUS WINAPI spyClose(const bound::D3DKMT_CLOSEADAPTER* close)
{
    g_spy.closed.push_back(close->hAdapter);
    const bound::NTSTATUS status = forward<CloseFunction>("gdi32", "D3DKMTCloseAdapter")(close);
    g_spy.closeStatus.push_back(status);
    return status;
}

bound::NTSTATUS WINAPI spyWait(const bound::D3DKMT_WAITFORVERTICALBLANKEVENT* wait)
{
    g_spy.waitedOn.push_back(wait->hAdapter);
    if (g_spy.failingWaits.count(static_cast<int>(g_spy.waitedOn.size())) != 0)
        return kUnsuccessful;
    return forward<WaitFunction>("gdi32", "D3DKMTWaitForVerticalBlankEvent")(wait);
}

BOOL WINAPI spyEnumDevices(LPCSTR, DWORD index, bound::DisplayDevice* device, DWORD)
{
    if (index >= g_spy.devices.size() || device->cb != sizeof *device)
        return FALSE;
    *device = g_spy.devices[index];
    return TRUE;
}

HRESULT WINAPI spyDirectDrawCreate(GUID* driver, LPDIRECTDRAW* directDraw, IUnknown* outer)
{
    if (g_spy.directDrawFails)
        return bound::kNotImplemented;
    const HRESULT result = forward<CreateFunction>("ddraw", "DirectDrawCreate")(driver, directDraw,
                                                                               outer);
    if (result == 0 && *directDraw != nullptr) {
        (*directDraw)->AddRef();
        g_spy.directDraw = *directDraw;
    }
    return result;
}

FARPROC spyResolver(const char* module, const char* function)
{
    const std::string name = std::string(module) + "!" + function;
    if (name == "gdi32!D3DKMTOpenAdapterFromHdc")
        return asFarproc(spyOpen);
    if (name == "gdi32!D3DKMTCloseAdapter")
        return asFarproc(spyClose);
    if (name == "gdi32!D3DKMTWaitForVerticalBlankEvent")
        return asFarproc(spyWait);
    if (name == "ddraw!DirectDrawCreate")
        return asFarproc(spyDirectDrawCreate);
    if (name == "user32!EnumDisplayDevicesA" && g_spy.useDevices)
        return asFarproc(spyEnumDevices);
    return g_spy.next(module, function);
}

bound::DisplayDevice displayDevice(const char* name, const char* description, DWORD flags)
{
    bound::DisplayDevice device = {};
    device.cb = sizeof device;
    std::snprintf(device.DeviceName, sizeof device.DeviceName, "%s", name);
    std::snprintf(device.DeviceString, sizeof device.DeviceString, "%s", description);
    device.StateFlags = flags;
    return device;
}

class VblankTests : public ::testing::Test {
protected:
    void SetUp() override
    {
        tickInit();
        g_appRunning = true;
        g_spy = Spy();
        ASSERT_TRUE(virtualDisplayInstall(VirtualProfile()));
        g_spy.next = bound::setResolver(spyResolver);
        ASSERT_NE(nullptr, g_spy.next);
        bound::resetBindingsForTest();
    }
    void TearDown() override
    {
        g_appRunning = true;
        if (g_spy.directDraw != nullptr)
            g_spy.directDraw->Release();
        bound::setResolver(nullptr);   // first, or uninstalling would put the spy back
        virtualDisplayUninstall();
        bound::resetBindingsForTest();
    }

    // Every adapter opened was closed once, successfully, and no other handle was.
    static void expectAdaptersClosed()
    {
        EXPECT_EQ(std::multiset<bound::D3DKMT_HANDLE>(g_spy.opened.begin(), g_spy.opened.end()),
                  std::multiset<bound::D3DKMT_HANDLE>(g_spy.closed.begin(), g_spy.closed.end()));
        for (const bound::NTSTATUS status : g_spy.closeStatus)
            EXPECT_EQ(0, status);
    }

    // Releases the spy's reference: 0 left means the test released its own.
    static ULONG releaseSpyReference()
    {
        const ULONG left = g_spy.directDraw->Release();
        g_spy.directDraw = nullptr;
        return left;
    }
};

// ---- On the virtual display ---------------------------------------------------------------

TEST_F(VblankTests, ScanLineTracesMoreThanAFrameWithTheBlankNegative)
{
    HWND window = makeServerWindow(0, 0);
    ASSERT_NE(nullptr, window);
    const bool bound = startServer(window);
    vsyncSuspend(true);   // as in the suite: parked, its output still readable

    const LogWatch watch;
    if (bound)
        testScanLine();
    stopServer(window);
    ASSERT_TRUE(bound) << "the vsync server did not bind to the virtual display";

    const std::vector<std::string> lines = watch.lines();
    size_t at = expectTitleAndHeader(lines, "ScanLine", "iteration\tscanline");
    ASSERT_EQ(at + 1 + 1200, lines.size());
    double cost = -1.0;
    ASSERT_EQ(1, std::sscanf(lines[at].c_str(), "vsyncGetScanLine() runs in %lf us", &cost))
        << lines[at];
    EXPECT_GT(cost, 0.0);
    EXPECT_LT(cost, 1000.0);
    std::printf("[ FIGURES  ] scan-line query %.2f us\n", cost);

    int negative = 0, wraps = 0, previous = 0;
    for (int i = 0; i < 1200; ++i) {
        int iteration = -1, line = 0;
        ASSERT_EQ(2, std::sscanf(lines[at + 1 + i].c_str(), "%d %d", &iteration, &line));
        EXPECT_EQ(i, iteration);
        // Visible lines 0..1079 (0 shows as 1); the blank, lines 1080..1124, negative.
        if (line < 0) {
            ++negative;
            EXPECT_GE(-line, 1080) << i;
            EXPECT_LE(-line, 1124) << i;
        } else {
            EXPECT_GE(line, 1) << i;
            EXPECT_LE(line, 1079) << i;
        }
        const int magnitude = line < 0 ? -line : line;
        if (previous - magnitude > 500)
            ++wraps;   // a new frame began
        previous = magnitude;
    }
    EXPECT_GT(negative, 0);
    EXPECT_LT(negative, 1200);
    EXPECT_GE(wraps, 1) << "the samples do not span a frame";
}

TEST_F(VblankTests, DirectDrawRowsFollowTheBlanksAndTheObjectIsReleased)
{
    const LogWatch watch;
    testDirectDrawVblank(60, false);
    const std::vector<std::string> lines = watch.lines();
    const size_t at = expectTitleAndHeader(lines, "DirectDraw WaitForVerticalBlank",
                                           testSchema(LogTest::DirectDraw).header);
    EXPECT_EQ(at + 59, lines.size());
    const std::vector<Row> rows = expectRows(lines, at, 59, 1, 3);

    std::vector<double> period, blank, offset, late;
    for (const Row& row : rows) {
        period.push_back(row.values[0]);
        blank.push_back(row.values[1]);
        offset.push_back(row.values[2]);
        late.push_back(usAfterVblank(row.tick));
    }
    std::printf("[ FIGURES  ] DirectDraw at 60 Hz: period %.3f ms, invblank %.3f ms, voff %.1f us, "
                "%.1f us after the true blank start (medians)\n",
                median(period), median(blank), median(offset), median(late));
    EXPECT_NEAR(16.667, median(period), 1.0);
    EXPECT_LT(median(blank), 8.0) << "the blank ends within the frame (0.667 ms when nothing delays the thread)";
    EXPECT_LT(median(late), 1000.0) << "polling lands on the blank, loosely";
    expectOffsetsFromTheTrueVblank(late, offset);

    ASSERT_NE(nullptr, g_spy.directDraw);
    EXPECT_EQ(0u, releaseSpyReference()) << "the test kept its DirectDraw object";
}

TEST_F(VblankTests, D3dkmtMeasuresTheDisplayAndClosesItsAdapter)
{
    const LogWatch watch;
    testD3dkmtVblank(60, false);
    const std::vector<std::string> lines = watch.lines();
    ASSERT_EQ(5u + 3u + 59u, lines.size());
    EXPECT_EQ("=== D3DKMTWaitForVerticalBlankEvent ===", lines[2]);
    int dc = 0;
    EXPECT_TRUE(startsWith(lines[5], "--> \\\\.\\DISPLAY1 (")) << lines[5];
    const size_t hdc = lines[5].rfind(") hDC=");
    ASSERT_NE(std::string::npos, hdc) << lines[5];
    EXPECT_EQ(1, std::sscanf(lines[5].c_str() + hdc, ") hDC=%d", &dc));
    EXPECT_NE(0, dc);
    EXPECT_EQ("oa=0", lines[6]);
    EXPECT_EQ(logRow("%s", testSchema(LogTest::D3dkmt).header), lines[7]);
    const std::vector<Row> rows = expectRows(lines, 8, 59, 1, 2);

    std::vector<double> period, offset, late;
    for (const Row& row : rows) {
        period.push_back(row.values[0]);
        offset.push_back(row.values[1]);
        late.push_back(usAfterVblank(row.tick));
    }
    std::printf("[ FIGURES  ] D3DKMT at 60 Hz: period %.3f ms, voff %.1f us, %.1f us after the "
                "true vblank (medians)\n",
                median(period), median(offset), median(late));
    EXPECT_NEAR(16.667, median(period), 1.0);
    EXPECT_LT(median(late), 2000.0);
    expectOffsetsFromTheTrueVblank(late, offset);

    ASSERT_EQ(1u, g_spy.opened.size());
    EXPECT_EQ(std::vector<bound::D3DKMT_HANDLE>(60, g_spy.opened[0]), g_spy.waitedOn);
    expectAdaptersClosed();
}

// Outputs: open fails, open succeeds (one wait of it fails), not attached, no device
// context, open fails again. Each output waits on its own adapter or on none, never on the
// one before; a failed wait leaves an "err" line and the next period spans it.
TEST_F(VblankTests, D3dkmtOutputsAreMeasuredEachWithItsOwnAdapter)
{
    g_spy.useDevices = true;
    g_spy.devices = {
        displayDevice("\\\\.\\DISPLAY1", "First", DISPLAY_DEVICE_ATTACHED_TO_DESKTOP),
        displayDevice("\\\\.\\DISPLAY1", "Second", DISPLAY_DEVICE_ATTACHED_TO_DESKTOP |
                                                        DISPLAY_DEVICE_PRIMARY_DEVICE),
        displayDevice("\\\\.\\DISPLAY1", "Detached", 0),
        displayDevice("\\\\.\\NOSUCHDISPLAY", "Missing", DISPLAY_DEVICE_ATTACHED_TO_DESKTOP),
        displayDevice("\\\\.\\DISPLAY1", "Third", DISPLAY_DEVICE_ATTACHED_TO_DESKTOP),
    };
    g_spy.failingOpens = {1, 3};
    g_spy.failingWaits = {4 + 3};   // the third wait of the second output
    bound::resetBindingsForTest();

    const LogWatch watch;
    testD3dkmtVblank(4, true);
    ASSERT_EQ(1u, g_spy.opened.size());
    const bound::D3DKMT_HANDLE adapter = g_spy.opened[0];
    std::vector<bound::D3DKMT_HANDLE> expected(12, 0);
    std::fill(expected.begin() + 4, expected.begin() + 8, adapter);
    EXPECT_EQ(expected, g_spy.waitedOn) << "adapters each output waited on";
    expectAdaptersClosed();

    const std::vector<std::string> lines = watch.lines();
    const std::string header = logRow("%s", testSchema(LogTest::D3dkmt).header);
    const std::string refused = "err " + std::to_string(kInvalidParameter);
    ASSERT_EQ(5u + 7u + 6u + 1u + 7u, lines.size());
    EXPECT_TRUE(startsWith(lines[5], "--> \\\\.\\DISPLAY1 (First) hDC=")) << lines[5];
    EXPECT_EQ("oa=" + std::to_string(kNoMemory), lines[6]);
    EXPECT_EQ(header, lines[7]);
    for (size_t k = 8; k < 12; ++k)
        EXPECT_EQ(refused, lines[k]) << "the zero adapter is refused by the display";

    EXPECT_TRUE(startsWith(lines[12], "--> \\\\.\\DISPLAY1 (Second) hDC=")) << lines[12];
    EXPECT_EQ("oa=0", lines[13]);
    EXPECT_EQ(header, lines[14]);
    Row first, second;
    ASSERT_TRUE(parseRow(lines[15], 2, &first)) << lines[15];
    EXPECT_EQ(1, first.iteration);
    EXPECT_EQ("err " + std::to_string(kUnsuccessful), lines[16]);
    ASSERT_TRUE(parseRow(lines[17], 2, &second)) << lines[17];
    EXPECT_EQ(3, second.iteration);
    EXPECT_GT(second.values[0], 100.0) << "the period spans the failed wait and its pause";
    EXPECT_NEAR(ticksToMs(second.tick - first.tick), second.values[0], 0.002);

    EXPECT_EQ("--> \\\\.\\NOSUCHDISPLAY (Missing) hDC=0", lines[18]);

    EXPECT_TRUE(startsWith(lines[19], "--> \\\\.\\DISPLAY1 (Third) hDC=")) << lines[19];
    EXPECT_EQ("oa=" + std::to_string(kNoMemory), lines[20]);
    EXPECT_EQ(header, lines[21]);
    for (size_t k = 22; k < 26; ++k)
        EXPECT_EQ(refused, lines[k]);

}

// Closing the application: every attached output still gets its lines and header, but no
// rows; the adapter and the DirectDraw object are still given back.
TEST_F(VblankTests, ClosingApplicationLeavesHeadersWithoutRows)
{
    g_spy.useDevices = true;
    g_spy.devices = {
        displayDevice("\\\\.\\DISPLAY1", "First", DISPLAY_DEVICE_ATTACHED_TO_DESKTOP),
        displayDevice("\\\\.\\DISPLAY1", "Second", DISPLAY_DEVICE_ATTACHED_TO_DESKTOP),
    };
    bound::resetBindingsForTest();
    g_appRunning = false;

    const LogWatch watch;
    testD3dkmtVblank(600, true);
    testDirectDrawVblank(600, true);
    testScanLine();
    const std::vector<std::string> lines = watch.lines();
    ASSERT_EQ(5u + 6u + 6u + 7u, lines.size());
    for (size_t block : {5u, 8u}) {
        EXPECT_TRUE(startsWith(lines[block], "--> \\\\.\\DISPLAY1 (")) << lines[block];
        EXPECT_EQ("oa=0", lines[block + 1]);
        EXPECT_EQ(logRow("%s", testSchema(LogTest::D3dkmt).header), lines[block + 2]);
    }
    const std::vector<std::string> rest(lines.begin() + 11, lines.end());
    expectTitleAndHeader(rest, "DirectDraw WaitForVerticalBlank",
                         testSchema(LogTest::DirectDraw).header);
    const std::vector<std::string> scan(lines.begin() + 17, lines.end());
    expectTitleAndHeader(scan, "ScanLine", "iteration\tscanline");
    EXPECT_TRUE(startsWith(lines.back(), "vsyncGetScanLine() runs in ")) << lines.back();

    EXPECT_TRUE(g_spy.waitedOn.empty());
    EXPECT_EQ(2u, g_spy.opened.size());
    expectAdaptersClosed();
    ASSERT_NE(nullptr, g_spy.directDraw);
    EXPECT_EQ(0u, releaseSpyReference());
}

TEST_F(VblankTests, WithoutDirectDrawOrDeviceListOnlyTheTitle)
{
    g_spy.directDrawFails = true;
    g_spy.useDevices = true;   // and none listed
    bound::resetBindingsForTest();
    const LogWatch watch;
    testDirectDrawVblank(60, false);
    testD3dkmtVblank(60, false);
    const std::vector<std::string> lines = watch.lines();
    ASSERT_EQ(10u, lines.size());
    EXPECT_EQ("=== DirectDraw WaitForVerticalBlank ===", lines[2]);
    EXPECT_EQ("=== D3DKMTWaitForVerticalBlankEvent ===", lines[7]);
    EXPECT_EQ("", lines[9]);
}

// ---- On Wine's own functions --------------------------------------------------------------

// Wine's DirectDraw returns at once and its D3DKMT open fails while the wait is missing:
// every test still ends, with one "err" line per iteration on each attached output.
TEST(VblankTestsOwnFunctions, CompleteWithoutHanging)
{
    tickInit();
    g_appRunning = true;
    useResolver(nullptr);

    const LogWatch watch;
    const int64_t start = tick();
    testScanLine();
    testDirectDrawVblank(60, true);
    testD3dkmtVblank(3, true);
    const double elapsedMs = ticksToMs(tick() - start);
    EXPECT_LT(elapsedMs, 20000.0);
    bound::resetBindingsForTest();

    const std::vector<std::string> lines = watch.lines();
    size_t at = expectTitleAndHeader(lines, "ScanLine", "iteration\tscanline");
    ASSERT_GE(lines.size(), at + 1201);
    for (size_t i = 0; i < 1200; ++i)
        EXPECT_EQ(logRow("%s", (std::to_string(i) + "\t0").c_str()), lines[at + 1 + i]);
    at += 1201;

    // DirectDraw: the title alone when it cannot be created, else its header and n - 1 rows
    // however soon the waits return.
    ASSERT_GE(lines.size(), at + 5);
    EXPECT_EQ("=== DirectDraw WaitForVerticalBlank ===", lines[at + 2]);
    at += 5;
    std::vector<double> period;
    if (lines[at] == logRow("%s", testSchema(LogTest::DirectDraw).header)) {
        for (const Row& row : expectRows(lines, at + 1, 59, 1, 3))
            period.push_back(row.values[0]);
        at += 60;
    }

    std::string summary;
    size_t blocks = 0;
    for (; at < lines.size(); ++at) {
        if (!startsWith(lines[at], "--> "))
            continue;
        ++blocks;
        if (lines[at].size() > 6 && lines[at].compare(lines[at].size() - 6, 6, " hDC=0") == 0)
            continue;   // no device context: no further line
        ASSERT_GE(lines.size(), at + 3);
        summary += " [" + lines[at] + " " + lines[at + 1] + "]";
        if (lines[at + 1] == "oa=0")
            continue;   // a display driver that opens: rows, not failures
        ASSERT_GE(lines.size(), at + 6);
        const std::string failure = lines[at + 3];
        EXPECT_TRUE(startsWith(failure, "err ")) << failure;
        EXPECT_EQ(failure, lines[at + 4]);
        EXPECT_EQ(failure, lines[at + 5]);
        EXPECT_TRUE(lines.size() == at + 6 || startsWith(lines[at + 6], "--> "));
        summary += " " + failure;
    }
    EXPECT_GE(blocks, 1u);
    std::printf("[ FIGURES  ] Wine's own functions: %.0f ms in all; DirectDraw %s, period %.3f ms;"
                "%s\n",
                elapsedMs, period.empty() ? "not created" : "created", median(period),
                summary.c_str());
}

}   // namespace
