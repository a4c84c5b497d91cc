#include "virtual/timeline.h"

#include <cstdint>
#include <limits>

namespace {

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

// Sums and products that stop at the ends of the 64-bit range instead of overflowing: a
// counter or index far beyond any real one gives an answer at the range's end, never
// undefined behaviour.
int64_t saturatingAdd(int64_t a, int64_t b)
{
    if (b > 0 && a > kInt64Max - b)
        return kInt64Max;
    if (b < 0 && a < kInt64Min - b)
        return kInt64Min;
    return a + b;
}

int64_t saturatingSub(int64_t a, int64_t b)
{
    if (b < 0 && a > kInt64Max + b)
        return kInt64Max;
    if (b > 0 && a < kInt64Min + b)
        return kInt64Min;
    return a - b;
}

// a * b for b >= 0.
int64_t saturatingMul(int64_t a, int64_t b)
{
    if (b == 0 || a == 0)
        return 0;
    if (a > 0 ? a > kInt64Max / b : a < kInt64Min / b)
        return a > 0 ? kInt64Max : kInt64Min;
    return a * b;
}

int64_t saturatingNegate(int64_t a)
{
    return a == kInt64Min ? kInt64Max : -a;
}

// Division rounding toward minus infinity, for divisor > 0.
int64_t floorDiv(int64_t value, int64_t divisor)
{
    int64_t quotient = value / divisor;
    if (value % divisor < 0)
        --quotient;
    return quotient;
}

int64_t floorMod(int64_t value, int64_t divisor)
{
    return value - floorDiv(value, divisor) * divisor;
}

// floor(x * y / n) for x < n, y < n and n < 2^63, so that the quotient is below n. The
// product may need 128 bits; the long route takes it in 32-bit pieces.
uint64_t mulDivBelow(uint64_t x, uint64_t y, uint64_t n)
{
    constexpr uint64_t kLow = 0xFFFFFFFFu;
    if (x <= kLow && y <= kLow)
        return x * y / n;
    const uint64_t ll = (x & kLow) * (y & kLow);
    const uint64_t lh = (x & kLow) * (y >> 32);
    const uint64_t hl = (x >> 32) * (y & kLow);
    const uint64_t hh = (x >> 32) * (y >> 32);
    const uint64_t middle = (ll >> 32) + (lh & kLow) + (hl & kLow);
    const uint64_t low = (ll & kLow) | (middle << 32);
    const uint64_t high = hh + (lh >> 32) + (hl >> 32) + (middle >> 32);
    // high < n because x * y < n * n; shift the low word in bit by bit.
    uint64_t remainder = high;
    uint64_t quotient = 0;
    for (int bit = 63; bit >= 0; --bit) {
        remainder = (remainder << 1) | ((low >> bit) & 1u);
        if (remainder >= n) {
            remainder -= n;
            quotient |= uint64_t{1} << bit;
        }
    }
    return quotient;
}

const TimelineSegment& segmentOfLine(const Timeline& timeline, int64_t line)
{
    int s = timeline.segmentCount - 1;
    while (s > 0 && line < timeline.segments[s].firstLine)
        --s;
    return timeline.segments[s < 0 ? 0 : s];
}

const TimelineSegment& segmentOfCounter(const Timeline& timeline, int64_t counter)
{
    int s = timeline.segmentCount - 1;
    while (s > 0 && counter < timeline.segments[s].startCounter)
        --s;
    return timeline.segments[s < 0 ? 0 : s];
}

int64_t segmentLineStart(const TimelineSegment& segment, int64_t line)
{
    return saturatingAdd(segment.startCounter,
                         timelineMulDivFloor(saturatingSub(line, segment.firstLine),
                                             segment.lineTicksNumerator,
                                             segment.lineTicksDenominator));
}

// The last line x of the segment whose start floor(x * a / d) lies at or before
// `elapsed`: x = ceil((elapsed + 1) * d / a) - 1.
int64_t segmentLineAt(const TimelineSegment& segment, int64_t counter)
{
    const int64_t elapsed = saturatingSub(counter, segment.startCounter);
    const int64_t ceiling = saturatingNegate(
        timelineMulDivFloor(saturatingNegate(saturatingAdd(elapsed, 1)),
                            segment.lineTicksDenominator, segment.lineTicksNumerator));
    return saturatingAdd(segment.firstLine, saturatingSub(ceiling, 1));
}

bool makeSegment(int64_t frequency, RefreshRatio rate, int64_t firstLine, int64_t startCounter,
                 TimelineSegment* segment)
{
    if (frequency <= 0 || !timelineRateValid(rate))
        return false;
    if (static_cast<int64_t>(rate.denominator) > kInt64Max / frequency)
        return false;
    // One line lasts frequency * denominator / (1125 * numerator) counts.
    uint64_t numerator = static_cast<uint64_t>(frequency) * rate.denominator;
    uint64_t denominator = uint64_t{kTimelineLines} * rate.numerator;
    const uint64_t common = timelineGcd(numerator, denominator);
    numerator /= common;
    denominator /= common;
    segment->firstLine = firstLine;
    segment->startCounter = startCounter;
    segment->lineTicksNumerator = static_cast<int64_t>(numerator);
    segment->lineTicksDenominator = static_cast<int64_t>(denominator);
    segment->rate = rate;
    return true;
}

const char* skipBlanks(const char* text)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    return text;
}

