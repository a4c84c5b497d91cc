// The virtual display's profiles: what the parser accepts and what it refuses (with a reason
// that names the bad part and what is expected), the named profiles, the log's profile line
// read back, the random draws, and the model's truth (interrupts, stalls, the compositor's
// publishing and flush) against brute-force evaluations worked out here; and the sleep plan
// that lands the interrupt thread on its moments.
#include "report/truth.h"
#include "support/profile_same.h"
#include "virtual/model.h"
#include "virtual/sleepplan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr int64_t kTenMegahertz = 10000000;

VirtualProfile parsed(const std::string& text)
{
    VirtualProfile profile;
    std::string why;
    EXPECT_TRUE(virtualProfileParse(text, &profile, &why)) << text << ": " << why;
    return profile;
}

void expectSame(const VirtualProfile& a, const VirtualProfile& b, const std::string& context)
{
    EXPECT_EQ("", profileDifference(a, b)) << context;
}

TEST(ProfileParse, RatesKeysAndTheirDefaults)
{
    const VirtualProfile plain = parsed("60");
    EXPECT_TRUE(sameRatio({60, 1}, plain.nominal));
    EXPECT_TRUE(sameRatio({60, 1}, plain.trueRate)) << "the true rate defaults to the nominal";
    EXPECT_EQ(0, plain.wakeNs);
    EXPECT_EQ(0, plain.stallMilli);
    EXPECT_EQ(0, plain.flushNs);
    EXPECT_FALSE(plain.dwmPeriodNominal);
    EXPECT_EQ(0, plain.changeCount);
    EXPECT_EQ(1u, plain.seed);

    const VirtualProfile full = parsed(
        "60000/1001, true=59.951 ,wake=30.25,stall=1.5,dwmlag=600,dwmskip=0.125,"
        "dwmperiod=nominal,change=300:50,seed=4294967295");
    EXPECT_TRUE(sameRatio({60000, 1001}, full.nominal));
    EXPECT_TRUE(sameRatio({59951, 1000}, full.trueRate));
    EXPECT_EQ(30250, full.wakeNs);
    EXPECT_EQ(1500, full.stallMilli);
    EXPECT_EQ(600000, full.dwmlagNs);
    EXPECT_EQ(600000, full.flushNs) << "flush defaults to dwmlag";
    EXPECT_EQ(125, full.dwmskipMilli);
    EXPECT_TRUE(full.dwmPeriodNominal);
    ASSERT_EQ(1, full.changeCount);
    EXPECT_EQ(300, full.changes[0].frame);
    EXPECT_TRUE(sameRatio({50, 1}, full.changes[0].rate));
    EXPECT_EQ(4294967295u, full.seed);

    EXPECT_EQ(900000, parsed("60,dwmlag=600,flush=900").flushNs);
    EXPECT_EQ(0, parsed("60,dwmlag=600,flush=0").flushNs) << "an explicit 0 stays";
    EXPECT_EQ(1000000000, parsed("1000,wake=1000000").wakeNs);
    EXPECT_EQ(100000, parsed("60,stall=100,dwmskip=100").dwmskipMilli);
    EXPECT_FALSE(parsed("60,dwmperiod=true").dwmPeriodNominal);
    EXPECT_EQ(0, parsed("60,change=none").changeCount);
}

TEST(ProfileParse, NamedProfilesAreTheirTextsAndTakeOverrides)
{
    expectSame(parsed("60"), parsed("ideal"), "ideal");
    expectSame(parsed("60,true=59.951,wake=30,dwmlag=600,flush=900"), parsed("desktop"),
               "desktop");
    expectSame(parsed("60,true=59.951,wake=80,stall=1,dwmlag=600,dwmskip=1,flush=900"),
               parsed("busy"), "busy");

    expectSame(parsed("60,wake=40,dwmlag=700,flush=900,change=600:120/1800:60,sleep=2400:300"), parsed("laptop"),
               "laptop");
    expectSame(parsed("60,second=144,wake=30,dwmlag=600,flush=900,dwmclock=fastest,dwmvblank=next,dwmstale=1"),
               parsed("win11"), "win11");
    const VirtualProfile vrr = parsed("vrr");
    EXPECT_TRUE(sameRatio({72, 1}, vrr.trueRate)) << "48 to 144 Hz: the average frame is 72 Hz's";
    EXPECT_TRUE(sameRatio({144, 1}, vrr.nominal));
    const VirtualProfile changes = parsed("60,change=300:120/900:60000/1001/1000:50");
    ASSERT_EQ(3, changes.changeCount) << "a ratio's '/' stays with its rate";
    EXPECT_TRUE(sameRatio({60000, 1001}, changes.changes[1].rate));
    EXPECT_EQ(1000, changes.changes[2].frame);

    const VirtualProfile seeded = parsed("busy,seed=7,dwmlag=100");
    EXPECT_EQ(7u, seeded.seed);
    EXPECT_EQ(100000, seeded.dwmlagNs);
    EXPECT_EQ(900000, seeded.flushNs) << "the name's own flush stays";
    EXPECT_EQ(80000, seeded.wakeNs);
}

