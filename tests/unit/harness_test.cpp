// Framed titles and the progress text that paces every test loop.
#include "core/log.h"
#include "measure/harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// The text that a call appended to the process log.
template <typename Action>
std::string appendedBy(Action action)
{
    const size_t before = std::strlen(logPrintf(""));
    action();
    const std::string text = logPrintf("");
    return text.substr(before, text.size() - before - 2);    // less the fetch's own line
}

std::string progress(int32_t i, int32_t n)
{
    char text[kProgressTextSize];
    formatProgress(text, sizeof text, i, n);
    return text;
}

TEST(TitleFrame, RuleIsTheTitleLengthPlusEight)
{
    EXPECT_EQ("\r\n=================\r\n=== QPC Speed ===\r\n=================\r\n\r\n",
              appendedBy([] { logTitleFrame("QPC Speed"); }));
}

TEST(TitleFrame, NinetyTwoCharactersUseTheWholeRuleAndLongerOnesAreClamped)
{
    const std::string rule(100, '=');
    const std::string title92(92, 'T');
    EXPECT_EQ("\r\n" + rule + "\r\n=== " + title92 + " ===\r\n" + rule + "\r\n\r\n",
              appendedBy([&] { logTitleFrame(title92.c_str()); }));
    const std::string title150(150, 'L');
    EXPECT_EQ("\r\n" + rule + "\r\n=== " + title150 + " ===\r\n" + rule + "\r\n\r\n",
              appendedBy([&] { logTitleFrame(title150.c_str()); }));
}

TEST(Progress, PercentageAndItsDecimals)
{
    EXPECT_EQ(" -- on 0 of 60 (0%)", progress(0, 60));
    EXPECT_EQ(" -- on 60 of 60 (100%)", progress(60, 60));
    EXPECT_EQ(" -- on 1500 of 100000 (1.5%)", progress(1500, 100000));
    EXPECT_EQ(" -- on 1 of 3000 (0%)", progress(1, 3000));
    EXPECT_EQ(" -- on 1 of 3001 (0.0%)", progress(1, 3001));
    EXPECT_EQ(" -- on 5 of 0 (0%)", progress(5, 0));    // never a division by zero
}

TEST(Progress, GoesOnWhileTheAppRunsAndIsBelowTheCount)
{
    char line[kTitleTextSize + kProgressTextSize];
    setCurrentTitle("T");
    EXPECT_TRUE(testProgress(0, 60));
    formatTestLine(line, sizeof line);
    EXPECT_STREQ("T -- on 0 of 60 (0%)", line);
    EXPECT_TRUE(testProgress(59, 60));
    EXPECT_FALSE(testProgress(60, 60));
    formatTestLine(line, sizeof line);
    EXPECT_STREQ("T -- on 60 of 60 (100%)", line);
    EXPECT_FALSE(testProgress(0, 0));

    g_appRunning = false;
    EXPECT_FALSE(testProgress(0, 600));
    formatTestLine(line, sizeof line);
    EXPECT_STREQ("T -- on 0 of 600 (0%)", line);    // still written when the app closes
    g_appRunning = true;
}

}  // namespace
