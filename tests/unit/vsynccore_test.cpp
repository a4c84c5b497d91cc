// The vsync server's arithmetic: the interval ring, the signed scan line, the load,
// the status line and the quiet retry; and the process-wide record built on them.
#include "core/clock.h"
#include "vsync/vsync.h"
#include "vsync/vsynccore.h"

#include "support/tick_guard.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

VblankRing freshRing()
{
    VblankRing ring;
    std::memset(&ring, 0x5A, sizeof ring);    // reset must not rely on a zeroed ring
    vblankRingReset(ring);
    return ring;
}

TEST(VblankRing, OneVblankGivesTheTimeButNoPeriod)
{
    VblankRing ring = freshRing();
    vblankRingRecord(ring, 5000);
    int64_t last = -1, average = -1;
    EXPECT_FALSE(vblankRingTiming(ring, &last, &average));
    EXPECT_EQ(5000, last);
    EXPECT_EQ(0, average);
}

TEST(VblankRing, AverageTruncatesTowardZero)
{
    VblankRing ring = freshRing();
    for (int64_t t : {1000, 1100, 1250})
        vblankRingRecord(ring, t);
    int64_t last = 0, average = 0;
    ASSERT_TRUE(vblankRingTiming(ring, &last, &average));
    EXPECT_EQ(1250, last);
    EXPECT_EQ(125, average);
    EXPECT_TRUE(vblankRingTiming(ring, nullptr, nullptr));

    VblankRing small = freshRing();
    for (int64_t t : {10, 13, 17})    // intervals 3 and 4
        vblankRingRecord(small, t);
    EXPECT_EQ(3, vblankRingAverage(small));
}

TEST(VblankRing, FullRingReplacesTheOldestInterval)
{
    VblankRing ring = freshRing();
    int64_t t = 1000;
    vblankRingRecord(ring, t);
    for (int i = 0; i < 60; ++i)
        vblankRingRecord(ring, t += 100);    // 61 vblanks, 60 intervals of 100
    EXPECT_EQ(60, ring.count);
    EXPECT_EQ(100, vblankRingAverage(ring));
    vblankRingRecord(ring, t += 160);       // the 62nd: replaces the first stored
    EXPECT_EQ(60, ring.count);
    EXPECT_EQ(6060, ring.sum);
    EXPECT_EQ(101, vblankRingAverage(ring));
    EXPECT_EQ(160, ring.intervals[0]);
    EXPECT_EQ(1, ring.next);
}

TEST(VblankRing, IntervalsBeyond32BitsStayExact)
{
    VblankRing ring = freshRing();
    // A suspension of an hour at 10 MHz: 36,000,000,000 ticks, far beyond 2^31.
    vblankRingRecord(ring, 1000);
    vblankRingRecord(ring, 1000 + 36000000000LL);
    int64_t average = 0;
    ASSERT_TRUE(vblankRingTiming(ring, nullptr, &average));
    EXPECT_EQ(36000000000LL, average);
    // Sixty intervals of 3e9 ticks each: the sum, 1.8e11, also needs 64 bits.
    int64_t t = 1000 + 36000000000LL;
    for (int i = 0; i < 60; ++i)
        vblankRingRecord(ring, t += 3000000000LL);
    EXPECT_EQ(3000000000LL, vblankRingAverage(ring));
}

TEST(VblankRing, ResetForgetsTimeAndIntervals)
{
    VblankRing ring = freshRing();
    for (int64_t t : {100, 200, 300})
        vblankRingRecord(ring, t);
    vblankRingReset(ring);
    int64_t last = -1, average = -1;
    EXPECT_FALSE(vblankRingTiming(ring, &last, &average));
    EXPECT_EQ(0, last);
    EXPECT_EQ(0, average);
    vblankRingRecord(ring, 400);
    vblankRingRecord(ring, 450);
    EXPECT_EQ(50, vblankRingAverage(ring));    // nothing of before the reset
}

// A wait that returns at once (within a millisecond of its call) is no vblank when it came
// within half a period, and at least a millisecond, of the last vblank; a quick return a period
// after the last one is a wait called just before its vblank, and the first after a bind counts.
TEST(VblankRing, AWaitThatReturnsAtOnceTooSoonIsNoVblank)
{
    const int64_t second = 10000000, frame = 166667, last = 1000000;
    EXPECT_TRUE(vblankTooSoon(last + 500, last + 520, last, frame, second)) << "at once, just after";
    EXPECT_TRUE(vblankTooSoon(last + 70000, last + 70100, last, frame, second)) << "at once, within half a period";
    EXPECT_FALSE(vblankTooSoon(last + frame - 300, last + frame, last, frame, second)) << "called just before a vblank";
    EXPECT_FALSE(vblankTooSoon(last + 10, last + 10 + 10000, last, frame, second)) << "a whole millisecond of waiting";
    EXPECT_FALSE(vblankTooSoon(5000, 5020, 0, 0, second)) << "the first after a bind";
    EXPECT_TRUE(vblankTooSoon(last + 7000, last + 7500, last, 0, second)) << "no period yet: within a millisecond";
    EXPECT_FALSE(vblankTooSoon(last + 69000, last + 69400, last, 0, second)) << "no period yet, 7 ms on: a 144 Hz frame";
    EXPECT_TRUE(vblankTooSoon(last + 8000, last + 8100, last, 1000, second)) << "a period made of such waits is no excuse";
}

