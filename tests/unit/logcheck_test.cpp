// The end-to-end log checker must reject what the tool must never print.
#include "e2e/logcheck.h"

#include <gtest/gtest.h>

namespace {

const char kGoodBanner[] =
    "========== Startup ==========\r\n"
    "kelvaro.exe build: Dec  8 2026 19:40:01\r\n"
    "Tue Dec  8 19:41:07 2026\r\n"
    "Windows Version 6.1 build 7601\r\n"
    "QueryPerformanceFrequency=10000000\r\n"
    "QueryPerformanceCounter=123456789\r\n"
    "\r\n";

TEST(LogCheck, SplitsOnlyCrLfText)
{
    std::vector<std::string> lines;
    std::string problem;
    ASSERT_TRUE(splitLogLines("a\r\n\r\nb c\r\n", lines, &problem));
    EXPECT_EQ((std::vector<std::string>{"a", "", "b c"}), lines);
    EXPECT_FALSE(splitLogLines("a\r\nb\nc\r\n", lines, &problem));
    EXPECT_NE(std::string::npos, problem.find("line 2"));
    EXPECT_FALSE(splitLogLines("a\r\nb", lines, &problem));
    EXPECT_FALSE(splitLogLines("a\rb\r\n", lines, &problem));
}

TEST(LogCheck, BannerInOrder)
{
    std::vector<std::string> lines;
    std::string problem;
    ASSERT_TRUE(splitLogLines(kGoodBanner, lines, &problem));
    EXPECT_TRUE(checkBanner(lines, &problem)) << problem;

    std::vector<std::string> swapped = lines;
    std::swap(swapped[4], swapped[5]);    // counter before frequency
    EXPECT_FALSE(checkBanner(swapped, &problem));
    std::vector<std::string> noBlank(lines.begin(), lines.end() - 1);
    EXPECT_FALSE(checkBanner(noBlank, &problem));
    std::vector<std::string> zeroFrequency = lines;
    zeroFrequency[4] = "QueryPerformanceFrequency=0";
    EXPECT_FALSE(checkBanner(zeroFrequency, &problem));
}

TEST(LogCheck, ClosingLinesCountEmptyLines)
{
    std::string problem;
    const std::vector<std::string> one = {"x", "Exiting...", ""};
    const std::vector<std::string> two = {"x", "Exiting...", "", ""};
    EXPECT_TRUE(checkClosing(one, 1, &problem)) << problem;
    EXPECT_FALSE(checkClosing(one, 2, &problem));
    EXPECT_TRUE(checkClosing(two, 2, &problem)) << problem;
    EXPECT_FALSE(checkClosing(two, 1, &problem));
    EXPECT_FALSE(checkClosing({"Exiting..."}, 1, &problem));
    EXPECT_FALSE(checkClosing({}, 1, &problem));
}

TEST(LogCheck, FindsLinesFromAPosition)
{
    const std::vector<std::string> lines = {"a", "row 1", "b", "row 22"};
    EXPECT_EQ(1u, findMatch(lines, "row [0-9]+"));
    EXPECT_EQ(3u, findMatch(lines, "row [0-9]+", 2));
    EXPECT_EQ(kNoLine, findLine(lines, "a", 1));
    EXPECT_EQ(2u, findLine(lines, "b"));
}

}  // namespace
