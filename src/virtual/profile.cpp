#include "virtual/profile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr const char* kLinePrefix = "virtual.display profile";
constexpr const char* kExpectedRate =
    "expected 1 to 1000 Hz, in Hz (60, 59.94) or as a ratio (60000/1001)";
constexpr const char* kExpectedText =
    "expected a name (ideal, desktop, busy, laptop, win11, vrr) or RATE[,key=value]... with RATE in Hz (60, 59.94) "
    "or as a ratio (60000/1001)";
constexpr const char* kKnownKeys =
    "true, wake, stall, dwmlag, flush, dwmskip, dwmperiod, change, second, seed, sleep, unplug, vrr, "
    "dwmclock, dwmvblank or dwmstale";

// The named profiles, as the texts they stand for.
constexpr struct {
    const char* name;
    const char* text;
} kNamed[] = {
    {"ideal", "60"},
    {"desktop", "60,true=59.951,wake=30,dwmlag=600,flush=900"},
    {"busy", "60,true=59.951,wake=80,stall=1,dwmlag=600,dwmskip=1,flush=900"},
    {"laptop", "60,wake=40,dwmlag=700,flush=900,change=600:120/1800:60,sleep=2400:300"},
    {"win11", "60,second=144,wake=30,dwmlag=600,flush=900,dwmclock=fastest,dwmvblank=next,dwmstale=1"},
    {"vrr", "144,vrr=48:144,wake=30,dwmlag=600,flush=900"},
};

std::string trim(const std::string& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    return text.substr(begin, end - begin);
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> items;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(separator, from);
        items.push_back(trim(text.substr(from, at == std::string::npos ? std::string::npos
                                                                       : at - from)));
        if (at == std::string::npos)
            return items;
        from = at + 1;
    }
}

enum class Number { kOk, kNotNumber, kNegative, kTooManyDecimals, kTooLarge };

// A plain decimal number with up to three decimals, as thousandths; no sign, no exponent.
Number readThousandths(const std::string& text, int64_t maxWhole, int64_t* thousandths)
{
    if (!text.empty() && text[0] == '-') {
        const Number rest = readThousandths(text.substr(1), maxWhole, thousandths);
        return rest == Number::kOk ? Number::kNegative : rest;
    }
    size_t at = 0;
    int64_t whole = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        whole = whole * 10 + (text[at] - '0');
        if (whole > maxWhole)
            return Number::kTooLarge;
        ++at;
    }
    if (at == 0)
        return Number::kNotNumber;
    int64_t fraction = 0;
    int decimals = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            if (++decimals > 3)
                return Number::kTooManyDecimals;
            fraction = fraction * 10 + (text[at] - '0');
            ++at;
        }
        if (decimals == 0)
            return Number::kNotNumber;
    }
    if (at != text.size())
        return Number::kNotNumber;
    for (int i = decimals; i < 3; ++i)
        fraction *= 10;
    const int64_t value = whole * 1000 + fraction;
    if (value > maxWhole * 1000)
        return Number::kTooLarge;
    *thousandths = value;
    return Number::kOk;
}

bool readUnsigned(const std::string& text, uint64_t limit, uint64_t* value)
{
    if (text.empty())
        return false;
    uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + static_cast<uint64_t>(c - '0');
        if (result > limit)
            return false;
    }
    *value = result;
    return true;
}

bool readRate(const std::string& what, const std::string& text, RefreshRatio* rate,
              std::string* why)
{
    if (timelineParseRate(text.c_str(), rate))
        return true;
    // Tell a rate out of range or with a zero denominator from text that is no rate at all.
    const size_t slash = text.find('/');
    uint64_t numerator = 0, denominator = 0;
    const char* problem = "is not a rate";
    if (slash != std::string::npos && readUnsigned(text.substr(0, slash), 0xFFFFFFFFu, &numerator) &&
        readUnsigned(text.substr(slash + 1), 0xFFFFFFFFu, &denominator))
        problem = denominator == 0 ? "has a zero denominator" : "is out of range";
    int64_t thousandths = 0;
    if (slash == std::string::npos) {
        const Number number = readThousandths(text, 1000000000, &thousandths);
        if (number == Number::kOk || number == Number::kNegative || number == Number::kTooLarge)
            problem = "is out of range";
    }
    *why = what + " '" + text + "' " + problem + "; " + kExpectedRate;
    return false;
}