TEST(ScanLine, SignTellsVerticalBlankAndZeroBecomesOne)
{
    EXPECT_EQ(1, signedScanLine(false, 0));
    EXPECT_EQ(-1, signedScanLine(true, 0));
    EXPECT_EQ(-700, signedScanLine(true, 700));
    EXPECT_EQ(700, signedScanLine(false, 700));
    // A reading beyond the signed range is still a reading: the largest line, never 0.
    EXPECT_EQ(0x7FFFFFFF, signedScanLine(false, 0x80000000u));
    EXPECT_EQ(-0x7FFFFFFF, signedScanLine(true, 0x80000000u));
    EXPECT_EQ(0x7FFFFFFF, signedScanLine(false, 0xFFFFFFFFu));
    EXPECT_EQ(0x7FFFFFFF, signedScanLine(false, 0x7FFFFFFFu));
}

TEST(Load, WorkPerSecondOutsideBookedSleeps)
{
    const int64_t ms = 10000;    // ticks per millisecond at 10 MHz
    LoadAccount account = {0, 0, 0, 10};
    account.start = 5 * ms;
    account.slept = 500 * ms;
    account.busy = 600 * ms;
    const double load = loadMsPerSecond(account, account.start + 10000 * ms, 10000000);
    EXPECT_NEAR(100.0 / 9.5, load, 1e-9);
    char line[200];
    formatStatusLine(line, sizeof line, "X", false, 16.0, load, false);
    EXPECT_NE(nullptr, std::strstr(line, "(using 10.526 ms/sec)"));

    LoadAccount idle = {7 * ms, 0, 0, 10};
    EXPECT_EQ(0.0, loadMsPerSecond(idle, 7 * ms, 10000000));
}

TEST(Load, FirstTenCallsRestartThenItAccumulatesWithoutWrapping)
{
    LoadAccount account = {0, 0, 0, 0};
    for (int i = 1; i <= 10; ++i) {
        account.slept = 77;
        EXPECT_EQ(i * 100, loadAccount(account, i * 100, 5));
        EXPECT_EQ(i * 100, account.start);
        EXPECT_EQ(0, account.busy);
        EXPECT_EQ(0, account.slept);
    }
    for (int i = 0; i < 1000000; ++i)
        loadAccount(account, 5000 + i, 3);
    EXPECT_EQ(1000, account.start);
    EXPECT_EQ(3000000, account.busy);
    EXPECT_EQ(10, account.calls);
}

TEST(StatusLine, PeriodRatePrimaryAndComposition)
{
    const ClockGuard clock(10000000);
    char line[500];
    formatStatusLine(line, sizeof line, "\\\\.\\DISPLAY1", true, ticksToMs(166667), 1.25, true);
    EXPECT_STREQ("vsync.server: \\\\.\\DISPLAY1 [PRIMARY] 16.667ms 60.000Hz (using 1.250 ms/sec) DWM=1",
                 line);
    formatStatusLine(line, sizeof line, "\\\\.\\DISPLAY2", false, 10.0, 0.0, false);
    EXPECT_STREQ("vsync.server: \\\\.\\DISPLAY2 10.000ms 100.000Hz (using 0.000 ms/sec) DWM=0", line);
}

TEST(StatusLine, OverLongLineIsCutTo103Characters)
{
    char line[500];
    const std::string device(31, 'D');
    formatStatusLine(line, sizeof line, device.c_str(), true, 1e12, 1e15, true);
    ASSERT_GT(std::strlen(line), 103u);
    vsyncSetStatusText(line);
    char shown[200];
    std::memset(shown, '#', sizeof shown);
    EXPECT_EQ(shown, vsyncGetStatus(shown));
    EXPECT_EQ(std::string(line, 103), shown);
    EXPECT_EQ('#', shown[104]);    // the copy stops at the status text's own size
    vsyncSetStatusText("");
}

