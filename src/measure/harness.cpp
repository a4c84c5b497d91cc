#include "measure/harness.h"

#include "core/lock.h"

#include <cstdio>
#include <cstring>

std::atomic<bool> g_appRunning{true};
std::atomic<bool> g_testRunning{false};

static char g_currentTitle[kTitleTextSize];
static char g_progressText[kProgressTextSize];

static CriticalLock* textLock()
{
    static CriticalLock* const lock = lockCreate(8);
    return lock;
}

static void copyText(char* to, size_t size, const char* from)
{
    std::snprintf(to, size, "%s", from);
}

void setCurrentTitle(const char* title)
{
    lockEnter(textLock());
    copyText(g_currentTitle, sizeof g_currentTitle, title);
    g_progressText[0] = '\0';
    lockLeave(textLock());
}

void setProgressText(const char* progress)
{
    lockEnter(textLock());
    copyText(g_progressText, sizeof g_progressText, progress);
    lockLeave(textLock());
}

void formatTestLine(char* out, size_t size)
{
    lockEnter(textLock());
    std::snprintf(out, size, "%s%s", g_currentTitle, g_progressText);
    lockLeave(textLock());
}
