// The exit report, with stand-ins for the temporary path, the clock, the shell, the
// pause and the delete, so that each failure path can be reached.
#include "core/log.h"
#include "core/report.h"

#include "support/files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Calls {
    std::string tempDir;       // what the stand-in GetTempPathA reports
    DWORD tempResult = 0;      // its result; 0 means "the directory length"
    FILETIME time = {0x1234, 0x5678};
    int shellCalls = 0;
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
    ++calls.shellCalls;
    calls.shellVerb = verb != nullptr ? verb : "";
    calls.shellPath = path != nullptr ? path : "";
    calls.shellShow = show;
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

void WINAPI fakeSleep(DWORD ms)
{
    ++calls.sleepCalls;
    calls.sleepMs = ms;
    calls.fileDuringPause = readWholeFile(calls.shellPath, &calls.fileExistedDuringPause);
}

BOOL WINAPI fakeDelete(LPCSTR path)
{
    calls.deletedPath = path;
    return DeleteFileA(path);
}

const ReportSystem kFakes = {fakeTempPath, fakeTime, fakeShell, fakeSleep, fakeDelete};

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

}  // namespace