bool readLatency(const std::string& key, const std::string& value, int64_t* ns, std::string* why)
{
    int64_t thousandths = 0;
    const Number number = readThousandths(value, kProfileMaxLatencyUs, &thousandths);
    if (number == Number::kOk) {
        *ns = thousandths;   // thousandths of a microsecond are nanoseconds
        return true;
    }
    const char* problem = number == Number::kNegative        ? "is negative"
                          : number == Number::kTooLarge        ? "is too large"
                          : number == Number::kTooManyDecimals ? "has more than three decimals"
                                                               : "is not a plain number";
    *why = key + " '" + value + "' " + problem + "; expected microseconds from 0 to " +
           std::to_string(kProfileMaxLatencyUs) + ", at most three decimals";
    return false;
}

bool readShare(const std::string& key, const std::string& value, int32_t* milli, std::string* why)
{
    int64_t thousandths = 0;
    const Number number = readThousandths(value, 100, &thousandths);
    if (number == Number::kOk) {
        *milli = static_cast<int32_t>(thousandths);
        return true;
    }
    const char* problem = number == Number::kNegative || number == Number::kTooLarge
                              ? "is outside 0 to 100"
                          : number == Number::kTooManyDecimals ? "has more than three decimals"
                                                               : "is not a plain number";
    *why = key + " '" + value + "' " + problem + "; expected a percentage from 0 to 100";
    return false;
}

bool readChange(const std::string& value, VirtualProfile* profile, std::string* why)
{
    if (value == "none") {
        profile->changeCount = 0;
        return true;
    }
    const std::string expected = "; expected FRAME:RATE[/FRAME:RATE]... with rising FRAMEs from 1 to " +
                                 std::to_string(kProfileMaxChangeFrame) + ", at most " +
                                 std::to_string(kProfileMaxChanges);
    const std::vector<std::string> items = split(value, '/');
    // A rate may itself be a ratio (60000/1001): a piece without ':' belongs to the one before.
    std::vector<std::string> changes;
    for (const std::string& item : items) {
        if (item.find(':') == std::string::npos && !changes.empty())
            changes.back() += "/" + item;
        else
            changes.push_back(item);
    }
    if (changes.size() > static_cast<size_t>(kProfileMaxChanges)) {
        *why = "change '" + value + "' has " + std::to_string(changes.size()) + " changes" + expected;
        return false;
    }
    VirtualProfile parsed = *profile;
    parsed.changeCount = 0;
    for (const std::string& change : changes) {
        const size_t colon = change.find(':');
        if (colon == std::string::npos) {
            *why = "change '" + value + "' has no ':'" + expected;
            return false;
        }
        const std::string frameText = change.substr(0, colon);
        uint64_t frame = 0;
        if (!readUnsigned(frameText, static_cast<uint64_t>(kProfileMaxChangeFrame), &frame)) {
            *why = "change '" + value + "': frame '" + frameText + "' is not a whole number in range" + expected;
            return false;
        }
        if (frame < 1) {
            *why = "change '" + value + "': frame 0 is below 1" + expected;
            return false;
        }
        if (parsed.changeCount > 0 && static_cast<int64_t>(frame) <= parsed.changes[parsed.changeCount - 1].frame) {
            *why = "change '" + value + "': frame " + frameText + " does not come after the one before" + expected;
            return false;
        }
        RefreshRatio rate = {0, 0};
        if (!readRate("change rate", change.substr(colon + 1), &rate, why))
            return false;
        parsed.changes[parsed.changeCount++] = {static_cast<int64_t>(frame), rate};
    }
    *profile = parsed;
    return true;
}

bool readUnplug(const std::string& value, VirtualProfile* profile, std::string* why)
{
    if (value == "none") {
        profile->unplugFrame = profile->unplugBack = 0;
        return true;
    }
    const std::string expected = "; expected FRAME[:BACK] with 1 <= FRAME < BACK <= " + std::to_string(kProfileMaxChangeFrame);
    const std::vector<std::string> parts = split(value, ':');
    uint64_t frame = 0, back = 0;
    if (parts.size() > 2 || !readUnsigned(parts[0], static_cast<uint64_t>(kProfileMaxChangeFrame), &frame) || frame < 1 ||
        (parts.size() == 2 && (!readUnsigned(parts[1], static_cast<uint64_t>(kProfileMaxChangeFrame), &back) || back <= frame))) {
        *why = "unplug '" + value + "' is not FRAME or FRAME:BACK in range" + expected;
        return false;
    }
    profile->unplugFrame = static_cast<int64_t>(frame);
    profile->unplugBack = static_cast<int64_t>(back);
    return true;
}