// Failed cycles of three 40-byte lines with the log's room shrinking by what they write:
// logged while one more cycle leaves the reserve, then quiet once, holding only the latest
// bind attempt's whole lines.
TEST(RetryQuiet, LogsUntilOneMoreCycleWouldEatIntoTheReserve)
{
    static RetryQuiet retry;    // 4 KiB: not on the stack
    retry = RetryQuiet{};
    const std::string line = std::string(38, 'x') + "\r\n";
    const int32_t size = static_cast<int32_t>(line.size());
    int32_t room = kServerLogReserve + 3 * 3 * size + 10;
    int logged = 0, quietLines = 0;
    for (int cycle = 0; cycle < 5; ++cycle) {
        retryQuietCycleBegins(retry);
        for (int i = 0; i < 3; ++i)
            if (retryQuietLine(retry, line.c_str(), size)) {
                ++logged;
                room -= size;
            }
        quietLines += retryQuietFailed(retry, room) ? 1 : 0;
        EXPECT_EQ(cycle >= 2, retry.quiet) << "cycle " << cycle << ": the third leaves 10 bytes above the reserve";
    }
    EXPECT_EQ(9, logged);
    EXPECT_EQ(1, quietLines);
    EXPECT_GE(room, kServerLogReserve);
    EXPECT_EQ(2, retry.quietCycles);
    EXPECT_EQ(3 * size, retry.heldBytes);

    // A runaway cycle keeps whole lines only, within the held buffer.
    retryQuietCycleBegins(retry);
    for (int i = 0; i < 200; ++i)
        EXPECT_FALSE(retryQuietLine(retry, line.c_str(), size));
    EXPECT_EQ(kHeldLinesSize / size * size, retry.heldBytes);
    EXPECT_EQ(line, std::string(retry.held + retry.heldBytes - size, static_cast<size_t>(size)));

    EXPECT_TRUE(retryQuietSucceeded(retry));
    EXPECT_FALSE(retryQuietSucceeded(retry));
    EXPECT_TRUE(retryQuietLine(retry, line.c_str(), size));
}

// The server's passes as its loop runs them, on a log whose room shrinks by what is logged:
// each cycle binds (four lines), then waits until a wait fails. A wait returns at once when
// instant, else a frame after the last vblank. Counts what the log was given.
struct ServerCycles {
    static constexpr int64_t kSecond = 10000000, kFrame = 166667;
    RetryQuiet retry{};
    ServerWaits waits{};
    int32_t room = 0;
    int64_t now = 1000000;
    int quietLines = 0, endedLines = 0, pulses = 0;

    void log(const std::string& line)
    {
        room -= static_cast<int32_t>(line.size() + 2);
    }
    void cycleLine(const std::string& line)
    {
        if (retryQuietLine(retry, (line + "\r\n").c_str(), static_cast<int32_t>(line.size() + 2)))
            log(line);
    }
    // One bind and the waits after it, until one fails or vblanks have come; true: still bound.
    bool cycle(bool instant, int vblanks = 0)
    {
        retryQuietCycleBegins(retry);
        for (const char* line : {"vsync.close.adapter=0", "vsync.bind device='\\\\.\\DISPLAY1' hDC=1",
                                 "vsync.bound hAdapter=7", "-vsyncRebind=1"})
            cycleLine(line);
        serverWaitsBound(waits, kFrame);
        for (int pass = 0; pass < 100; ++pass) {
            const int64_t start = now;
            now = instant ? now + 30 : (now / kFrame + 1) * kFrame;
            int32_t held = 0;
            const WaitOutcome outcome = serverWaitReturned(waits, true, start, now, kSecond, &held);
            if (outcome == WaitOutcome::Vblank) {
                ++pulses;
                if (quietSpellEnds(retry, waits)) {
                    ++endedLines;
                    log("vsync.retrying.ended after=0 quiet cycles");
                    retryQuietSucceeded(retry);
                    room -= retry.heldBytes;
                    retry.heldBytes = 0;
                }
                if (!instant && --vblanks <= 0)
                    return true;
            } else if (outcome == WaitOutcome::Failed) {
                cycleLine("vsync.WaitForVerticalBlankEvent FAILED");
                now += kSecond / 2;
                if (retryQuietFailed(retry, room)) {
                    ++quietLines;
                    log("vsync.retrying.quietly room=1048600 reserve=1048576");
                }
                return false;
            }
        }
        return true;
    }
};