// Reads decimal digits into *value; false when there is none or the value passes `limit`.
bool readDigits(const char** text, uint64_t limit, uint64_t* value, int* count)
{
    uint64_t result = 0;
    int digits = 0;
    const char* at = *text;
    while (*at >= '0' && *at <= '9') {
        result = result * 10 + static_cast<uint64_t>(*at - '0');
        if (result > limit)
            return false;
        ++digits;
        ++at;
    }
    if (digits == 0)
        return false;
    *text = at;
    *value = result;
    *count = digits;
    return true;
}

}   // namespace

int64_t timelineMulDivFloor(int64_t value, int64_t multiplier, int64_t divisor)
{
    // value = q * divisor + r and multiplier = mq * divisor + mr, with 0 <= r, mr < divisor:
    // value * multiplier / divisor = q * multiplier + r * mq + r * mr / divisor.
    int64_t quotient = value / divisor;
    int64_t remainder = value % divisor;
    if (remainder < 0) {
        remainder += divisor;
        --quotient;
    }
    const int64_t multiplierQuotient = multiplier / divisor;
    const int64_t multiplierRemainder = multiplier % divisor;
    // Exact whenever no partial product leaves the 64-bit range; a result that far out is
    // the end of the range on its side.
    const int64_t whole = saturatingMul(quotient, multiplier);
    if (whole == kInt64Max || whole == kInt64Min)
        return whole;
    return saturatingAdd(
        saturatingAdd(whole, saturatingMul(remainder, multiplierQuotient)),
        static_cast<int64_t>(mulDivBelow(static_cast<uint64_t>(remainder),
                                         static_cast<uint64_t>(multiplierRemainder),
                                         static_cast<uint64_t>(divisor))));
}

double timelineRateHz(RefreshRatio rate)
{
    if (rate.denominator == 0)
        return 0.0;
    return static_cast<double>(rate.numerator) / static_cast<double>(rate.denominator);
}

bool timelineRateValid(RefreshRatio rate)
{
    if (rate.numerator == 0 || rate.denominator == 0)
        return false;
    const uint64_t numerator = rate.numerator;
    const uint64_t denominator = rate.denominator;
    return numerator >= denominator * static_cast<uint64_t>(kTimelineMinimumHz) &&
           numerator <= denominator * static_cast<uint64_t>(kTimelineMaximumHz);
}