bool readVrr(const std::string& value, VirtualProfile* profile, std::string* why)
{
    if (value == "none") {
        profile->vrrMin = profile->vrrMax = {0, 0};
        return true;
    }
    const size_t colon = value.find(':');
    if (colon == std::string::npos) {
        *why = "vrr '" + value + "' has no ':'; expected MIN:MAX, two rates with MIN below MAX";
        return false;
    }
    RefreshRatio low = {0, 0}, high = {0, 0};
    if (!readRate("vrr lowest rate", value.substr(0, colon), &low, why) ||
        !readRate("vrr highest rate", value.substr(colon + 1), &high, why))
        return false;
    if (!(timelineRateHz(low) < timelineRateHz(high))) {
        *why = "vrr '" + value + "': the lowest rate is not below the highest; expected MIN:MAX, two rates with MIN below MAX";
        return false;
    }
    profile->vrrMin = low;
    profile->vrrMax = high;
    return true;
}

bool readChoice(const std::string& key, const std::string& value, const char* no, const char* yes, bool* chosen,
                std::string* why)
{
    if (value == no || value == yes) {
        *chosen = value == yes;
        return true;
    }
    *why = key + " '" + value + "' is neither; expected " + no + " or " + yes;
    return false;
}

bool readSecond(const std::string& value, VirtualProfile* profile, std::string* why)
{
    if (value == "none") {
        profile->second = false;
        profile->secondNominal = profile->secondTrue = {0, 0};
        return true;
    }
    const size_t colon = value.find(':');
    RefreshRatio nominal = {0, 0};
    if (!readRate("second rate", value.substr(0, colon), &nominal, why))
        return false;
    RefreshRatio trueRate = nominal;
    if (colon != std::string::npos &&
        !readRate("second true rate", value.substr(colon + 1), &trueRate, why))
        return false;
    profile->second = true;
    profile->secondNominal = nominal;
    profile->secondTrue = trueRate;
    return true;
}

bool readSleep(const std::string& value, VirtualProfile* profile, std::string* why)
{
    if (value == "none") {
        profile->sleepFrame = profile->sleepFrames = 0;
        profile->sleepWaits = VirtualSleepWaits::kOccluded;
        return true;
    }
    const std::string expected = "; expected FRAME:FRAMES[:occluded|timeout|instant] with FRAME and FRAMES from 1 to " +
                                 std::to_string(kProfileMaxChangeFrame);
    const std::vector<std::string> parts = split(value, ':');
    if (parts.size() < 2 || parts.size() > 3) {
        *why = "sleep '" + value + "' has " + std::to_string(parts.size()) + " parts" + expected;
        return false;
    }
    uint64_t frame = 0, frames = 0;
    if (!readUnsigned(parts[0], static_cast<uint64_t>(kProfileMaxChangeFrame), &frame) || frame < 1 ||
        !readUnsigned(parts[1], static_cast<uint64_t>(kProfileMaxChangeFrame), &frames) || frames < 1) {
        *why = "sleep '" + value + "': a frame count is not a whole number in range" + expected;
        return false;
    }
    VirtualSleepWaits waits = VirtualSleepWaits::kOccluded;
    if (parts.size() == 3) {
        if (parts[2] == "timeout")
            waits = VirtualSleepWaits::kTimeout;
        else if (parts[2] == "instant")
            waits = VirtualSleepWaits::kInstant;
        else if (parts[2] != "occluded") {
            *why = "sleep '" + value + "': '" + parts[2] + "' is no way of waiting" + expected;
            return false;
        }
    }
    profile->sleepFrame = static_cast<int64_t>(frame);
    profile->sleepFrames = static_cast<int64_t>(frames);
    profile->sleepWaits = waits;
    return true;
}

// What a key=value item may set; the line reader also takes the keys that only it knows.
struct LineExtras {
    int64_t frequency = 0;
    int64_t vblank0 = 0;
    bool haveFrequency = false, haveVblank0 = false, haveRate = false;
};

