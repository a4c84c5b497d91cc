// Building one log line: tab stops, the 997-character cut, the "%I64d" rewrite.
#include "core/logtext.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

namespace {

std::string expanded(const char* input, int* change = nullptr)
{
    char line[kLogLineBufferSize];
    std::snprintf(line, sizeof line, "%s", input);
    const int delta = expandTabs(line);
    if (change != nullptr)
        *change = delta;
    return line;
}

std::string built(const char* format, ...)
{
    char line[kLogLineBufferSize];
    va_list args;
    va_start(args, format);
    const int length = formatLogLine(line, format, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(length), std::strlen(line));
    return std::string(line, static_cast<size_t>(length));
}

std::string rewritten(const char* format, size_t outSize = kLogLineBufferSize)
{
    char out[kLogLineBufferSize];
    rewriteLogFormat(format, out, outSize);
    return out;
}

TEST(ExpandTabs, MovesTextToTheNextMultipleOfTwelve)
{
    int change = 0;
    EXPECT_EQ("a           b", expanded("a\tb", &change));
    EXPECT_EQ(10, change);    // 11 spaces in, one tab out
    EXPECT_EQ("x           y", expanded("x\ty"));
    EXPECT_EQ("ab          c", expanded("ab\t\tc"));    // second tab meets column 12
}

TEST(ExpandTabs, TabAtAStopDisappears)
{
    int change = 0;
    EXPECT_EQ("x", expanded("\tx", &change));
    EXPECT_EQ(-1, change);
    EXPECT_EQ("abcdefghijklm", expanded("abcdefghijkl\tm"));
    EXPECT_EQ("", expanded("\t\t\t"));
}

TEST(ExpandTabs, NeverGrowsPastTheLineLimit)
{
    // 90 letter-tab pairs would need 90 * 12 columns.
    std::string input;
    for (int i = 0; i < 90; ++i)
        input += "a\t";
    input += "z";
    int change = 0;
    const std::string out = expanded(input.c_str(), &change);
    EXPECT_EQ(static_cast<size_t>(kLogMaxLineChars), out.size());
    EXPECT_EQ(kLogMaxLineChars - static_cast<int>(input.size()), change);
    EXPECT_EQ(std::string::npos, out.find('z'));
}

TEST(FormatLogLine, AppendsCrLfAndExpandsTabs)
{
    EXPECT_EQ("\r\n", built(""));
    EXPECT_EQ("x           y\r\n", built("x\ty"));
    EXPECT_EQ("A\r\n", built("\tA"));
    EXPECT_EQ("abcdefghijklB\r\n", built("abcdefghijkl\tB"));
    EXPECT_EQ("7           2.50\r\n", built("%d\t%.2f", 7, 2.5));
}

TEST(FormatLogLine, PrintsI64dAsSigned64BitDecimal)
{
    const long long big = 9876543210123LL;
    EXPECT_EQ("t=9876543210123 n=-9876543210123 2\r\n",
              built("t=%I64d n=%I64d %d", big, -big, 2));
    EXPECT_EQ("[   -5]\r\n", built("[%5I64d]", static_cast<long long>(-5)));
    EXPECT_EQ("-9223372036854775808\r\n", built("%I64d", static_cast<long long>(INT64_MIN)));
}

TEST(FormatLogLine, CutsLongLinesAt997Characters)
{
    const std::string longText(1500, 'q');
    const std::string line = built("%s", longText.c_str());
    ASSERT_EQ(static_cast<size_t>(kLogMaxLineChars + 2), line.size());
    EXPECT_EQ(std::string(kLogMaxLineChars, 'q') + "\r\n", line);

    // Exactly 997 characters stay whole; 998 lose the last one.
    EXPECT_EQ(std::string(997, 'r') + "\r\n", built("%s", std::string(997, 'r').c_str()));
    EXPECT_EQ(std::string(997, 's') + "\r\n", built("%s", std::string(998, 's').c_str()));
}

// Formats into a buffer with guard bytes after the line's 1000: none may ever change.
std::string builtGuarded(const char* format, ...)
{
    std::vector<char> buffer(kLogLineBufferSize + 2000, '#');
    va_list args;
    va_start(args, format);
    const int length = formatLogLine(buffer.data(), format, args);
    va_end(args);
    for (size_t i = kLogLineBufferSize; i < buffer.size(); ++i)
        EXPECT_EQ('#', buffer[i]) << "written past the line buffer at " << i;
    EXPECT_GE(length, 2);
    EXPECT_LE(length, kLogMaxLineChars + 2);
    EXPECT_EQ(static_cast<size_t>(length), std::strlen(buffer.data()));
    return std::string(buffer.data(), static_cast<size_t>(std::min(length, kLogLineBufferSize)));
}

TEST(FormatLogLine, AZeroCharacterEndsTheLineAndNothingIsWrittenPastIt)
{
    // The formatter counts every character it wrote, the zero and what follows it; the line
    // is only what comes before the zero.
    EXPECT_EQ("ab\r\n", builtGuarded("ab%cde", 0));
    EXPECT_EQ("\r\n", builtGuarded("%c", 0));
    // Tabs before the zero grow the line while the count after it stays: 80 times "a" and a
    // tab become 960 characters, and 900 follow the zero.
    std::string tabs, grown;
    for (int i = 0; i < 80; ++i) {
        tabs += "a\t";
        grown += "a" + std::string(11, ' ');
    }
    EXPECT_EQ(grown + "\r\n", builtGuarded((tabs + "%c%s").c_str(), 0, std::string(900, 'x').c_str()));
    // Enough of them to fill the line to its cut, a zero, then most of a line more.
    std::string many, cut;
    for (int i = 0; i < 200; ++i) {
        many += "a\t";
        cut += "a" + std::string(11, ' ');
    }
    EXPECT_EQ(cut.substr(0, kLogMaxLineChars) + "\r\n",
              builtGuarded((many + "%c%s").c_str(), 0, std::string(590, 'y').c_str()));
}

TEST(FormatLogLine, FormatterErrorStoresAnEmptyLine)
{
    // A wide character that the C locale cannot convert makes the formatter fail on
    // platforms that report it; the line is then empty, never garbage.
    char probe[16];
    const wchar_t wide = 0x4E2D;
    if (std::snprintf(probe, sizeof probe, "%lc", static_cast<wint_t>(wide)) >= 0)
        GTEST_SKIP() << "this platform's formatter does not fail on that conversion";
    EXPECT_EQ("\r\n", built("%lc", static_cast<wint_t>(wide)));
}

TEST(RewriteLogFormat, TurnsI64IntoLlOnlyInsideConversions)
{
    EXPECT_EQ("%lld", rewritten("%I64d"));
    EXPECT_EQ("a=%-8lld\tb=%.1f", rewritten("a=%-8I64d\tb=%.1f"));
    EXPECT_EQ("100%% I64d", rewritten("100%% I64d"));
    EXPECT_EQ("I64 %lldI64", rewritten("I64 %I64dI64"));
    EXPECT_EQ("==========", rewritten("=========="));
}

TEST(RewriteLogFormat, NeverLeavesHalfAConversion)
{
    EXPECT_EQ("abc", rewritten("abc%I64d", 6));    // "%lld" does not fit after "abc"
    EXPECT_EQ("abcd", rewritten("abcd", 5));
    EXPECT_EQ("value ", rewritten("value %"));     // a trailing lone '%' is dropped
    const std::string huge(3000, 'w');
    EXPECT_EQ(static_cast<size_t>(kLogLineBufferSize - 1), rewritten(huge.c_str()).size());
}

TEST(ReportName, PrintsBothHalvesAsSigned32BitDecimals)
{
    char path[500] = "C:\\temp\\";
    ASSERT_TRUE(appendReportName(path, sizeof path, 8, 123u, 30000000u));
    EXPECT_STREQ("C:\\temp\\vs12330000000.txt", path);

    std::strcpy(path, "T\\");
    ASSERT_TRUE(appendReportName(path, sizeof path, 2, 0x80000000u, 0xFFFFFFFFu));
    EXPECT_STREQ("T\\vs-2147483648-1.txt", path);
}

TEST(ReportName, RefusesWhenTheNameDoesNotFit)
{
    char path[500];
    std::memset(path, 'd', sizeof path);
    path[470] = '\0';
    // 470 + "vs-2147483648-2147483648.txt" (28) + zero = 499: fits.
    ASSERT_TRUE(appendReportName(path, sizeof path, 470, 0x80000000u, 0x80000000u));
    EXPECT_EQ(498u, std::strlen(path));

    path[472] = '\0';
    EXPECT_FALSE(appendReportName(path, sizeof path, 472, 0x80000000u, 0x80000000u));
    EXPECT_EQ(472u, std::strlen(path));
    EXPECT_FALSE(appendReportName(path, sizeof path, 500, 1u, 1u));
    EXPECT_FALSE(appendReportName(path, sizeof path, 600, 1u, 1u));
}

}  // namespace