TEST(ProfileParse, RefusesWithTheBadPartAndWhatIsExpected)
{
    const struct {
        const char* text;
        const char* mention;    // the reason names this
        const char* expected;   // and says this is what is expected
    } cases[] = {
        {"abc", "unknown profile 'abc'", "ideal, desktop, busy"},
        {"nan", "unknown profile 'nan'", "RATE"},
        {"0", "rate '0' is out of range", "1 to 1000 Hz"},
        {"-60", "rate '-60' is out of range", "1 to 1000 Hz"},
        {"60/0", "rate '60/0' has a zero denominator", "1 to 1000 Hz"},
        {"1e12", "rate '1e12' is not a rate", "60000/1001"},
        {"1001", "rate '1001' is out of range", "1 to 1000 Hz"},
        {"", "an empty profile", "RATE"},
        {",wake=3", "no rate or name before the first comma", "RATE"},
        {"60,", "an empty item", "key=value"},
        {"60,,wake=3", "an empty item", "key=value"},
        {"60,wake", "'wake' is no key=value item", "key=value"},
        {"60,wake=", "'wake' has no value", "key=value"},
        {"60,=5", "'=5' is no key=value item", "key=value"},
        {"60,speed=3", "unknown key 'speed'", "true, wake, stall"},
        {"60,Wake=3", "unknown key 'Wake'", "wake"},
        {"60,true=0", "true rate '0' is out of range", "1 to 1000 Hz"},
        {"60,true=fast", "true rate 'fast' is not a rate", "1 to 1000 Hz"},
        {"60,wake=-5", "wake '-5' is negative", "microseconds from 0 to 1000000"},
        {"60,wake=1000001", "wake '1000001' is too large", "0 to 1000000"},
        {"60,dwmlag=1e3", "dwmlag '1e3' is not a plain number", "microseconds"},
        {"60,flush=nan", "flush 'nan' is not a plain number", "microseconds"},
        {"60,flush=0.0001", "flush '0.0001' has more than three decimals", "three decimals"},
        {"60,wake=3.", "wake '3.' is not a plain number", "microseconds"},
        {"60,stall=101", "stall '101' is outside 0 to 100", "percentage"},
        {"60,stall=100.001", "stall '100.001' is outside 0 to 100", "percentage"},
        {"60,dwmskip=-1", "dwmskip '-1' is outside 0 to 100", "percentage"},
        {"60,dwmperiod=yes", "dwmperiod 'yes'", "true or nominal"},
        {"60,change=0:50", "frame 0 is below 1", "FRAME:RATE"},
        {"60,change=300", "change '300' has no ':'", "FRAME:RATE"},
        {"60,change=x:50", "frame 'x'", "FRAME:RATE"},
        {"60,change=300:0", "change rate '0' is out of range", "1 to 1000 Hz"},
        {"60,change=1000000001:50", "frame '1000000001'", "from 1 to 1000000000"},
        {"60,seed=-1", "seed '-1' is not a whole number", "0 to 4294967295"},
        {"60,seed=4294967296", "seed '4294967296'", "0 to 4294967295"},
        {"60,wake=3,wake=4", "key 'wake' is given twice", "twice"},
        {"desktop,seed=2,seed=3", "key 'seed' is given twice", "twice"},
        {"desktopp", "unknown profile 'desktopp'", "desktop"},
        {"60,rate=60", "unknown key 'rate'", "true, wake"},
        {"60,vblank0=5", "unknown key 'vblank0'", "true, wake"},
        {"60,second=0", "second rate '0' is out of range", "1 to 1000 Hz"},
        {"60,second=144:x", "second true rate 'x' is not a rate", "1 to 1000 Hz"},
        {"60,second=", "'second' has no value", "key=value"},
        {"60,sleep=600", "sleep '600' has 1 parts", "FRAME:FRAMES"},
        {"60,sleep=0:300", "sleep '0:300'", "FRAME and FRAMES from 1"},
        {"60,sleep=600:300:snooze", "'snooze' is no way of waiting", "occluded|timeout|instant"},
        {"60,change=900:50/300:120", "frame 300 does not come after", "rising FRAMEs"},
        {"60,change=1:50/2:50/3:50/4:50/5:50/6:50/7:50/8:50/9:50", "has 9 changes", "at most 8"},
        {"60,unplug=300", "unplug needs a second output", "second=RATE"},
        {"60,second=144,unplug=300:300", "unplug '300:300'", "FRAME < BACK"},
        {"60,second=144,unplug=x", "unplug 'x'", "FRAME[:BACK]"},
        {"144,vrr=144:48", "the lowest rate is not below the highest", "MIN:MAX"},
        {"144,vrr=48", "vrr '48' has no ':'", "MIN:MAX"},
        {"144,vrr=48:144,change=300:60", "vrr and change together", "one of them"},
        {"144,vrr=48:144,true=100", "vrr and true together", "one of them"},
        {"144,vrr=48.000001:144", "too fine", "three decimals"},
        {"60,dwmclock=slowest", "dwmclock 'slowest'", "primary or fastest"},
        {"60,dwmvblank=now", "dwmvblank 'now'", "past or next"},
        {"60,dwmstale=200", "dwmstale '200' is outside 0 to 100", "percentage"},
    };
    for (const auto& c : cases) {
        VirtualProfile profile;
        profile.seed = 99;
        std::string why;
        EXPECT_FALSE(virtualProfileParse(c.text, &profile, &why)) << '"' << c.text << '"';
        EXPECT_NE(std::string::npos, why.find(c.mention)) << c.text << ": " << why;
        EXPECT_NE(std::string::npos, why.find(c.expected)) << c.text << ": " << why;
        EXPECT_EQ(99u, profile.seed) << "no half-applied profile: " << c.text;
    }
}

