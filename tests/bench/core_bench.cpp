// Costs of the two calls every measurement leans on: tick() against a raw
// QueryPerformanceCounter loop, and one logPrintf line against vsnprintf of the same
// line. Prints its figures; run it under Wine or on Windows:
//   wine build/windows/core_bench.exe
#include "core/clock.h"
#include "core/log.h"

#include "support/stats.h"
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

constexpr int kCalls = 1000000;
constexpr int kLines = 100000;
constexpr int kRounds = 5;

double nsPer(int64_t ticks, int count)
{
    return ticksToUs(ticks) * 1000.0 / count;
}


int plainFormat(char* out, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(out, size, format, args);
    va_end(args);
    return length;
}

}  // namespace

int main()
{
    tickInit();
    std::vector<double> qpcNs, tickNs, vsnNs, logNs;
    volatile int64_t sink = 0;
    for (int round = 0; round < kRounds; ++round) {
        int64_t start = tick();
        LARGE_INTEGER value;
        for (int i = 0; i < kCalls; ++i) {
            QueryPerformanceCounter(&value);
            sink = sink + value.QuadPart;
        }
        qpcNs.push_back(nsPer(tick() - start, kCalls));

        start = tick();
        for (int i = 0; i < kCalls; ++i)
            sink = sink + tick();
        tickNs.push_back(nsPer(tick() - start, kCalls));

        char line[1000];
        start = tick();
        for (int i = 0; i < kLines; ++i)
            plainFormat(line, sizeof line, "%d\t%lld\t%.3f\t%.3f", i, 1234567890123LL + i, 16.667,
                        0.123);
        vsnNs.push_back(nsPer(tick() - start, kLines));

        start = tick();
        for (int i = 0; i < kLines; ++i)
            logPrintf("%d\t%I64d\t%.3f\t%.3f", i, 1234567890123LL + i, 16.667, 0.123);
        logNs.push_back(nsPer(tick() - start, kLines));
    }
    const double qpc = median(qpcNs), tk = median(tickNs), vsn = median(vsnNs),
                 lg = median(logNs);
    std::printf("median of %d rounds\n", kRounds);
    std::printf("QueryPerformanceCounter  %8.1f ns per call\n", qpc);
    std::printf("tick()                   %8.1f ns per call   ratio %.2f\n", tk, tk / qpc);
    std::printf("vsnprintf (one row)      %8.1f ns per line\n", vsn);
    std::printf("logPrintf (same row)     %8.1f ns per line   ratio %.2f\n", lg, lg / vsn);
    return 0;
}
