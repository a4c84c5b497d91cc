// The virtual display's timeline: exact vblank times far out, scan lines at every tick of a
// frame, a change of rate, and reading a rate from text. Expected values are worked out here by other arithmetic than the
// timeline's own (whole quotient and remainder of the exact rational).
#include "virtual/timeline.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <string>

namespace {

constexpr int64_t kTenMegahertz = 10000000;

Timeline makeTimeline(int64_t frequency, int64_t origin, RefreshRatio rate)
{
    Timeline timeline;
    EXPECT_TRUE(timelineInit(&timeline, frequency, origin, rate));
    return timeline;
}

// floor(a * b / c) for a >= 0 by splitting a into a multiple of c and the rest; exact as long
// as (a mod c) * b fits 64 bits.
int64_t exactFloor(int64_t a, int64_t b, int64_t c)
{
    return (a / c) * b + (a % c) * b / c;
}

TEST(TimelineMulDiv, MatchesDirectArithmeticOnSmallNumbers)
{
    for (int64_t value = -60; value <= 60; ++value) {
        for (int64_t multiplier = 0; multiplier <= 25; ++multiplier) {
            for (int64_t divisor = 1; divisor <= 17; ++divisor) {
                const int64_t product = value * multiplier;
                int64_t expected = product / divisor;
                if (product % divisor < 0)
                    --expected;
                ASSERT_EQ(expected, timelineMulDivFloor(value, multiplier, divisor))
                    << value << " * " << multiplier << " / " << divisor;
            }
        }
    }
}

TEST(TimelineMulDiv, ProductsBeyondSixtyFourBits)
{
    // (n - 1)(n - 2) / n = n - 3 + 2 / n, for a divisor whose square needs 2^64 and more.
    for (const int64_t n : {int64_t{4294967311}, int64_t{3000000000007}, int64_t{1} << 59}) {
        EXPECT_EQ(n - 3, timelineMulDivFloor(n - 1, n - 2, n)) << n;
        EXPECT_EQ(-(n - 2), timelineMulDivFloor(-(n - 1), n - 2, n)) << n;
        // A whole multiple plus the same: 5n + (n - 1), times (n - 2).
        EXPECT_EQ(5 * (n - 2) + n - 3, timelineMulDivFloor(6 * n - 1, n - 2, n)) << n;
    }
}

// vblank k at rate 60/1 and 60000/1001 on a 10 MHz counter, for every k up to 10^6 and a few
// far beyond: the period of 166,666.67 or 166,833.33 counts never accumulates an error.
TEST(TimelineVblanks, ExactStartsWithoutDriftAtTenMegahertz)
{
    const int64_t origin = 123456789012345;
    const struct {
        RefreshRatio rate;
        int64_t numerator;   // counts per vblank = numerator / 3
    } cases[] = {{{60, 1}, 500000}, {{60000, 1001}, 500500}};
    for (const auto& c : cases) {
        const Timeline timeline = makeTimeline(kTenMegahertz, origin, c.rate);
        for (int64_t k = 0; k <= 1000000; ++k) {
            const int64_t expected = origin + exactFloor(k, c.numerator, 3);
            ASSERT_EQ(expected, timelineVblankStart(timeline, k)) << c.rate.numerator << " k " << k;
        }
        for (const int64_t k : {int64_t{9999999}, int64_t{10000000}, int64_t{123456789}}) {
            EXPECT_EQ(origin + exactFloor(k, c.numerator, 3), timelineVblankStart(timeline, k));
            EXPECT_EQ(k, timelineLatestVblank(timeline, timelineVblankStart(timeline, k)));
            EXPECT_EQ(k - 1, timelineLatestVblank(timeline, timelineVblankStart(timeline, k) - 1));
        }
        // A million periods: exactly a million times the rational period, rounded once.
        EXPECT_EQ(exactFloor(1000000, c.numerator, 3),
                  timelineVblankStart(timeline, 1000000) - timelineVblankStart(timeline, 0));
    }
}

TEST(TimelineVblanks, ExactAtOddCounterFrequencies)
{
    // The ACPI timer's 3.579545 MHz at 59.94 Hz, and a 2.8 GHz counter at 60000/1001, whose
    // products pass 64 bits at ten million frames.
    const Timeline acpi = makeTimeline(3579545, 0, {59940, 1000});
    for (int64_t k = 0; k <= 1000000; k += 7)
        ASSERT_EQ(k * 3579545 * 50 / 2997, timelineVblankStart(acpi, k)) << k;

    const int64_t fast = 2793654321;
    const Timeline tsc = makeTimeline(fast, 5, {60000, 1001});
    for (int64_t k = 0; k <= 10000000; k += 9973) {
        ASSERT_EQ(5 + exactFloor(k, fast * 1001, 60000), timelineVblankStart(tsc, k)) << k;
        ASSERT_EQ(k, timelineLatestVblank(tsc, timelineVblankStart(tsc, k)));
    }
}

// Every counter value of two frames lies in the line that the timeline says, and the lines
// are 1125 equal parts of a frame: 1080 visible, the last 45 in vertical blank.
TEST(TimelineScanLine, EveryTickOfTwoFramesAtSixtyAndNtscRates)
{
    for (const RefreshRatio rate : {RefreshRatio{60, 1}, RefreshRatio{60000, 1001}}) {
        const Timeline timeline = makeTimeline(kTenMegahertz, 777, rate);
        const int64_t first = timelineFrameStart(timeline, 40);
        const int64_t second = timelineFrameStart(timeline, 41);
        const int64_t last = timelineFrameStart(timeline, 42);
        int32_t previous = 1124;
        int64_t blankTicks = 0, visibleTicks = 0;
        for (int64_t counter = first; counter < last; ++counter) {
            bool inBlank = false;
            const int32_t line = timelineScanLine(timeline, counter, &inBlank);
            const int64_t global = timelineLineAt(timeline, counter);
            ASSERT_LE(timelineLineStart(timeline, global), counter);
            ASSERT_GT(timelineLineStart(timeline, global + 1), counter);
            ASSERT_TRUE(line == previous || line == (previous + 1) % 1125) << counter;
            ASSERT_EQ(line >= 1080, inBlank) << counter;
            ASSERT_EQ(counter < second ? 40 : 41,
                      timelineFrameAt(timeline, counter));
            (inBlank ? blankTicks : visibleTicks) += 1;
            previous = line;
        }
        // The blank is 45 of 1125 lines of each frame (to a count per frame).
        const double frames = 2.0;
        const double period = static_cast<double>(last - first) / frames;
        EXPECT_NEAR(period * 45.0 / 1125.0 * frames, static_cast<double>(blankTicks), frames);
        EXPECT_NEAR(period * 1080.0 / 1125.0 * frames, static_cast<double>(visibleTicks), frames);
    }
}

TEST(TimelineScanLine, LandmarksOfAFrame)
{
    const Timeline timeline = makeTimeline(kTenMegahertz, 1000, {60, 1});
    for (const int64_t frame : {int64_t{1}, int64_t{2}, int64_t{600}, int64_t{100000}}) {
        const int64_t start = timelineFrameStart(timeline, frame);
        const int64_t blank = timelineVblankStart(timeline, frame);
        const int64_t next = timelineFrameStart(timeline, frame + 1);
        bool inBlank = true;
        EXPECT_EQ(0, timelineScanLine(timeline, start, &inBlank)) << frame;
        EXPECT_FALSE(inBlank);
        EXPECT_EQ(frame, timelineFrameAt(timeline, start));
        EXPECT_EQ(1079, timelineScanLine(timeline, blank - 1, &inBlank));
        EXPECT_FALSE(inBlank);
        EXPECT_EQ(1080, timelineScanLine(timeline, blank, &inBlank));
        EXPECT_TRUE(inBlank);
        EXPECT_EQ(1124, timelineScanLine(timeline, next - 1, &inBlank));
        EXPECT_TRUE(inBlank);
        EXPECT_EQ(frame, timelineFrameAt(timeline, next - 1));
        EXPECT_EQ(next, timelineVblankEnd(timeline, frame));
        // The vblank starts 1080 of 1125 lines into the frame: 1080 * 10^7 / 67500 counts.
        EXPECT_EQ(start + 160000, blank);
        EXPECT_EQ(frame - 1, timelineLatestVblank(timeline, blank - 1));
        EXPECT_EQ(frame, timelineLatestVblank(timeline, next - 1));
    }
    // The origin is the start of vblank 0; frame 0 began before it.
    EXPECT_EQ(1000, timelineVblankStart(timeline, 0));
    EXPECT_EQ(0, timelineFrameAt(timeline, 999));
    EXPECT_EQ(-1, timelineLatestVblank(timeline, 999));
    EXPECT_EQ(1079, timelineScanLine(timeline, 999, nullptr));
    EXPECT_EQ(1000 - 160000, timelineFrameStart(timeline, 0));
}

TEST(TimelineRate, PeriodIntegerRateAndValidity)
{
    EXPECT_EQ(166667, timelinePeriodAt(makeTimeline(kTenMegahertz, 0, {60, 1}), 0));
    EXPECT_EQ(166833, timelinePeriodAt(makeTimeline(kTenMegahertz, 0, {60000, 1001}), 0));
    EXPECT_EQ(20833, timelinePeriodAt(makeTimeline(3000000, 0, {144, 1}), 0));
    EXPECT_EQ(3, timelinePeriodAt(makeTimeline(5, 0, {2, 1}), 0));   // 2.5 rounds up
    EXPECT_EQ(60u, timelineIntegerRate({60000, 1001}));
    EXPECT_EQ(60u, timelineIntegerRate({59940, 1000}));
    EXPECT_EQ(24u, timelineIntegerRate({24000, 1001}));
    EXPECT_EQ(144u, timelineIntegerRate({287, 2}));
    EXPECT_DOUBLE_EQ(59.94, timelineRateHz({59940, 1000}));

    Timeline timeline;
    EXPECT_FALSE(timelineInit(&timeline, 0, 0, {60, 1}));
    EXPECT_FALSE(timelineInit(&timeline, kTenMegahertz, 0, {0, 1}));
    EXPECT_FALSE(timelineInit(&timeline, kTenMegahertz, 0, {60, 0}));
    EXPECT_FALSE(timelineInit(&timeline, kTenMegahertz, 0, {1, 2}));      // below 1 Hz
    EXPECT_FALSE(timelineInit(&timeline, kTenMegahertz, 0, {1001, 1}));   // above 1000 Hz
    EXPECT_TRUE(timelineInit(&timeline, kTenMegahertz, 0, {1000, 1}));
}

TEST(TimelineRateChange, LaterFramesRunAtTheNewRateFromTheExactFrameStart)
{
    const int64_t origin = 5000;
    const Timeline plain = makeTimeline(kTenMegahertz, origin, {60, 1});
    Timeline changed = makeTimeline(kTenMegahertz, origin, {60, 1});
    ASSERT_TRUE(timelineChangeRate(&changed, 10, {144, 1}));
    Timeline copy = changed;
    EXPECT_FALSE(timelineChangeRate(&copy, 10, {120, 1})) << "changes come in rising frames";
    EXPECT_FALSE(timelineChangeRate(&copy, 9, {120, 1}));

    for (int64_t k = -3; k <= 10; ++k)
        EXPECT_EQ(timelineFrameStart(plain, k), timelineFrameStart(changed, k)) << k;
    for (int64_t k = 0; k <= 9; ++k)
        EXPECT_EQ(timelineVblankStart(plain, k), timelineVblankStart(changed, k)) << k;

    // From frame 10 on: 1125 lines of 10^7 / (144 * 1125) counts each, counted from there.
    const int64_t start = timelineFrameStart(plain, 10);
    for (int64_t k = 10; k <= 100000; k += 331) {
        const int64_t frames = k - 10;
        EXPECT_EQ(start + exactFloor(frames, kTenMegahertz, 144), timelineFrameStart(changed, k));
        EXPECT_EQ(start + exactFloor(frames * 1125 + 1080, kTenMegahertz, 144 * 1125),
                  timelineVblankStart(changed, k));
    }
    EXPECT_EQ(10, timelineFrameAt(changed, start));
    EXPECT_EQ(0, timelineScanLine(changed, start, nullptr));
    EXPECT_EQ(9, timelineFrameAt(changed, start - 1));
    EXPECT_EQ(1124, timelineScanLine(changed, start - 1, nullptr));

    EXPECT_EQ(60u, timelineRateAt(changed, start - 1).numerator);
    EXPECT_EQ(166667, timelinePeriodAt(changed, start - 1));
    EXPECT_EQ(144u, timelineRateAt(changed, start).numerator);
    EXPECT_EQ(69444, timelinePeriodAt(changed, start));

    // A later change starts from where the one before left its frame.
    Timeline twice = changed;
    ASSERT_TRUE(timelineChangeRate(&twice, 400, {50, 1}));
    for (int64_t k = 0; k <= 400; k += 7)
        EXPECT_EQ(timelineFrameStart(changed, k), timelineFrameStart(twice, k)) << k;
    const int64_t second = timelineFrameStart(changed, 400);
    EXPECT_EQ(second + exactFloor(100, kTenMegahertz, 50), timelineFrameStart(twice, 500));
    EXPECT_EQ(144u, timelineRateAt(twice, second - 1).numerator);
    EXPECT_EQ(50u, timelineRateAt(twice, second).numerator);
    EXPECT_EQ(399, timelineFrameAt(twice, second - 1));
    for (int change = 2; change <= kTimelineMaxChanges; ++change)
        EXPECT_EQ(change == kTimelineMaxChanges, !timelineChangeRate(&twice, 400 + change, {60, 1})) << change;

    // Frame 0 cannot change (it began before the origin); nor can a bad rate be set.
    Timeline other = makeTimeline(kTenMegahertz, origin, {60, 1});
    EXPECT_FALSE(timelineChangeRate(&other, 0, {144, 1}));
    EXPECT_FALSE(timelineChangeRate(&other, 5, {0, 1}));
    EXPECT_EQ(1, other.segmentCount);
}

TEST(TimelineVariableRefresh, FramesFallBetweenTheRatesAndEveryCounterFindsItsLine)
{
    // 48 to 144 Hz at 10 MHz: frames of 69,444 to 208,333 counts around 72 Hz's 138,888.
    Timeline timeline = makeTimeline(kTenMegahertz, 777, {72, 1});
    const int64_t jitter = (208333 - 69444) / 4;
    Timeline refused = timeline;
    EXPECT_FALSE(timelineVariableRefresh(&refused, 138889 / 2 + 1, 1)) << "a vblank may not move by half a period";
    ASSERT_TRUE(timelineVariableRefresh(&timeline, jitter, 5));
    EXPECT_FALSE(timelineChangeRate(&timeline, 10, {60, 1}));
    EXPECT_EQ(777, timelineVblankStart(timeline, 0));

    int64_t shortest = INT64_MAX, longest = 0;
    const int kFrames = 20000;
    for (int64_t k = 0; k < kFrames; ++k) {
        const int64_t length = timelineVblankStart(timeline, k + 1) - timelineVblankStart(timeline, k);
        shortest = std::min(shortest, length);
        longest = std::max(longest, length);
    }
    EXPECT_GE(shortest, 69444 - 1);
    EXPECT_LE(longest, 208333 + 1);
    EXPECT_LT(shortest, 69444 + 4000) << "the draws reach near both ends";
    EXPECT_GT(longest, 208333 - 4000);
    const double mean = static_cast<double>(timelineVblankStart(timeline, kFrames) - 777) / kFrames;
    EXPECT_NEAR(138888.9, mean, 10.0) << "no drift: the average frame stays 72 Hz's";

    // Every counter lies on the line whose start is at or before it and whose successor's is after,
    // here and where vblanks move by just under half a period (frames from almost 0 to 2 periods).
    Timeline widest = makeTimeline(kTenMegahertz, 777, {72, 1});
    ASSERT_TRUE(timelineVariableRefresh(&widest, 138889 / 2, 9));
    uint64_t state = 12345;
    for (int i = 0; i < 40000; ++i) {
        const Timeline& t = i % 2 == 0 ? timeline : widest;
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const int64_t counter = 777 - 300000 + static_cast<int64_t>((state >> 20) % 3000000000ull);
        const int64_t line = timelineLineAt(t, counter);
        ASSERT_LE(timelineLineStart(t, line), counter) << counter;
        ASSERT_GT(timelineLineStart(t, line + 1), counter) << counter;
        const int64_t vblank = timelineLatestVblank(t, counter);
        ASSERT_EQ(timelineVblankStart(t, vblank + 1) - timelineVblankStart(t, vblank),
                  timelinePeriodAt(t, counter));
    }
}

TEST(TimelineParseRate, AcceptsRatesFromTheEnvironment)
{
    const struct {
        const char* text;
        uint32_t numerator;
        uint32_t denominator;
    } cases[] = {
        {"60", 60, 1},          {"144", 144, 1},          {"59.94", 59940, 1000},
        {"60000/1001", 60000, 1001}, {" 75\t", 75, 1},    {"119.88", 119880, 1000},
        {"23.976", 23976, 1000}, {"59.9401", 599401, 10000}, {"60.5", 60500, 1000},
        {"1", 1, 1},            {"1000", 1000, 1},        {"60.000000", 60000000, 1000000},
        {"0060", 60, 1},        {"2/2", 2, 2},
    };
    for (const auto& c : cases) {
        RefreshRatio rate = {0, 0};
        ASSERT_TRUE(timelineParseRate(c.text, &rate)) << '"' << c.text << '"';
        EXPECT_EQ(c.numerator, rate.numerator) << c.text;
        EXPECT_EQ(c.denominator, rate.denominator) << c.text;
    }
}

TEST(TimelineParseRate, EverythingElseIsRefused)
{
    const char* const cases[] = {
        "", " ", "0", "0.0", "abc", "-5", "+60", "60Hz", "60 Hz", "1e9", "1001", "0.5",
        "1000.001", "60/0", "0/1", "/1", "60/", "60//1", "60/1/1", "99999999999",
        "4294967296/1", "59.9400001", "60.", ".5", "nan", "inf", "6 0", "60,0", "0x3C",
        "99999999999999999999999",
    };
    for (const char* text : cases) {
        RefreshRatio rate = {12, 34};
        EXPECT_FALSE(timelineParseRate(text, &rate)) << '"' << text << '"';
        EXPECT_EQ(12u, rate.numerator) << text;
        EXPECT_EQ(34u, rate.denominator) << text;
    }
    RefreshRatio rate = {12, 34};
    EXPECT_FALSE(timelineParseRate(nullptr, &rate));
}

}   // namespace

