#include "vsync/status.h"

#include "core/lock.h"

#include <cstdio>

static char g_statusText[kStatusTextSize];

static CriticalLock* statusLock()
{
    static CriticalLock* const lock = lockCreate(8);
    return lock;
}

char* vsyncGetStatus(char* buffer)
{
    lockEnter(statusLock());
    std::snprintf(buffer, kStatusTextSize, "%s", g_statusText);
    lockLeave(statusLock());
    return buffer;
}

void vsyncSetStatusText(const char* text)
{
    lockEnter(statusLock());
    std::snprintf(g_statusText, sizeof g_statusText, "%s", text);
    lockLeave(statusLock());
}