TEST(ProfileLine, EveryKeyOnOneLineThatReadsBackExactly)
{
    const VirtualProfile desktop = parsed("desktop");
    const std::string line = virtualProfileLine(desktop, kTenMegahertz, 1234567);
    EXPECT_EQ("virtual.display profile rate=60 true=59.951 wake=30 stall=0 dwmlag=600 flush=900 "
              "dwmskip=0 dwmperiod=true change=none second=none seed=1 sleep=none unplug=none vrr=none "
              "dwmclock=primary dwmvblank=past dwmstale=0 frequency=10000000 "
              "vblank0=1234567 lines=1125",
              line);
    EXPECT_NE(std::string::npos,
              virtualProfileLine(parsed("60,second=144"), kTenMegahertz, 0).find(" second=144:144 "))
        << "both rates of the second output";

    const char* const texts[] = {
        "60", "busy", "60000/1001,true=599401/10000", "2/2,true=59.94,wake=0.001",
        "144,true=143.999999,stall=0.5,dwmskip=99.999,dwmperiod=nominal,change=7:60000/1001",
        "1000,wake=1000000,dwmlag=12.5,flush=0,seed=0", "1,true=1000,change=1000000000:1",
        "60,second=144", "desktop,second=60000/1001:59.9", "60,sleep=600:300", "60,sleep=1:1000000000:instant",
        "60,sleep=5:7:timeout", "laptop", "win11", "vrr", "60,second=144,unplug=300:900", "60,second=50,unplug=1",
        "30,vrr=24.5:60000/1001,seed=3", "60,change=1:60000/1001/2:1000/1000000000:1",
    };
    for (const char* text : texts) {
        const VirtualProfile profile = parsed(text);
        for (const int64_t vblank0 : {int64_t{0}, int64_t{-5000}, int64_t{987654321012}}) {
            VirtualProfile back;
            int64_t frequency = 0, origin = 0;
            std::string why;
            const std::string written = virtualProfileLine(profile, 3579545, vblank0);
            ASSERT_TRUE(virtualProfileReadLine(written, &back, &frequency, &origin, &why))
                << written << ": " << why;
            expectSame(profile, back, written);
            EXPECT_EQ(3579545, frequency);
            EXPECT_EQ(vblank0, origin);
        }
    }

    VirtualProfile back;
    int64_t frequency = 0, origin = 0;
    std::string why;
    for (const char* bad : {
             "virtual.display stands in at 60.000 Hz (60/1)",
             "virtual.display profile",
             "virtual.display profile rate=60 frequency=10000000",                // no vblank0
             "virtual.display profile rate=60 vblank0=5",                         // no frequency
             "virtual.display profile true=60 frequency=10000000 vblank0=5",      // no rate
             "virtual.display profile rate=60 frequency=0 vblank0=5",
             "virtual.display profile rate=60 frequency=10000000 vblank0=x",
             "virtual.display profile rate=60 frequency=10000000 vblank0=5 lines=1124",
             "virtual.display profile rate=60 frequency=10000000 vblank0=5 colour=red",
             "virtual.display profile rate=60  frequency=10000000 vblank0=5",     // empty item
         }) {
        EXPECT_FALSE(virtualProfileReadLine(bad, &back, &frequency, &origin, &why)) << bad;
        EXPECT_NE(std::string::npos, why.find("; expected ")) << bad << ": " << why;
    }
}

TEST(ProfileDraws, UniformStableAndApartForEachSeedKindAndOutput)
{
    // The same arguments give the same draw; any other argument gives another stream.
    EXPECT_EQ(virtualDraw(1, VirtualDraw::kWake, 0, 42), virtualDraw(1, VirtualDraw::kWake, 0, 42));
    int differ = 0;
    for (int64_t k = 0; k < 1000; ++k) {
        const uint32_t base = virtualDraw(1, VirtualDraw::kWake, 0, k);
        differ += base != virtualDraw(2, VirtualDraw::kWake, 0, k);
        differ += base != virtualDraw(1, VirtualDraw::kStall, 0, k);
        differ += base != virtualDraw(1, VirtualDraw::kWake, 1, k);
        differ += base != virtualDraw(1, VirtualDraw::kWake, 0, k + 1);
    }
    EXPECT_EQ(4000, differ);

    // Uniform: the mean and each sixteenth of the range.
    constexpr int kDraws = 160000;
    double sum = 0.0;
    int bins[16] = {};
    for (int64_t k = 0; k < kDraws; ++k) {
        const uint32_t draw = virtualDraw(3, VirtualDraw::kCompositorSkip, 0, k);
        sum += draw / 4294967296.0;
        ++bins[draw >> 28];
    }
    EXPECT_NEAR(0.5, sum / kDraws, 0.005);
    for (const int bin : bins)
        EXPECT_NEAR(kDraws / 16, bin, 500);
}