bool applyItem(const std::string& item, VirtualProfile* profile, bool* trueSet, bool* flushSet,
               std::vector<std::string>* seen, LineExtras* line, std::string* why)
{
    if (item.empty()) {
        *why = line != nullptr ? "an empty item; expected key=value items"
                               : "an empty item; expected key=value after each comma";
        return false;
    }
    const size_t equals = item.find('=');
    if (equals == std::string::npos || equals == 0) {
        *why = "'" + item + "' is no key=value item; expected key=value";
        return false;
    }
    const std::string key = trim(item.substr(0, equals));
    const std::string value = trim(item.substr(equals + 1));
    for (const std::string& earlier : *seen) {
        if (earlier == key) {
            *why = "key '" + key + "' is given twice; expected each key once";
            return false;
        }
    }
    seen->push_back(key);
    if (value.empty()) {
        *why = "'" + key + "' has no value; expected key=value";
        return false;
    }
    if (key == "true") {
        *trueSet = true;
        return readRate("true rate", value, &profile->trueRate, why);
    }
    if (key == "wake")
        return readLatency(key, value, &profile->wakeNs, why);
    if (key == "stall")
        return readShare(key, value, &profile->stallMilli, why);
    if (key == "dwmlag")
        return readLatency(key, value, &profile->dwmlagNs, why);
    if (key == "flush") {
        *flushSet = true;
        return readLatency(key, value, &profile->flushNs, why);
    }
    if (key == "dwmskip")
        return readShare(key, value, &profile->dwmskipMilli, why);
    if (key == "dwmperiod")
        return readChoice(key, value, "true", "nominal", &profile->dwmPeriodNominal, why);
    if (key == "dwmclock")
        return readChoice(key, value, "primary", "fastest", &profile->dwmClockFastest, why);
    if (key == "dwmvblank")
        return readChoice(key, value, "past", "next", &profile->dwmVblankNext, why);
    if (key == "dwmstale")
        return readShare(key, value, &profile->dwmStaleMilli, why);
    if (key == "unplug")
        return readUnplug(value, profile, why);
    if (key == "vrr")
        return readVrr(value, profile, why);
    if (key == "change")
        return readChange(value, profile, why);
    if (key == "second")
        return readSecond(value, profile, why);
    if (key == "sleep")
        return readSleep(value, profile, why);
    if (key == "seed") {
        uint64_t seed = 0;
        if (!readUnsigned(value, 0xFFFFFFFFu, &seed)) {
            *why = "seed '" + value + "' is not a whole number; expected 0 to 4294967295";
            return false;
        }
        profile->seed = static_cast<uint32_t>(seed);
        return true;
    }
    if (line != nullptr) {
        uint64_t number = 0;
        if (key == "rate") {
            line->haveRate = true;
            return readRate("rate", value, &profile->nominal, why);
        }
        if (key == "frequency" || key == "vblank0" || key == "lines") {
            const bool negative = key == "vblank0" && value[0] == '-';
            if (!readUnsigned(negative ? value.substr(1) : value, INT64_MAX, &number)) {
                *why = key + " '" + value + "' is not a whole number; expected " +
                       (key == "vblank0" ? "a whole number of ticks, maybe negative" : "a whole number above 0");
                return false;
            }
            const int64_t signedNumber = negative ? -static_cast<int64_t>(number)
                                                  : static_cast<int64_t>(number);
            if (key == "frequency") {
                line->frequency = signedNumber;
                line->haveFrequency = signedNumber > 0;
            } else if (key == "vblank0") {
                line->vblank0 = signedNumber;
                line->haveVblank0 = true;
            } else if (signedNumber != kTimelineLines) {
                *why = "lines '" + value + "' is not " + std::to_string(kTimelineLines) + "; expected " +
                       std::to_string(kTimelineLines) + ", the lines of the display's frame";
                return false;
            }
            return true;
        }
    }
    *why = "unknown key '" + key + "'; expected " + kKnownKeys;
    return false;
}

// The rate of variable refresh's average frame, halfway between the two rates' frames:
// 2 a c / (b c + a d) for a/b and c/d. False when it does not fit a ratio of 32-bit numbers.
bool vrrAverageRate(RefreshRatio low, RefreshRatio high, RefreshRatio* rate)
{
    constexpr uint64_t kLimit = uint64_t{1} << 20;
    const uint64_t a = low.numerator, b = low.denominator, c = high.numerator, d = high.denominator;
    if (a > kLimit || b > kLimit || c > kLimit || d > kLimit)
        return false;
    uint64_t numerator = 2 * a * c, denominator = b * c + a * d;
    const uint64_t common = timelineGcd(numerator, denominator);
    numerator /= common;
    denominator /= common;
    if (numerator > 0xFFFFFFFFu || denominator > 0xFFFFFFFFu)
        return false;
    *rate = {static_cast<uint32_t>(numerator), static_cast<uint32_t>(denominator)};
    return timelineRateValid(*rate);
}

