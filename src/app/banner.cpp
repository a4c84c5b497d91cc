#include "app/banner.h"

#include "core/log.h"

#include <cstdio>
#include <cstring>
#include <ctime>

WindowsVersion decodeWindowsVersion(uint32_t version)
{
    WindowsVersion v;
    v.major = static_cast<int>(version & 0xFF);
    v.minor = static_cast<int>((version >> 8) & 0xFF);
    v.build = (version & 0x80000000u) != 0 ? 0 : static_cast<int>(version >> 16);
    return v;
}

// Formatted here rather than by the runtime's asctime, whose day field differs between
// runtimes (some pad it with a zero).
void formatAsctime(const std::tm& when, char* out, size_t outSize)
{
    static const char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int day = when.tm_wday >= 0 && when.tm_wday < 7 ? when.tm_wday : 0;
    const int month = when.tm_mon >= 0 && when.tm_mon < 12 ? when.tm_mon : 0;
    std::snprintf(out, outSize, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", days[day], months[month],
                  when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec, 1900 + when.tm_year);
}

void logLocalTime()
{
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    char text[64] = "";
    if (local != nullptr) {
        formatAsctime(*local, text, sizeof text);
        const size_t length = std::strlen(text);
        if (length > 0)
            text[length - 1] = '\0';    // drop the newline
    }
    logPrintf("%s", text);
}

void logVersionLine(uint32_t version)
{
    const WindowsVersion v = decodeWindowsVersion(version);
    logPrintf("Windows Version %d.%d build %d", v.major, v.minor, v.build);
}
