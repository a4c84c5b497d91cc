#include "measure/harness.h"

#include "core/lock.h"
#include "core/log.h"

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

static const char kRule[] =
    "====================================================================================================";
static_assert(sizeof kRule == 101, "the rule holds 100 characters");

void logTitleFrame(const char* title)
{
    const size_t ruleLength = sizeof kRule - 1;
    size_t width = std::strlen(title) + 8;
    if (width > ruleLength)
        width = ruleLength;    // a longer title gets the whole rule
    const char* rule = kRule + (ruleLength - width);
    logPrintf("");
    logPrintf(rule);
    logPrintf("%s %s %s", "===", title, "===");
    logPrintf(rule);
    logPrintf("");
}

void formatProgress(char* out, size_t size, int32_t i, int32_t n)
{
    // No caller passes n of 0 or less; such a loop ends at once and shows 0 %.
    const double percent = n > 0 ? static_cast<double>(i) * 100.0 / n : 0.0;
    std::snprintf(out, size, " -- on %d of %d (%.*f%%)", static_cast<int>(i), static_cast<int>(n),
                  n > 3000 ? 1 : 0, percent);
}

bool testProgress(int32_t i, int32_t n)
{
    char progress[kProgressTextSize];
    formatProgress(progress, sizeof progress, i, n);
    setProgressText(progress);
    return g_appRunning && i < n;
}
