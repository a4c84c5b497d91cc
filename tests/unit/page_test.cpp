// The main window's page text, the ping delay across a wrap of the low tick bits, and
// the test line that the paint reads while a test thread rewrites it.
#include "app/page.h"
#include "measure/harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

TEST(Page, HasFourLinesInItsFixedFormat)
{
    char page[kPageTextSize];
    formatPage(page, sizeof page, "vsync.server: \\\\.\\DISPLAY1 16.667ms", "QPC Speed -- on 1 of 2 (50%)",
               1, 0, 0, 0.0);
    EXPECT_STREQ("vsync.server: \\\\.\\DISPLAY1 16.667ms\n\nQPC Speed -- on 1 of 2 (50%)\n"
                 "nNumPaints=1    MOUSE x=0 y=0 ms=0.000",
                 page);
    formatPage(page, sizeof page, "", "", 42, -3, 700, 16.6666);
    EXPECT_STREQ("\n\n\nnNumPaints=42    MOUSE x=-3 y=700 ms=16.667", page);
}

TEST(Page, CounterPastTheSignedRangeShowsWrappedAndLongTextIsCut)
{
    char page[kPageTextSize];
    formatPage(page, sizeof page, "", "", 0x80000000u, 0, 0, 0.0);
    EXPECT_NE(nullptr, std::strstr(page, "nNumPaints=-2147483648 "));

    const std::string huge(3000, 'x');
    std::memset(page, '#', sizeof page);
    formatPage(page, 300, huge.c_str(), huge.c_str(), 1, 0, 0, 0.0);
    EXPECT_EQ(299u, std::strlen(page));
    EXPECT_EQ('#', page[300]);    // nothing written past the given size
}

TEST(PingDelay, IsTheUnsignedDifferenceOfTheLowBits)
{
    EXPECT_EQ(250, pingDelayTicks(1250u, 1000u));
    EXPECT_EQ(0, pingDelayTicks(77u, 77u));
    // Posted 100 ticks before the low 32 bits wrapped, handled 50 ticks after.
    EXPECT_EQ(150, pingDelayTicks(50u, 0xFFFFFF9Cu));
    // A handler that ran "before" the post (clock read the other way round) does not
    // go negative: it is a delay of almost 2^32 ticks.
    EXPECT_EQ(4294967295LL, pingDelayTicks(0u, 1u));
}

TEST(TestLine, TitleThenProgressAndTitleEmptiesProgress)
{
    char line[kProgressTextSize + kTitleTextSize];
    setCurrentTitle("QPC Speed");
    setProgressText(" -- on 5 of 60 (8%)");
    formatTestLine(line, sizeof line);
    EXPECT_STREQ("QPC Speed -- on 5 of 60 (8%)", line);
    setCurrentTitle("ScanLine");
    formatTestLine(line, sizeof line);
    EXPECT_STREQ("ScanLine", line);

    char small[200];
    setCurrentTitle(std::string(600, 't').c_str());    // longer than the title buffer
    setProgressText(std::string(300, 'p').c_str());
    formatTestLine(small, sizeof small);
    EXPECT_EQ(199u, std::strlen(small));
}

// The paint reads the test line while the test thread switches between titles; it must
// only ever see a whole title followed by a whole progress text of that title.
TEST(TestLine, ReaderNeverSeesATornText)
{
    const std::string longTitle(90, 'L');
    setCurrentTitle("short");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            setCurrentTitle(i % 2 ? "short" : longTitle.c_str());
            setProgressText(i % 2 ? " -- on 1 of 9 (11%)" : " -- on 77777 of 99999 (77.8%)");
        }
    });
    const std::string allowed[] = {"short", "short -- on 1 of 9 (11%)", longTitle,
                                   longTitle + " -- on 77777 of 99999 (77.8%)"};
    char line[200];
    std::string torn;
    for (int i = 0; i < 20000 && torn.empty(); ++i) {
        formatTestLine(line, sizeof line);
        bool known = false;
        for (const std::string& text : allowed)
            known = known || text == line;
        if (!known)
            torn = line;
    }
    stop = true;
    writer.join();
    EXPECT_EQ("", torn) << "the paint saw a torn test line";
}

}  // namespace
