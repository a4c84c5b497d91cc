// The exit report, with stand-ins for the temporary path, the clock, the shell, the
// pause and the delete, so that each failure path can be reached.
#include "core/log.h"
#include "core/report.h"

#include "support/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Calls {
    std::string tempDir;       // what the stand-in GetTempPathA reports
    DWORD tempResult = 0;      // its result; 0 means "the directory length"
    FILETIME time = {0x1234, 0x5678};
    int shellCalls = 0;
    std::string shellFirst;    // the first file opened
    std::string shellVerb;
    std::string shellPath;
    int shellShow = 0;
    std::string fileDuringPause;    // the report file's bytes while it was open
    bool fileExistedDuringPause = false;
    int sleepCalls = 0;
    DWORD sleepMs = 0;
    std::string deletedPath;
};
Calls calls;

DWORD WINAPI fakeTempPath(DWORD size, LPSTR buffer)
{
    if (calls.tempResult != 0)
        return calls.tempResult;
    if (calls.tempDir.size() + 1 > size)
        return static_cast<DWORD>(calls.tempDir.size() + 1);
    std::memcpy(buffer, calls.tempDir.c_str(), calls.tempDir.size() + 1);
    return static_cast<DWORD>(calls.tempDir.size());
}

void WINAPI fakeTime(LPFILETIME time) { *time = calls.time; }

HINSTANCE WINAPI fakeShell(HWND, LPCSTR verb, LPCSTR path, LPCSTR, LPCSTR, INT show)
{
    if (++calls.shellCalls == 1)
        calls.shellFirst = path != nullptr ? path : "";
    calls.shellVerb = verb != nullptr ? verb : "";
    calls.shellPath = path != nullptr ? path : "";
    calls.shellShow = show;
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

void WINAPI fakeSleep(DWORD ms)
{
    ++calls.sleepCalls;
    calls.sleepMs = ms;
    calls.fileDuringPause = readWholeFile(calls.shellFirst, &calls.fileExistedDuringPause);
}

BOOL WINAPI fakeDelete(LPCSTR path)
{
    calls.deletedPath = path;
    return DeleteFileA(path);
}

const ReportSystem kFakes = {fakeTempPath, fakeTime, fakeShell, fakeSleep, fakeDelete, nullptr};

class Report : public ::testing::Test {
protected:
    std::string dir;

    void SetUp() override
    {
        calls = Calls();
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        dir = std::string(temp) + "kelvaro-report-test\\";
        CreateDirectoryA(dir.c_str(), nullptr);
        calls.tempDir = dir;
    }
    void TearDown() override
    {
        DeleteFileA((dir + "vs466022136.txt").c_str());
        RemoveDirectoryA(dir.c_str());
    }

    static size_t logLength() { return std::strlen(logPrintf("report test")); }

    void expectNothingDone(size_t lengthBefore)
    {
        EXPECT_EQ(0, calls.shellCalls);
        EXPECT_EQ(0, calls.sleepCalls);
        EXPECT_TRUE(calls.deletedPath.empty());
        // No fetch either: the log did not get the fetch's empty line.
        EXPECT_EQ(lengthBefore, std::strlen(logPrintf("")) - 2);
    }
};

TEST_F(Report, WritesExactlyTheLogAtTheFetchThenOpensAndDeletesIt)
{
    const std::string before(logPrintf("line\tbefore the report"));
    ASSERT_TRUE(writeReportWith(kFakes));

    const std::string path = dir + "vs466022136.txt";    // 0x1234 is 4660, 0x5678 is 22136
    EXPECT_EQ(1, calls.shellCalls);
    EXPECT_EQ("open", calls.shellVerb);
    EXPECT_EQ(path, calls.shellPath);
    EXPECT_EQ(SW_SHOWMAXIMIZED, calls.shellShow);
    EXPECT_EQ(1000u, calls.sleepMs);
    ASSERT_TRUE(calls.fileExistedDuringPause);
    EXPECT_EQ(before + "\r\n", calls.fileDuringPause);    // the fetch's own empty line
    EXPECT_EQ(path, calls.deletedPath);
    bool exists = true;
    readWholeFile(path, &exists);
    EXPECT_FALSE(exists);
}

TEST_F(Report, NegativeTimeHalvesGiveMinusSigns)
{
    calls.time = {0xFFFFFFFFu, 0x80000000u};
    ASSERT_TRUE(writeReportWith(kFakes));
    EXPECT_EQ(dir + "vs-1-2147483648.txt", calls.shellPath);
}

TEST_F(Report, NoTemporaryDirectoryDoesNothing)
{
    const size_t before = logLength();
    calls.tempResult = 0;
    calls.tempDir.clear();    // the stand-in now reports length 0
    EXPECT_FALSE(writeReportWith(kFakes));
    expectNothingDone(before);
}

TEST_F(Report, TooLongTemporaryDirectoryDoesNothing)
{
    size_t before = logLength();
    calls.tempResult = 600;    // "the buffer of 500 was too small"
    EXPECT_FALSE(writeReportWith(kFakes));
    expectNothingDone(before);

    // 480 characters fit the buffer, but not with the file name behind them.
    before = logLength();
    calls.tempResult = 0;
    calls.tempDir = "C:\\" + std::string(477, 'd');
    EXPECT_FALSE(writeReportWith(kFakes));
    expectNothingDone(before);
}

TEST_F(Report, ExistingFileOfThatNameIsNeverTouched)
{
    const std::string path = dir + "vs466022136.txt";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, "someone else's", 14, &written, nullptr);
    CloseHandle(file);

    const size_t before = logLength();
    EXPECT_FALSE(writeReportWith(kFakes));
    expectNothingDone(before);
    bool exists = false;
    EXPECT_EQ("someone else's", readWholeFile(path, &exists));
    EXPECT_TRUE(exists);
}