TEST(ProfileDraws, IntegerLogarithmMatchesTheLibrary)
{
    for (const uint32_t draw : {0u, 1u, 2u, 1000u, 65535u, 0x7FFFFFFFu, 0x80000000u, 3000000000u,
                                0xFFFFFFFEu, 0xFFFFFFFFu}) {
        const double expected = -std::log((draw + 0.5) / 4294967296.0);
        const double got = static_cast<double>(virtualNegLogQ24(draw)) / 16777216.0;
        EXPECT_NEAR(expected, got, 2e-6) << draw;
    }
    for (uint64_t draw = 0; draw < 0x100000000ull; draw += 0x1003F) {
        const double expected = -std::log((static_cast<double>(draw) + 0.5) / 4294967296.0);
        ASSERT_NEAR(expected, virtualNegLogQ24(static_cast<uint32_t>(draw)) / 16777216.0, 2e-6)
            << draw;
    }
}

class ProfileModel : public ::testing::Test {
protected:
    VirtualModel model(const std::string& text, int64_t origin = 1000)
    {
        VirtualModel made;
        EXPECT_TRUE(virtualModelInit(&made, parsed(text), kTenMegahertz, origin)) << text;
        return made;
    }
    // Vblank k of a rate num/den on a 10 MHz counter, by the plain rational formula.
    static int64_t start(int64_t origin, int64_t k, RefreshRatio rate)
    {
        return origin + k * kTenMegahertz * rate.denominator / rate.numerator;
    }
};

TEST_F(ProfileModel, WakeDelaysAreExponentialWithTheMeanAndCappedAtHalfAFrame)
{
    const VirtualModel desktop = model("60,true=59.951,wake=30");
    double sum = 0.0;
    int64_t largest = 0;
    constexpr int kVblanks = 100000;
    for (int64_t k = 0; k < kVblanks; ++k) {
        const int64_t delay = virtualWakeDelay(desktop, 0, k);
        // The delay is the draw's -ln times the mean, in counter counts.
        const uint32_t draw = virtualDraw(1, VirtualDraw::kWake, 0, k);
        const double exact = 30.0 * 10.0 * -std::log((draw + 0.5) / 4294967296.0);
        ASSERT_NEAR(exact, static_cast<double>(delay), 1.01) << k;
        ASSERT_EQ(start(1000, k, {59951, 1000}) + delay, virtualInterruptDue(desktop, 0, k)) << k;
        sum += static_cast<double>(delay);
        largest = std::max(largest, delay);
    }
    EXPECT_NEAR(300.0, sum / kVblanks, 3.0) << "mean 30 us = 300 counts";
    EXPECT_GT(largest, 2000) << "an exponential tail";

    // A mean longer than a frame is cut at half a frame: the interrupt never overtakes the
    // next vblank by itself (that is what stall= is for).
    const VirtualModel slow = model("100,wake=100000");
    for (int64_t k = 0; k < 1000; ++k)
        ASSERT_LE(virtualWakeDelay(slow, 0, k), 50000) << k;
    EXPECT_EQ(0, virtualWakeDelay(model("60"), 0, 5));
}

TEST_F(ProfileModel, StalledInterruptsAreSkippedAndALateOneServesWhatItOvertook)
{
    const VirtualModel stalling = model("60,wake=100,stall=25,seed=11");
    int stalled = 0;
    for (int64_t k = 0; k < 100000; ++k)
        stalled += virtualInterruptStalled(stalling, 0, k) ? 1 : 0;
    EXPECT_NEAR(25000, stalled, 700);
    EXPECT_FALSE(virtualInterruptStalled(model("60,wake=100"), 0, 3));

    // Brute force: the non-stalled vblanks from `from` on; the last of them already due at
    // `now`, else the first.
    for (int64_t from = 0; from < 200; from += 7) {
        for (int64_t now = start(1000, from, {60, 1}) - 5000; now < start(1000, from + 6, {60, 1});
             now += 9001) {
            int64_t expected = -1;
            for (int64_t k = from; k < from + 64; ++k) {
                if (virtualInterruptStalled(stalling, 0, k))
                    continue;
                if (virtualInterruptDue(stalling, 0, k) <= now || expected < 0)
                    expected = k;
                if (virtualInterruptDue(stalling, 0, k) > now)
                    break;
            }
            ASSERT_EQ(expected, virtualNextInterrupt(stalling, 0, from, now)) << from << " " << now;
            ASSERT_FALSE(virtualInterruptStalled(stalling, 0, expected));
        }
    }
    // Every interrupt stalls: nothing to deliver in the stretch searched.
    EXPECT_EQ(-1, virtualNextInterrupt(model("60,stall=100"), 0, 10, 0));
}