// Waits that return success at once (a sleeping display, a stale adapter) with the log just
// above its reserve: the first wait after each bind counts, as nothing came before it, and
// must not end the spell. One quiet line and nothing more for 200 cycles; the spell ends only
// once the display's vblanks are back, a frame apart.
TEST(RetryQuiet, InstantWaitsGoQuietOnceAndStayQuiet)
{
    static ServerCycles server;    // its held lines: not on the stack
    server = ServerCycles{};
    server.room = kServerLogReserve + 400;
    for (int i = 0; i < 200; ++i)
        EXPECT_FALSE(server.cycle(true)) << "cycle " << i;
    EXPECT_EQ(1, server.quietLines);
    EXPECT_EQ(0, server.endedLines) << "a recovery that never happened";
    EXPECT_GE(server.room, kServerLogReserve);
    EXPECT_EQ(200, server.pulses) << "one per bind";
    EXPECT_GE(server.retry.quietCycles, 190) << "quiet from one of the first cycles on";

    EXPECT_TRUE(server.cycle(false, kQuietEndsAfterVblanks - 1));
    EXPECT_EQ(0, server.endedLines) << "ended before the display proved itself";
    EXPECT_TRUE(server.cycle(false, kQuietEndsAfterVblanks));
    EXPECT_EQ(1, server.endedLines);
    EXPECT_FALSE(server.retry.quiet);
}

// A quick return is judged by the shorter of the mode's frame and the latest interval, never
// by an interval that spans a parking: a wait called late, just before its vblank, is one.
TEST(ServerWaits, AQuickReturnIsJudgedByAFrameThatIsNoParkingNorAStaleMode)
{
    const int64_t second = 10000000, frame = 166667, ms = second / 1000;
    ServerWaits waits;
    int32_t held = 0;
    const auto quick = [&](int64_t at) {    // a wait that returns 0.5 ms after its call, at at
        return serverWaitReturned(waits, true, at - ms / 2, at, second, &held);
    };
    // Parked for 30 s with the mode unknown: the interval across it judges nothing.
    serverWaitsBound(waits, 0);
    int64_t t = 1000000;
    for (int i = 0; i < 5; ++i, t += frame)
        ASSERT_EQ(WaitOutcome::Vblank, serverWaitReturned(waits, true, t - frame, t, second, &held));
    serverWaitsParked(waits);
    t += 30 * second;
    EXPECT_EQ(WaitOutcome::Vblank, quick(t));
    EXPECT_EQ(WaitOutcome::Vblank, quick(t + frame - ms)) << "late by a millisecond after the parking";
    EXPECT_EQ(frame - ms, serverFrame(waits));

    // The mode said 60 Hz and the display now runs at 120: a 120 Hz vblank 6 ms after one that
    // woke 2 ms late is a vblank, a return 1 ms after the last is not.
    serverWaitsBound(waits, frame);
    t = 5000000;
    for (int i = 0; i < 5; ++i, t += frame / 2)
        ASSERT_EQ(WaitOutcome::Vblank, serverWaitReturned(waits, true, t - frame / 2, t, second, &held));
    EXPECT_EQ(frame / 2, serverFrame(waits));
    EXPECT_EQ(WaitOutcome::Vblank, quick(t + 60000));
    t += 60000;
    EXPECT_EQ(WaitOutcome::Held, quick(t + ms));
    EXPECT_EQ(WaitOutcome::Held, quick(t + ms + 100));
    EXPECT_EQ(WaitOutcome::Failed, quick(t + ms + 200)) << "three too soon in a row";
    EXPECT_EQ(WaitOutcome::Vblank, quick(t + frame / 2)) << "judged afresh after the failure";

    // One too soon, then a proper vblank: the held one goes into the record with it.
    EXPECT_EQ(WaitOutcome::Held, quick(t + frame / 2 + 50));
    EXPECT_EQ(WaitOutcome::Vblank, serverWaitReturned(waits, true, t + frame / 2 + 60, t + frame, second, &held));
    EXPECT_EQ(1, held);
    EXPECT_EQ(t + frame / 2 + 50, waits.held[0]);
}

TEST(VsyncRecord, ProcessRecordReadsTimeAndAverageTogether)
{
    vsyncResetTiming();
    EXPECT_EQ(0, vsyncLastVblank());
    EXPECT_FALSE(vsyncGetTiming(nullptr, nullptr));
    vsyncRecordVblank(2000);
    EXPECT_EQ(2000, vsyncLastVblank());
    EXPECT_FALSE(vsyncGetTiming(nullptr, nullptr));
    vsyncRecordVblank(2166);
    int64_t last = 0, average = 0;
    EXPECT_TRUE(vsyncGetTiming(&last, &average));
    EXPECT_EQ(2166, last);
    EXPECT_EQ(166, average);
    vsyncSetLastScanLine(-1090);
    EXPECT_EQ(-1090, vsyncLastScanLine());
    vsyncSetLastScanLine(0);
    vsyncResetTiming();
    EXPECT_EQ(0, vsyncLastVblank());
}

}  // namespace
