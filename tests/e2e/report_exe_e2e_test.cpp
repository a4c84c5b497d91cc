// End-to-end: kelvaro-report.exe as Explorer starts it, with a log as its only argument and a
// console of its own (a log dropped onto it): the page is written beside the log and handed to
// the shell; a file that is no log gives a message that names it and what was wrong. What it
// asks the shell to open, and its message, are recorded instead of shown.
#include "e2e/driver.h"
#include "support/files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

struct Started {
    DWORD exitCode = 99;
    std::string record;
};

// Runs kelvaro-report.exe on one file in a console of its own, its shell calls recorded.
Started asExplorerStartsIt(const std::string& file)
{
    Started started;
    const std::string record = programFolder() + "e2e-report-exe.shell.txt";
    DeleteFileA(record.c_str());
    SetEnvironmentVariableA("KELVARO_SHELL_RECORD", record.c_str());
    const std::string exe = programFolder() + "kelvaro-report.exe";
    std::string commandLine = "\"" + exe + "\" \"" + file + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info;
    const BOOL ok = CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                                   nullptr, nullptr, &startup, &info);
    SetEnvironmentVariableA("KELVARO_SHELL_RECORD", nullptr);
    EXPECT_TRUE(ok) << "cannot start " << exe;
    if (!ok)
        return started;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, 60000)) << "it waited for someone";
    GetExitCodeProcess(info.hProcess, &started.exitCode);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    started.record = readWholeFile(record);
    DeleteFileA(record.c_str());
    return started;
}

TEST(ReportExe, ALogDroppedOntoItGetsItsPageBesideItAndOpened)
{
    const std::string folder = programFolder() + "e2e-dropped\\";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string log = folder + "my log.txt", page = folder + "my log.html";
    DeleteFileA(page.c_str());
    ASSERT_TRUE(CopyFileA((std::string(KELVARO_TEST_DATA) + "/desktop-suite.log").c_str(), log.c_str(), FALSE));

    const Started first = asExplorerStartsIt(log);
    EXPECT_EQ(0u, first.exitCode);
    EXPECT_EQ("open " + page + "\r\n", first.record);
    bool exists = false;
    const std::string html = readWholeFile(page, &exists);
    ASSERT_TRUE(exists) << page;
    EXPECT_NE(std::string::npos, html.find("refreshes at")) << "the findings of the log";

    // Dropped again: a page of its own, the first one left as it was.
    const Started again = asExplorerStartsIt(log);
    EXPECT_EQ("open " + folder + "my log-2.html\r\n", again.record);
    EXPECT_EQ(html, readWholeFile(page));

    // No log: a message naming the file and what was expected, nothing opened, exit code 2.
    const std::string notLog = folder + "notes.txt";
    HANDLE file = CreateFileA(notLog.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, "shopping list\r\n", 15, &written, nullptr);
    CloseHandle(file);
    const Started refused = asExplorerStartsIt(notLog);
    EXPECT_EQ(2u, refused.exitCode);
    EXPECT_EQ(0u, refused.record.find("message kelvaro-report could not read " + notLog)) << refused.record;
    EXPECT_NE(std::string::npos, refused.record.find("expected its first line to be")) << refused.record;
    EXPECT_EQ(std::string::npos, refused.record.find("open ")) << refused.record;

    for (const std::string& name : {log, page, folder + "my log-2.html", notLog})
        DeleteFileA(name.c_str());
    RemoveDirectoryA(folder.c_str());
}

}   // namespace