TEST_F(ProfileModel, CompositorPublishesLateSkipsFramesAndFlushesAfterTheNextOne)
{
    const VirtualModel busy = model("60,true=59.951,dwmlag=600,dwmskip=10,flush=900,seed=4");
    const RefreshRatio rate = {59951, 1000};
    int skipped = 0;
    for (int64_t k = 0; k < 20000; ++k)
        skipped += virtualCompositorSkipped(busy, k) ? 1 : 0;
    EXPECT_NEAR(2000, skipped, 150);

    for (int64_t at = 0; at < start(1000, 400, rate); at += 1733) {
        // Published: the latest frame not missed whose start lies 600 us (6000 counts) back.
        int64_t expected = -1;
        for (int64_t k = 0; start(1000, k, rate) + 6000 <= at; ++k)
            if (!virtualCompositorSkipped(busy, k))
                expected = k;
        ASSERT_EQ(expected, virtualPublishedVblank(busy, at)) << at;
        // A flush: 900 us after the first later vblank that is not missed.
        int64_t next = 0;
        while (start(1000, next, rate) <= at || virtualCompositorSkipped(busy, next))
            ++next;
        ASSERT_EQ(start(1000, next, rate) + 9000, virtualFlushReturn(busy, at)) << at;
    }

    // The ratio is the nominal one; the period the true one, or the nominal one by option.
    EXPECT_TRUE(sameRatio({60, 1}, virtualNominalRate(busy, 0, 5000)));
    EXPECT_EQ(166803, virtualCompositorPeriod(busy, 5000)) << "1e7 / 59.951, rounded";
    EXPECT_EQ(166667, virtualCompositorPeriod(model("60,true=59.951,dwmperiod=nominal"), 5000));
    EXPECT_EQ(-1, virtualPublishedVblank(model("60,dwmskip=100"), start(1000, 100, {60, 1})));
}

TEST_F(ProfileModel, AChangeIsAModeChangeAtItsFrame)
{
    const VirtualModel changing = model("60,true=59.9,change=10:50");
    const int64_t change = timelineFrameStart(changing.timeline, 10);
    EXPECT_TRUE(sameRatio({60, 1}, virtualNominalRate(changing, 0, change - 1)));
    EXPECT_TRUE(sameRatio({50, 1}, virtualNominalRate(changing, 0, change)));
    EXPECT_EQ(200000, virtualCompositorPeriod(changing, change));
    EXPECT_EQ(change + 192000, timelineVblankStart(changing.timeline, 10)) << "1080 lines of 50 Hz";

    VirtualModel refused;
    EXPECT_FALSE(virtualModelInit(&refused, parsed("60"), 0, 0)) << "no counter frequency";
}