// The defaults that follow other keys, and the keys that do not go together. A profile line
// carries variable refresh's average rate as its true rate.
bool finish(VirtualProfile* profile, bool trueSet, bool flushSet, bool fromLine, std::string* why)
{
    if (!trueSet)
        profile->trueRate = profile->nominal;
    if (!flushSet)
        profile->flushNs = profile->dwmlagNs;
    if (profile->unplugFrame != 0 && !profile->second) {
        *why = "unplug needs a second output; expected second=RATE with it";
        return false;
    }
    if (profile->vrrMin.numerator != 0) {
        RefreshRatio average = {0, 0};
        if (!vrrAverageRate(profile->vrrMin, profile->vrrMax, &average)) {
            *why = "vrr's rates are too fine to average; expected rates with at most three decimals";
            return false;
        }
        if (profile->changeCount > 0) {
            *why = "vrr and change together; expected one of them: variable refresh has no mode to change";
            return false;
        }
        if (trueSet && !fromLine && uint64_t{profile->trueRate.numerator} * average.denominator != uint64_t{average.numerator} * profile->trueRate.denominator) {
            *why = "vrr and true together; expected one of them: variable refresh's true rate is its average frame's";
            return false;
        }
        profile->trueRate = average;
    }
    return true;
}

}   // namespace

std::string virtualRateText(RefreshRatio rate)
{
    char text[48];
    if (rate.denominator == 1) {
        std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(rate.numerator));
        return text;
    }
    // A power of ten from 1000 on reads back as the same ratio when written as a decimal.
    int decimals = 0;
    uint32_t power = 1;
    while (power < rate.denominator && decimals < 6) {
        power *= 10;
        ++decimals;
    }
    if (power == rate.denominator && decimals >= 3) {
        std::string digits = std::to_string(rate.numerator % power);
        digits.insert(0, static_cast<size_t>(decimals) - digits.size(), '0');
        if (decimals == 3) {
            while (digits.size() > 1 && digits.back() == '0')
                digits.pop_back();
        }
        return std::to_string(rate.numerator / power) + "." + digits;
    }
    std::snprintf(text, sizeof text, "%u/%u", static_cast<unsigned>(rate.numerator),
                  static_cast<unsigned>(rate.denominator));
    return text;
}

namespace {

std::string formatThousandths(int64_t thousandths)
{
    std::string text = std::to_string(thousandths / 1000);
    int64_t fraction = thousandths % 1000;
    if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%03d", static_cast<int>(fraction));
        std::string decimals = digits;
        while (decimals.back() == '0')
            decimals.pop_back();
        text += "." + decimals;
    }
    return text;
}

}   // namespace

VirtualProfile virtualProfileAt(RefreshRatio rate)
{
    VirtualProfile profile;
    profile.nominal = rate;
    profile.trueRate = rate;
    return profile;
}

bool virtualProfileParse(const std::string& text, VirtualProfile* profile, std::string* why)
{
    const std::vector<std::string> items = split(text, ',');
    VirtualProfile parsed;
    bool trueSet = false, flushSet = false;
    const std::string& first = items[0];
    if (first.empty()) {
        *why = std::string(items.size() == 1 ? "an empty profile; " : "no rate or name before the first comma; ") +
               kExpectedText;
        return false;
    }
    const bool looksLikeRate = (first[0] >= '0' && first[0] <= '9') || first[0] == '-' ||
                               first[0] == '+' || first[0] == '.';
    if (looksLikeRate) {
        if (!readRate("rate", first, &parsed.nominal, why))
            return false;
    } else {
        const char* named = nullptr;
        for (const auto& entry : kNamed) {
            if (first == entry.name)
                named = entry.text;
        }
        if (named == nullptr) {
            *why = "unknown profile '" + first + "'; " + kExpectedText;
            return false;
        }
        // The name's own keys, then the overrides that follow it.
        std::vector<std::string> namedSeen;
        const std::vector<std::string> namedItems = split(named, ',');
        readRate("rate", namedItems[0], &parsed.nominal, why);
        for (size_t i = 1; i < namedItems.size(); ++i)
            applyItem(namedItems[i], &parsed, &trueSet, &flushSet, &namedSeen, nullptr, why);
    }
    std::vector<std::string> seen;
    for (size_t i = 1; i < items.size(); ++i) {
        if (!applyItem(items[i], &parsed, &trueSet, &flushSet, &seen, nullptr, why))
            return false;
    }
    if (!finish(&parsed, trueSet, flushSet, false, why))
        return false;
    *profile = parsed;
    return true;
}