namespace {

// Counters and indices far beyond any real one: the answers stop at the ends of the range
// instead of overflowing (the sanitizers of the host build catch an overflow).
TEST(TimelineRange, FarCountersAndIndicesSaturateInsteadOfOverflowing)
{
    Timeline timeline;
    ASSERT_TRUE(timelineInit(&timeline, kTenMegahertz, 5000, {60, 1}));
    for (const int64_t counter : {INT64_MIN, INT64_MIN + 1, -(int64_t{1} << 62), INT64_MAX - 1, INT64_MAX}) {
        bool inBlank = false;
        const int32_t line = timelineScanLine(timeline, counter, &inBlank);
        EXPECT_GE(line, 0) << counter;
        EXPECT_LT(line, kTimelineLines) << counter;
        (void)timelineFrameAt(timeline, counter);
        (void)timelineLatestVblank(timeline, counter);
    }
    EXPECT_EQ(INT64_MAX, timelineVblankStart(timeline, INT64_MAX));
    EXPECT_LT(timelineVblankStart(timeline, INT64_MIN), -(int64_t{1} << 62));
    EXPECT_EQ(INT64_MAX, timelineFrameStart(timeline, INT64_MAX / 2));
    EXPECT_EQ(INT64_MAX, timelineMulDivFloor(INT64_MAX, INT64_MAX, 3));
    EXPECT_EQ(INT64_MIN, timelineMulDivFloor(INT64_MIN, INT64_MAX, 3));
    EXPECT_EQ(-4, timelineMulDivFloor(INT64_MIN, 3, INT64_MAX)) << "exact where it fits";
    // A counter frequency at the top of the range still gives a period, not an overflow.
    Timeline fast;
    ASSERT_TRUE(timelineInit(&fast, INT64_MAX, 0, {1, 1}));
    EXPECT_GT(timelinePeriodAt(fast, 0), 0);
    Timeline changed;
    ASSERT_TRUE(timelineInit(&changed, kTenMegahertz, 0, {60, 1}));
    EXPECT_TRUE(timelineChangeRate(&changed, INT64_MAX, {50, 1}));
}

}   // namespace