bool timelineParseRate(const char* text, RefreshRatio* rate)
{
    if (text == nullptr)
        return false;
    constexpr uint64_t kRatioLimit = 0xFFFFFFFFu;
    const char* at = skipBlanks(text);
    uint64_t whole = 0;
    int digits = 0;
    if (!readDigits(&at, kRatioLimit, &whole, &digits))
        return false;
    RefreshRatio parsed = {static_cast<uint32_t>(whole), 1};
    if (*at == '/') {
        ++at;
        uint64_t denominator = 0;
        if (!readDigits(&at, kRatioLimit, &denominator, &digits))
            return false;
        parsed.denominator = static_cast<uint32_t>(denominator);
    } else if (*at == '.') {
        ++at;
        uint64_t fraction = 0;
        int decimals = 0;
        if (!readDigits(&at, 999999, &fraction, &decimals) || decimals > 6)
            return false;
        // Rates with up to three decimals count in thousandths, as displays report them.
        uint64_t scale = 1;
        for (int i = 0; i < decimals; ++i)
            scale *= 10;
        const int used = decimals < 3 ? 3 : decimals;
        uint64_t denominator = 1;
        for (int i = 0; i < used; ++i)
            denominator *= 10;
        fraction *= denominator / scale;
        if (whole > (kRatioLimit - fraction) / denominator)
            return false;
        parsed.numerator = static_cast<uint32_t>(whole * denominator + fraction);
        parsed.denominator = static_cast<uint32_t>(denominator);
    }
    if (*skipBlanks(at) != '\0' || !timelineRateValid(parsed))
        return false;
    *rate = parsed;
    return true;
}

uint64_t timelineGcd(uint64_t a, uint64_t b)
{
    while (b != 0) {
        const uint64_t rest = a % b;
        a = b;
        b = rest;
    }
    return a;
}

uint32_t timelineIntegerRate(RefreshRatio rate)
{
    if (rate.denominator == 0)
        return 0;
    const uint64_t twice = uint64_t{2} * rate.numerator / rate.denominator;
    return static_cast<uint32_t>((twice + 1) / 2);
}

bool timelineInit(Timeline* timeline, int64_t frequency, int64_t origin, RefreshRatio rate)
{
    *timeline = Timeline();
    if (!makeSegment(frequency, rate, 0, origin, &timeline->segments[0]))
        return false;
    timeline->frequency = frequency;
    timeline->origin = origin;
    timeline->segmentCount = 1;
    return true;
}

bool timelineChangeRate(Timeline* timeline, int64_t frame, RefreshRatio rate)
{
    const int count = timeline->segmentCount;
    if (count < 1 || count > kTimelineMaxChanges || frame < 1 || timeline->jitter != 0 ||
        (count > 1 && frame <= timeline->changeFrame))
        return false;
    const int64_t firstLine = saturatingMul(frame, kTimelineLines) - kTimelineVisibleLines;
    const int64_t startCounter = segmentLineStart(timeline->segments[count - 1], firstLine);
    if (!makeSegment(timeline->frequency, rate, firstLine, startCounter, &timeline->segments[count]))
        return false;
    timeline->segmentCount = count + 1;
    timeline->changeFrame = frame;
    return true;
}

bool timelineVariableRefresh(Timeline* timeline, int64_t jitter, uint32_t seed)
{
    if (timeline->segmentCount != 1 || jitter < 0 || saturatingMul(jitter, 2) >= timelinePeriodAt(*timeline, timeline->origin))
        return false;
    timeline->jitter = jitter;
    timeline->jitterSeed = seed;
    return true;
}

int64_t timelineJitter(const Timeline& timeline, int64_t vblank)
{
    if (timeline.jitter == 0 || vblank <= 0)
        return 0;
    // splitmix64 of (seed, vblank): the same draw on every platform.
    uint64_t z = (uint64_t{timeline.jitterSeed} << 40) ^ static_cast<uint64_t>(vblank);
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    // Uniform in 0 .. 2 jitter, then centred.
    const uint64_t span = static_cast<uint64_t>(timeline.jitter) * 2 + 1;
    return static_cast<int64_t>(z % span) - timeline.jitter;
}

namespace {

int64_t jitteredVblank(const Timeline& timeline, int64_t vblank)
{
    return saturatingAdd(segmentLineStart(timeline.segments[0], saturatingMul(vblank, kTimelineLines)),
                         timelineJitter(timeline, vblank));
}

}   // namespace