// Variable refresh as monitors have it, ranges of four and five to one: every frame between the
// two rates' periods, the draws reaching near both ends, the average frame the profile's true
// rate, and the same vblanks again from the printed profile line alone.
TEST_F(ProfileModel, WideVariableRefreshFallsBetweenItsRatesAndFollowsFromItsLine)
{
    const struct {
        const char* text;
        double lowHz, highHz;
    } cases[] = {{"60,vrr=40:165", 40.0, 165.0}, {"60,vrr=48:240,seed=7", 48.0, 240.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const VirtualModel vrr = model(c.text, 4321);
        const double shortestAllowed = kTenMegahertz / c.highHz, longestAllowed = kTenMegahertz / c.lowHz;
        const double averageHz = 2.0 / (1.0 / c.lowHz + 1.0 / c.highHz);
        EXPECT_NEAR(averageHz, timelineRateHz(vrr.profile.trueRate), 1e-9);

        LogTruth truth;
        std::string problem;
        ASSERT_TRUE(readLogTruth({virtualProfileLine(vrr.profile, kTenMegahertz, 4321)}, &truth, &problem)) << problem;
        constexpr int kFrames = 40000;
        double shortest = 1e18, longest = 0.0;
        for (int64_t k = 0; k < kFrames; ++k) {
            const int64_t start = timelineVblankStart(vrr.timeline, k);
            ASSERT_EQ(start, truth.startTick(k)) << k;
            const double length = static_cast<double>(timelineVblankStart(vrr.timeline, k + 1) - start);
            ASSERT_GE(length, shortestAllowed - 1.0) << k;
            ASSERT_LE(length, longestAllowed + 1.0) << k;
            shortest = std::min(shortest, length);
            longest = std::max(longest, length);
        }
        const double range = longestAllowed - shortestAllowed;
        EXPECT_LT(shortest, shortestAllowed + 0.02 * range);
        EXPECT_GT(longest, longestAllowed - 0.02 * range);
        const double mean = static_cast<double>(timelineVblankStart(vrr.timeline, kFrames) - 4321) / kFrames;
        EXPECT_NEAR(kTenMegahertz / averageHz, mean, 1.0) << "no drift from the average frame";
    }
}

// Every refusal of the model names the value that is wrong and what is expected, so that the
// tool's "virtual.display refused" line says it too.
TEST_F(ProfileModel, EveryRefusalNamesTheValueAndWhatIsExpected)
{
    constexpr int64_t kHuge = 10000000000000000;   // 1e16 counts a second: a 1001 denominator overflows
    const struct {
        const char* text;
        int64_t frequency;
        const char* mention;
    } cases[] = {
        {"60", 0, "frequency 0"},
        {"60", -5, "frequency -5"},
        {"60000/1001", kHuge, "true rate '60000/1001' at frequency 10000000000000000"},
        {"60,second=144:60000/1001", kHuge, "second true rate '60000/1001'"},
        {"60,change=300:60000/1001", kHuge, "change 300:60000/1001"},
        {"60,vrr=40:165", 1, "vrr '40:165' at frequency 1"},
    };
    for (const auto& c : cases) {
        VirtualModel refused;
        std::string why;
        EXPECT_FALSE(virtualModelInit(&refused, parsed(c.text), c.frequency, 0, &why)) << c.text;
        EXPECT_NE(std::string::npos, why.find(c.mention)) << c.text << ": " << why;
        EXPECT_NE(std::string::npos, why.find("; expected ")) << c.text << ": " << why;
    }
}

// A display asleep from vblank 600 for 300 frames: no vblank and no interrupt in between, the
// compositor's vblank standing at the last before, a flush going at once.
TEST_F(ProfileModel, ASleepHasNoVblanksAStillCompositorAndAFlushThatGoesAtOnce)
{
    const VirtualModel sleeping = model("60,dwmlag=600,sleep=600:300");
    const int64_t begins = start(1000, 600, {60, 1}), wakes = start(1000, 900, {60, 1});
    EXPECT_FALSE(virtualAsleep(sleeping, 0, begins - 1));
    EXPECT_TRUE(virtualAsleep(sleeping, 0, begins));
    EXPECT_TRUE(virtualAsleep(sleeping, 0, wakes - 1));
    EXPECT_FALSE(virtualAsleep(sleeping, 0, wakes));
    EXPECT_EQ(900, virtualWakeVblank(sleeping));
    EXPECT_EQ(900, virtualNextInterrupt(sleeping, 0, 599 + 1, begins)) << "the first interrupt after it";
    EXPECT_EQ(900, virtualNextInterrupt(sleeping, 0, 700, begins + 100));
    EXPECT_EQ(599, virtualPublishedVblank(sleeping, begins + 200000));
    EXPECT_EQ(599, virtualPublishedVblank(sleeping, wakes - 1));
    EXPECT_EQ(900, virtualPublishedVblank(sleeping, wakes + 6000 + 1));
    EXPECT_EQ(begins + 123, virtualFlushReturn(sleeping, begins + 123));
    EXPECT_EQ(begins, virtualFlushReturn(sleeping, begins - 10)) << "called just before it";
    EXPECT_FALSE(virtualAsleep(model("60"), 0, begins));
}

// The compositor clock's frames: composed at each awake vblank of its output (the faster one
// here), shown at the next awake one, numbered from 1; none composed while the display sleeps,
// and the frame composed last before the sleep is shown at the first vblank after it.
TEST_F(ProfileModel, TheClocksFramesAreComposedAtAwakeVblanksOfItsOutputAndShownAtTheNext)
{
    const VirtualModel m = model("60,second=144,dwmclock=fastest,sleep=10:5");
    const RefreshRatio rate = {144, 1};
    // Just after vblank k: {k, the id of the completed frame, its start vblank, its target vblank}.
    const struct {
        int64_t k, id, start, target;
    } cases[] = {{0, 0, 0, 0}, {1, 1, 0, 1}, {9, 9, 8, 9}, {10, 9, 8, 9}, {14, 9, 8, 9}, {15, 10, 9, 15}, {16, 11, 15, 16}};
    for (const auto& c : cases) {
        const uint64_t id = virtualClockCompletedFrame(m, start(1000, c.k, rate) + 1);
        EXPECT_EQ(static_cast<uint64_t>(c.id), id) << "after vblank " << c.k;
        if (c.id == 0)
            continue;
        const VirtualFrameStats stats = virtualClockFrameStats(m, id);
        EXPECT_EQ(start(1000, c.start, rate), stats.start) << "after vblank " << c.k;
        EXPECT_EQ(start(1000, c.target, rate), stats.target) << "after vblank " << c.k;
        EXPECT_NEAR(1e7 / 144.0, static_cast<double>(stats.period), 1.0);
    }
}

// Windows 11 with a 60 and a 144 Hz monitor: the compositor times itself by the faster one,
// reports the upcoming vblank and, on a tenth of the frames, the answer of the frame before.
TEST_F(ProfileModel, TheCompositorOnTheFasterClockReportsTheNextVblankAndNowAndThenAnOldOne)
{
    const VirtualModel win = model("60,second=144,dwmlag=600,flush=900,dwmclock=fastest,dwmvblank=next,dwmstale=10,seed=3");
    EXPECT_EQ(1, virtualCompositorOutput(win));
    EXPECT_EQ(0, virtualCompositorOutput(model("60,second=50,dwmclock=fastest"))) << "the primary is the faster";
    EXPECT_EQ(0, virtualCompositorOutput(model("60,second=144")));
    EXPECT_EQ(69444, virtualCompositorPeriod(win, 5000)) << "1e7 / 144, rounded";
    EXPECT_TRUE(sameRatio({144, 1}, virtualNominalRate(win, virtualCompositorOutput(win), 5000)));

    int stale = 0;
    for (int64_t k = 0; k < 20000; ++k)
        stale += virtualCompositorStale(win, k) ? 1 : 0;
    EXPECT_NEAR(2000, stale, 150);
    for (int64_t at = 0; at < start(1000, 300, {144, 1}); at += 1777) {
        // Published: the latest 144 Hz vblank 600 us back; stale: the one before it; then the next.
        int64_t published = -1;
        for (int64_t k = 0; start(1000, k, {144, 1}) + 6000 <= at; ++k)
            published = k;
        const int64_t answer = published >= 0 && virtualCompositorStale(win, published) ? published - 1 : published;
        ASSERT_EQ(answer >= 0 ? answer + 1 : -1, virtualReportedVblank(win, at)) << at;
        int64_t next = 0;
        while (start(1000, next, {144, 1}) <= at)
            ++next;
        ASSERT_EQ(start(1000, next, {144, 1}) + 9000, virtualFlushReturn(win, at)) << at;
    }
    EXPECT_EQ(virtualPublishedVblank(model("60,dwmlag=600"), 777777),
              virtualReportedVblank(model("60,dwmlag=600"), 777777)) << "by default the latest published";
}

// The second output unplugged from the primary's vblank 300 to its vblank 900: not listed, no
// window on it, no interrupt from it in between.
TEST_F(ProfileModel, AnUnpluggedOutputLeavesTheDesktopAndItsInterruptsStop)
{
    const VirtualModel unplugged = model("60,second=144,unplug=300:900");
    const int64_t begins = start(1000, 300, {60, 1}), ends = start(1000, 900, {60, 1});
    for (const int64_t at : {begins - 1, begins, ends - 1, ends}) {
        const bool listed = at < begins || at >= ends;
        EXPECT_EQ(listed, virtualOutputListed(unplugged, 1, at)) << at;
        EXPECT_TRUE(virtualOutputListed(unplugged, 0, at));
        EXPECT_EQ(listed ? 1 : 0, virtualOutputForRect(unplugged, {2100, 100, 2500, 400}, true, at)) << at;
    }
    int64_t first = 0, end = 0;
    ASSERT_TRUE(virtualUnpluggedVblanks(unplugged, &first, &end));
    EXPECT_EQ(720, first) << "the first 144 Hz vblank at or after 5 s";
    EXPECT_EQ(2160, end);
    for (int64_t from = 700; from < 2200; from += 13) {
        const int64_t k = virtualNextInterrupt(unplugged, 1, from, start(1000, from, {144, 1}));
        ASSERT_TRUE(k < first || k >= end) << from << " gave " << k;
        ASSERT_GE(k, from);
    }
    EXPECT_EQ(301, virtualNextInterrupt(unplugged, 0, 301, begins)) << "the primary goes on";
    const VirtualModel gone = model("60,second=144,unplug=300");
    ASSERT_TRUE(virtualUnpluggedVblanks(gone, &first, &end));
    EXPECT_EQ(INT64_MAX, end);
    EXPECT_EQ(-1, virtualNextInterrupt(gone, 1, first, begins + 100)) << "never back";
    EXPECT_FALSE(virtualUnpluggedVblanks(model("60,second=144"), &first, &end));
}

TEST_F(ProfileModel, ASecondOutputHasItsOwnRatesTimelineAndDraws)
{
    const VirtualProfile second = parsed("60,true=59.951,second=144:143.9,stall=50");
    EXPECT_TRUE(second.second);
    EXPECT_TRUE(sameRatio({144, 1}, second.secondNominal));
    EXPECT_TRUE(sameRatio({143900, 1000}, second.secondTrue));
    EXPECT_TRUE(sameRatio({144, 1}, parsed("60,second=144").secondTrue)) << "true defaults to nominal";
    EXPECT_FALSE(parsed("60,second=none").second);

    const VirtualModel two = model("60,true=59.951,second=144:143.9,stall=50,change=10:50");
    EXPECT_EQ(2, two.outputs);
    EXPECT_EQ(start(1000, 7, {143900, 1000}), timelineVblankStart(virtualOutputTimeline(two, 1), 7));
    EXPECT_EQ(start(1000, 7, {59951, 1000}), timelineVblankStart(virtualOutputTimeline(two, 0), 7));
    EXPECT_TRUE(sameRatio({144, 1}, virtualNominalRate(two, 1, 1000)));
    EXPECT_TRUE(sameRatio({60, 1}, virtualNominalRate(two, 0, 1000)));
    // The change applies to both, each at its own frame 10.
    EXPECT_TRUE(sameRatio({50, 1}, virtualNominalRate(two, 1, timelineFrameStart(two.secondTimeline, 10))));
    EXPECT_TRUE(sameRatio({144, 1}, virtualNominalRate(two, 1, timelineFrameStart(two.secondTimeline, 10) - 1)));
    // Each output stalls on its own draws.
    int differ = 0;
    for (int64_t k = 0; k < 200; ++k)
        differ += virtualInterruptStalled(two, 0, k) != virtualInterruptStalled(two, 1, k) ? 1 : 0;
    EXPECT_GT(differ, 50);
    EXPECT_EQ(1, model("60").outputs);
}

TEST_F(ProfileModel, AWindowBelongsToTheOutputThatHoldsMoreOfIt)
{
    const VirtualModel two = model("60,second=144");
    const VirtualModel one = model("60");
    EXPECT_EQ(0, virtualOutputForRect(two, {100, 100, 500, 400}, false, 0));
    EXPECT_EQ(1, virtualOutputForRect(two, {2100, 100, 2500, 400}, false, 0));
    // Straddling: 220 px on the first, 380 on the second; then the other way round.
    EXPECT_EQ(1, virtualOutputForRect(two, {1700, 100, 2300, 400}, false, 0));
    EXPECT_EQ(0, virtualOutputForRect(two, {1540, 100, 2140, 400}, false, 0));
    EXPECT_EQ(0, virtualOutputForRect(two, {1820, 100, 2020, 400}, false, 0)) << "a tie: the first";
    // Taller than the outputs, and partly above them.
    EXPECT_EQ(1, virtualOutputForRect(two, {1900, -500, 2400, 2000}, false, 0));
    // Nowhere: the nearest, or none.
    EXPECT_EQ(1, virtualOutputForRect(two, {5000, 0, 5400, 300}, true, 0));
    EXPECT_EQ(1, virtualOutputForRect(two, {3000, 1500, 3400, 1800}, true, 0)) << "below the second";
    EXPECT_EQ(0, virtualOutputForRect(two, {-900, 200, -100, 600}, true, 0));
    EXPECT_EQ(0, virtualOutputForRect(two, {-32000, -32000, -31840, -31970}, true, 0)) << "minimised";
    EXPECT_EQ(-1, virtualOutputForRect(two, {5000, 0, 5400, 300}, false, 0));
    EXPECT_EQ(0, virtualOutputForRect(two, {INT32_MIN, INT32_MIN, INT32_MIN + 10, INT32_MIN + 10}, true, 0));
    // One output: everything on it or nowhere.
    EXPECT_EQ(0, virtualOutputForRect(one, {2100, 100, 2500, 400}, true, 0));
    EXPECT_EQ(-1, virtualOutputForRect(one, {2100, 100, 2500, 400}, false, 0));

    EXPECT_EQ(1, virtualOutputByName(two, "\\\\.\\display2"));
    EXPECT_EQ(0, virtualOutputByName(two, "\\\\.\\DISPLAY1"));
    EXPECT_EQ(-1, virtualOutputByName(two, "\\\\.\\DISPLAY3"));
    EXPECT_EQ(-1, virtualOutputByName(two, "\\\\.\\DISPLAY10"));
    EXPECT_EQ(-1, virtualOutputByName(two, "\\\\.\\DISPLAY"));
    EXPECT_EQ(-1, virtualOutputByName(one, "\\\\.\\DISPLAY2"));
    EXPECT_EQ(-1, virtualOutputByName(two, nullptr));
}

TEST(SleepPlan, SleepsShortOfTheMarginWhichFollowsTheLateness)
{
    SleepPlan plan = sleepPlanMake(kTenMegahertz);
    EXPECT_EQ(20000, plan.margin) << "starts wide: 2 ms";
    EXPECT_EQ(0, sleepPlanCounts(plan, 20000)) << "inside the margin: spin";
    EXPECT_EQ(0, sleepPlanCounts(plan, 20999)) << "under 0.1 ms to sleep: spin";
    EXPECT_EQ(1000, sleepPlanCounts(plan, 21000));
    EXPECT_EQ(146667, sleepPlanCounts(plan, 166667));

    // Punctual sleeps narrow it step by step to the least, 0.2 ms.
    for (int i = 0; i < 1000; ++i)
        sleepPlanRecord(&plan, 300);
    EXPECT_EQ(2000, plan.margin);
    EXPECT_EQ(164667, sleepPlanCounts(plan, 166667));
    // One late sleep widens it at once, to its lateness and 0.1 ms; a later one no further
    // than 2 ms.
    sleepPlanRecord(&plan, 6000);
    EXPECT_EQ(7000, plan.margin);
    sleepPlanRecord(&plan, 500000);
    EXPECT_EQ(20000, plan.margin);
    // Narrowing never passes what the recent lateness needs.
    for (int i = 0; i < 1000; ++i)
        sleepPlanRecord(&plan, 4000);
    EXPECT_EQ(5000, plan.margin);
    EXPECT_EQ(0, sleepPlanCounts(sleepPlanMake(0), 1000000)) << "no frequency: never sleeps";
}

}   // namespace
