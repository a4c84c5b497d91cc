// The vsync-paced tests against the vsync server bound to the virtual display at 60 Hz.
#include "app/window.h"
#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"
#include "measure/harness.h"
#include "measure/tests.h"
#include "virtual/virtual_display.h"
#include "vsync/vsync.h"

#include "win32/log_support.h"
#include "win32/server_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {


class PacedTests : public ServerOnVirtualDisplay {
protected:
    void SetUp() override
    {
        start("60");
        ASSERT_TRUE(vsyncWait(1000));
    }
};

TEST_F(PacedTests, MimicAnimationSwitchesToVsyncForTheMiddleHalf)
{
    const LogWatch watch;
    testMimicAnimation(60);
    const std::vector<std::string> lines = watch.lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ("=== Mimic animation (waiting for vsync intervals) ===", lines[2]);
    const std::regex row("(-?[0-9]+) +(-?[0-9]+) +(-?[0-9]+) +(-?[0-9]+\\.[0-9]{3}) +([0-9]+) +(-?[0-9]+\\.[0-9])");
    int rows = 0, rowsBeforeOn = -1, rowsBeforeOff = -1;
    std::vector<double> periods;
    for (const std::string& line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, row)) {
            ++rows;
            EXPECT_EQ(std::atoll(m[2].str().c_str()) - std::atoll(m[1].str().c_str()),
                      std::atoll(m[3].str().c_str()))
                << "late/qpc is got minus want: " << line;
            periods.push_back(std::atof(m[4].str().c_str()));
        } else if (line == "******** ON") {
            rowsBeforeOn = rows;
        } else if (line == "******** OFF") {
            rowsBeforeOff = rows;
        }
    }
    EXPECT_EQ(59, rows);
    EXPECT_EQ(15, rowsBeforeOn) << "ON belongs to iteration 16";
    EXPECT_EQ(44, rowsBeforeOff) << "OFF belongs to iteration 45";
    std::sort(periods.begin(), periods.end());
    ASSERT_FALSE(periods.empty());
    EXPECT_NEAR(16.667, periods[periods.size() / 2], 3.0) << "median frame length";
}

TEST_F(PacedTests, WaitForBlankingFollowsTheServerAndTheCompositor)
{
    const LogWatch watch;
    testWaitForBlanking(60);
    const std::vector<std::string> lines = watch.lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ("=== testWaitForBlanking ===", lines[2]);
    const std::regex row("(-?[0-9]+) +(-?[0-9]+\\.[0-9]{3}) +(-?[0-9]+) +(-?[0-9]+\\.[0-9]{3})");
    std::vector<double> server, compositor;
    for (const std::string& line : lines) {
        std::smatch m;
        if (std::regex_match(line, m, row)) {
            server.push_back(std::atof(m[2].str().c_str()));
            compositor.push_back(std::atof(m[4].str().c_str()));
        }
    }
    ASSERT_EQ(59u, server.size());
    std::sort(server.begin(), server.end());
    std::sort(compositor.begin(), compositor.end());
    EXPECT_NEAR(16.667, server[server.size() / 2], 1.0);
    EXPECT_NEAR(16.667, compositor[compositor.size() / 2], 1.0);
}

TEST_F(PacedTests, SleepUntilReturnsAtThePulseInVsyncMode)
{
    // A deadline far ahead: in vsync mode the next pulse ends the wait after one call.
    const int64_t distant = tick() + tickFrequency;    // one second
    const int64_t start = tick();
    EXPECT_EQ(1, sleepUntil(distant, true));
    EXPECT_LT(ticksToMs(tick() - start), 200.0);
    EXPECT_EQ(0, sleepUntil(tick() - 1, false));
}

}  // namespace
