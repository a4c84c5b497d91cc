// The startup banner's version and time lines.
#include "app/banner.h"
#include "core/log.h"

#include <gtest/gtest.h>

#include <ctime>
#include <regex>
#include <string>

namespace {

std::string lastLine()
{
    int32_t length = 0;
    const std::string text(logFetch(&length));
    // The text ends with the logged line, then the fetch's own empty line.
    const size_t end = text.size() - 4;
    const size_t previous = text.rfind("\r\n", end - 1);
    const size_t start = previous == std::string::npos ? 0 : previous + 2;
    return text.substr(start, end - start);
}

TEST(WindowsVersion, SplitsTheGetVersionResult)
{
    const WindowsVersion win8 = decodeWindowsVersion(0x23F00206u);
    EXPECT_EQ(6, win8.major);
    EXPECT_EQ(2, win8.minor);
    EXPECT_EQ(9200, win8.build);

    const WindowsVersion old = decodeWindowsVersion(0xC0000A04u);    // bit 31 set
    EXPECT_EQ(4, old.major);
    EXPECT_EQ(10, old.minor);
    EXPECT_EQ(0, old.build);
}

TEST(WindowsVersion, LogsItsLine)
{
    logVersionLine(0x4A610A06u);
    EXPECT_EQ("Windows Version 6.10 build 19041", lastLine());
    logVersionLine(0x80000004u);
    EXPECT_EQ("Windows Version 4.0 build 0", lastLine());
}

TEST(LocalTime, FormattedLikeTheStandardAsctime)
{
    std::tm when = {};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 8;
    when.tm_wday = 2;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 7;
    char text[64];
    formatAsctime(when, text, sizeof text);
    EXPECT_STREQ("Tue Dec  8 09:05:07 2026\n", text);    // day padded with a blank
    when.tm_mday = 28;
    when.tm_wday = 1;
    when.tm_mon = 1;
    when.tm_year = 1999 - 1900;
    formatAsctime(when, text, sizeof text);
    EXPECT_STREQ("Mon Feb 28 09:05:07 1999\n", text);
}

TEST(LocalTime, LoggedInTheAsctimeFormWithoutNewline)
{
    logLocalTime();
    const std::string line = lastLine();
    EXPECT_TRUE(std::regex_match(
        line, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}")))
        << "'" << line << "'";
}

}  // namespace
