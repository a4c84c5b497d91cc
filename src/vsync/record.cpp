// The vblank record, the last scan line and the status text: written by the server
// thread, read by any thread. The ring and the status text change under one lock.
#include "vsync/vsync.h"

#include "core/lock.h"
#include "vsync/vsynccore.h"

#include <atomic>
#include <cstdio>

static VblankRing g_vblankRing;
static std::atomic<int64_t> g_lastVblank{0};    // also readable without the lock, whole
static std::atomic<int32_t> g_lastScanLine{0};
static char g_statusText[kStatusTextSize];

static CriticalLock* vsyncLock()
{
    static CriticalLock* const lock = lockCreate(8);
    return lock;
}

void vsyncRecordVblank(int64_t vblankTick)
{
    lockEnter(vsyncLock());
    vblankRingRecord(g_vblankRing, vblankTick);
    g_lastVblank = vblankTick;
    lockLeave(vsyncLock());
}

void vsyncResetTiming()
{
    lockEnter(vsyncLock());
    vblankRingReset(g_vblankRing);
    g_lastVblank = 0;
    lockLeave(vsyncLock());
}

bool vsyncGetTiming(int64_t* lastVblank, int64_t* averagePeriod)
{
    lockEnter(vsyncLock());
    const bool known = vblankRingTiming(g_vblankRing, lastVblank, averagePeriod);
    lockLeave(vsyncLock());
    return known;
}

void vsyncHoldRecordLock(bool hold)
{
    if (hold)
        lockEnter(vsyncLock());
    else
        lockLeave(vsyncLock());
}

int64_t vsyncLastVblank()
{
    return g_lastVblank;
}

int32_t vsyncLastScanLine()
{
    return g_lastScanLine;
}

void vsyncSetLastScanLine(int32_t scanLine)
{
    g_lastScanLine = scanLine;
}

char* vsyncGetStatus(char* buffer)
{
    lockEnter(vsyncLock());
    std::snprintf(buffer, kStatusTextSize, "%s", g_statusText);
    lockLeave(vsyncLock());
    return buffer;
}

void vsyncSetStatusText(const char* text)
{
    lockEnter(vsyncLock());
    std::snprintf(g_statusText, sizeof g_statusText, "%s", text);    // cut to 103 characters
    lockLeave(vsyncLock());
}