int64_t timelineLineStart(const Timeline& timeline, int64_t line)
{
    if (timeline.jitter == 0)
        return segmentLineStart(segmentOfLine(timeline, line), line);
    const int64_t vblank = floorDiv(line, kTimelineLines);
    const int64_t start = jitteredVblank(timeline, vblank);
    const int64_t length = saturatingSub(jitteredVblank(timeline, saturatingAdd(vblank, 1)), start);
    return saturatingAdd(start, timelineMulDivFloor(floorMod(line, kTimelineLines), length, kTimelineLines));
}

int64_t timelineLineAt(const Timeline& timeline, int64_t counter)
{
    if (timeline.jitter == 0)
        return segmentLineAt(segmentOfCounter(timeline, counter), counter);
    // The grid's vblank is at most one off, since no vblank moves by half a period.
    int64_t vblank = floorDiv(segmentLineAt(timeline.segments[0], counter), kTimelineLines);
    for (int i = 0; i < 4 && vblank > kInt64Min / kTimelineLines + 2 && jitteredVblank(timeline, vblank) > counter; ++i)
        --vblank;
    for (int i = 0; i < 4 && vblank < kInt64Max / kTimelineLines - 2 && jitteredVblank(timeline, vblank + 1) <= counter; ++i)
        ++vblank;
    const int64_t start = jitteredVblank(timeline, vblank);
    const int64_t length = jitteredVblank(timeline, vblank + 1) - start;
    if (length <= 0 || counter < start)
        return saturatingMul(vblank, kTimelineLines);
    // The last line r whose start floor(r * length / 1125) lies at or before the counter.
    const int64_t elapsed = counter - start;
    int64_t line = saturatingNegate(timelineMulDivFloor(saturatingNegate(saturatingAdd(elapsed, 1)),
                                                        kTimelineLines, length)) - 1;
    line = line > kTimelineLines - 1 ? kTimelineLines - 1 : line;
    return saturatingAdd(saturatingMul(vblank, kTimelineLines), line);
}

int64_t timelineVblankStart(const Timeline& timeline, int64_t vblank)
{
    return timelineLineStart(timeline, saturatingMul(vblank, kTimelineLines));
}

int64_t timelineVblankEnd(const Timeline& timeline, int64_t vblank)
{
    return timelineLineStart(timeline,
                             saturatingAdd(saturatingMul(vblank, kTimelineLines), kTimelineBlankLines));
}

int64_t timelineFrameStart(const Timeline& timeline, int64_t frame)
{
    return timelineLineStart(timeline,
                             saturatingSub(saturatingMul(frame, kTimelineLines), kTimelineVisibleLines));
}

int64_t timelineFrameAt(const Timeline& timeline, int64_t counter)
{
    return floorDiv(saturatingAdd(timelineLineAt(timeline, counter), kTimelineVisibleLines),
                    kTimelineLines);
}

int64_t timelineLatestVblank(const Timeline& timeline, int64_t counter)
{
    return floorDiv(timelineLineAt(timeline, counter), kTimelineLines);
}

int32_t timelineScanLine(const Timeline& timeline, int64_t counter, bool* inVerticalBlank)
{
    const int64_t line = floorMod(
        saturatingAdd(timelineLineAt(timeline, counter), kTimelineVisibleLines), kTimelineLines);
    if (inVerticalBlank != nullptr)
        *inVerticalBlank = line >= kTimelineVisibleLines;
    return static_cast<int32_t>(line);
}

RefreshRatio timelineRateAt(const Timeline& timeline, int64_t counter)
{
    return segmentOfCounter(timeline, counter).rate;
}

int64_t timelinePeriodAt(const Timeline& timeline, int64_t counter)
{
    if (timeline.jitter != 0) {
        const int64_t vblank = timelineLatestVblank(timeline, counter);
        return saturatingSub(timelineVblankStart(timeline, saturatingAdd(vblank, 1)),
                             timelineVblankStart(timeline, vblank));
    }
    // A period is 1125 lines; rounding half up, floor(x + 1/2) = (floor(2x) + 1) / 2.
    const TimelineSegment& segment = segmentOfCounter(timeline, counter);
    const int64_t twice = timelineMulDivFloor(2 * kTimelineLines, segment.lineTicksNumerator,
                                              segment.lineTicksDenominator);
    return twice / 2 + twice % 2;   // (twice + 1) / 2, without overflowing at the top
}