// The findings page: written after the log's file is opened, opened itself, in the second the
// log's file stays; the pause is shortened by the page's time. A page that fails leaves the
// log's report as it was.
std::string g_pageText;
bool g_pageFails = false;
bool fakePage(const char* text, int32_t length, char* path, size_t size)
{
    g_pageText.assign(text, static_cast<size_t>(length));
    Sleep(300);
    if (g_pageFails)
        return false;
    std::snprintf(path, size, "C:\\pages\\kelvaro-page.html");
    return true;
}

TEST_F(Report, TheFindingsPageIsWrittenAndOpenedWithinTheLogFilesSecond)
{
    ReportSystem withPage = kFakes;
    withPage.writePage = fakePage;
    for (const bool fails : {false, true}) {
        SCOPED_TRACE(fails ? "the page fails" : "the page is written");
        calls = Calls();
        calls.tempDir = dir;
        g_pageFails = fails;
        ASSERT_TRUE(writeReportWith(withPage));
        EXPECT_EQ(dir + "vs466022136.txt", calls.shellFirst) << "the log's file first";
        EXPECT_EQ(fails ? 1 : 2, calls.shellCalls);
        if (!fails) {
            EXPECT_EQ("C:\\pages\\kelvaro-page.html", calls.shellPath);
        }
        EXPECT_EQ(calls.fileDuringPause, g_pageText) << "the page is of the log the file holds";
        EXPECT_TRUE(calls.fileExistedDuringPause);
        EXPECT_LE(calls.sleepMs, 750u) << "the page's time comes out of the pause";
        EXPECT_GE(calls.sleepMs, 400u);
        EXPECT_EQ(dir + "vs466022136.txt", calls.deletedPath);
    }
}

// The real page of the committed desktop log, in Documents\\kelvaro, named by the time; a
// second one in the same second gets a number, never the first's file. Then the page of a full
// log of 10 MiB (the suite's runs again and again, as a long session writes them): how long it
// takes, which comes out of the log file's second before the tool exits.
TEST_F(Report, TheFindingsPageGoesToDocumentsAndNeverOverwrites)
{
    bool exists = false;
    const std::string suite = readWholeFile(std::string(KELVARO_TEST_DATA) + "/desktop-suite.log", &exists);
    ASSERT_TRUE(exists);
    const auto pageOf = [](const std::string& log, char* path) {
        return writeFindingsPage(log.data(), static_cast<int32_t>(log.size()), path, MAX_PATH);
    };
    char first[MAX_PATH] = {}, second[MAX_PATH] = {};
    ASSERT_TRUE(pageOf(suite, first));
    ASSERT_TRUE(pageOf(suite, second));
    const std::string a = first, b = second;
    EXPECT_NE(a, b);
    EXPECT_NE(std::string::npos, a.find("\\kelvaro\\kelvaro-")) << a;
    EXPECT_EQ(".html", a.substr(a.size() - 5));
    const std::string page = readWholeFile(a, &exists);
    EXPECT_NE(std::string::npos, page.find("Findings")) << "the page holds the findings";
    EXPECT_EQ(page, readWholeFile(b, &exists));
    DeleteFileA(first);
    DeleteFileA(second);
    EXPECT_FALSE(pageOf("not a log\r\n", first)) << "no page for what is no log";
    EXPECT_FALSE(writeFindingsPage(suite.data(), static_cast<int32_t>(suite.size()), first, 10)) << "no room for the path";

    const size_t body = suite.find("\r\n\r\n==="), end = suite.rfind("Exiting...");
    ASSERT_NE(std::string::npos, body);
    ASSERT_NE(std::string::npos, end);
    std::string log = suite.substr(0, body);
    while (log.size() + (end - body) < (size_t{10} << 20))
        log += suite.substr(body, end - body);
    log += suite.substr(end);
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    ASSERT_TRUE(pageOf(log, first));
    QueryPerformanceCounter(&stop);
    const std::string full = readWholeFile(first, &exists);
    DeleteFileA(first);
    std::printf("[ FIGURES  ] the findings page of a %.1f MiB log: %.0f ms, %zu bytes\n",
                static_cast<double>(log.size()) / (1 << 20),
                static_cast<double>(stop.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart),
                full.size());
    EXPECT_NE(std::string::npos, full.find("Findings"));
}

}  // namespace