std::string virtualProfileLine(const VirtualProfile& profile, int64_t frequency, int64_t vblank0)
{
    std::string line = kLinePrefix;
    line += " rate=" + virtualRateText(profile.nominal);
    line += " true=" + virtualRateText(profile.trueRate);
    line += " wake=" + formatThousandths(profile.wakeNs);
    line += " stall=" + formatThousandths(profile.stallMilli);
    line += " dwmlag=" + formatThousandths(profile.dwmlagNs);
    line += " flush=" + formatThousandths(profile.flushNs);
    line += " dwmskip=" + formatThousandths(profile.dwmskipMilli);
    line += std::string(" dwmperiod=") + (profile.dwmPeriodNominal ? "nominal" : "true");
    line += " change=";
    for (int i = 0; i < profile.changeCount; ++i)
        line += (i > 0 ? "/" : "") + std::to_string(profile.changes[i].frame) + ":" + virtualRateText(profile.changes[i].rate);
    line += profile.changeCount == 0 ? "none" : "";
    line += " second=";
    line += profile.second ? virtualRateText(profile.secondNominal) + ":" + virtualRateText(profile.secondTrue)
                           : std::string("none");
    line += " seed=" + std::to_string(profile.seed);
    line += " sleep=";
    static const char* const waits[] = {"occluded", "timeout", "instant"};
    line += profile.sleepFrame == 0 ? std::string("none")
                                    : std::to_string(profile.sleepFrame) + ":" + std::to_string(profile.sleepFrames) +
                                          ":" + waits[static_cast<int>(profile.sleepWaits)];
    line += " unplug=";
    line += profile.unplugFrame == 0 ? std::string("none")
                                     : std::to_string(profile.unplugFrame) +
                                           (profile.unplugBack != 0 ? ":" + std::to_string(profile.unplugBack) : "");
    line += " vrr=";
    line += profile.vrrMin.numerator == 0 ? std::string("none") : virtualRateText(profile.vrrMin) + ":" + virtualRateText(profile.vrrMax);
    line += std::string(" dwmclock=") + (profile.dwmClockFastest ? "fastest" : "primary");
    line += std::string(" dwmvblank=") + (profile.dwmVblankNext ? "next" : "past");
    line += " dwmstale=" + formatThousandths(profile.dwmStaleMilli);
    line += " frequency=" + std::to_string(frequency);
    line += " vblank0=" + std::to_string(vblank0);
    line += " lines=" + std::to_string(kTimelineLines);
    return line;
}

bool virtualProfileReadLine(const std::string& line, VirtualProfile* profile, int64_t* frequency,
                            int64_t* vblank0, std::string* why)
{
    const size_t prefix = std::strlen(kLinePrefix);
    if (line.compare(0, prefix, kLinePrefix) != 0 || line.size() <= prefix || line[prefix] != ' ') {
        *why = std::string("not a profile line; expected '") + kLinePrefix + " key=value...'";
        return false;
    }
    VirtualProfile parsed;
    bool trueSet = false, flushSet = false;
    std::vector<std::string> seen;
    LineExtras extras;
    for (const std::string& item : split(trim(line.substr(prefix)), ' ')) {
        if (!applyItem(item, &parsed, &trueSet, &flushSet, &seen, &extras, why))
            return false;
    }
    if (!extras.haveRate || !extras.haveFrequency || !extras.haveVblank0) {
        *why = std::string("the line lacks ") +
               (!extras.haveRate ? "rate=" : !extras.haveFrequency ? "frequency= above 0" : "vblank0=") +
               "; expected rate=, frequency= (above 0) and vblank0= on every profile line";
        return false;
    }
    if (!finish(&parsed, trueSet, flushSet, true, why))
        return false;
    *profile = parsed;
    *frequency = extras.frequency;
    *vblank0 = extras.vblank0;
    return true;
}
