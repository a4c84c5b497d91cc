#include "dwm/dwm.h"

#include "core/clock.h"
#include "core/log.h"
#include "dwm/dwmcore.h"

namespace {

// The compositor vblank that the previous dwmVblankOffset call ended with. Its callers are
// the tests, which run one at a time, so no lock guards it.
int64_t g_dwmLastVblank = 0;

// One reading of the whole desktop's timing (no window).
HRESULT sampleTiming(bound::DWM_TIMING_INFO& info)
{
    info = {};
    info.cbSize = sizeof info;
    return bound::DwmGetCompositionTimingInfo(nullptr, &info);
}

}   // namespace

bool dwmGetTiming(int64_t* vblank, int64_t* period, bound::UNSIGNED_RATIO* rate,
                  bool logFailure)
{
    bound::DWM_TIMING_INFO info;
    const HRESULT result = sampleTiming(info);
    if (result != S_OK) {
        if (logFailure)
            logPrintf("GTI ERROR %d", static_cast<int>(result));
        return false;
    }
    if (vblank != nullptr)
        *vblank = toTick(static_cast<int64_t>(info.qpcVBlank));
    if (period != nullptr)
        *period = static_cast<int64_t>(info.qpcRefreshPeriod);
    if (rate != nullptr)
        *rate = info.rateRefresh;
    return true;
}

double dwmVblankOffset(int64_t t)
{
    // The poll yields with Sleep(0) at normal priority; the caller's own priority comes
    // back afterwards, also when no sample could be taken.
    const HANDLE thread = GetCurrentThread();
    const int priority = GetThreadPriority(thread);
    SetThreadPriority(thread, THREAD_PRIORITY_NORMAL);

    DwmPoll poll;
    dwmPollBegin(poll, g_dwmLastVblank, tick());
    for (;;) {
        bound::DWM_TIMING_INFO info;
        const bool succeeded = sampleTiming(info) == S_OK;
        if (!dwmPollSample(poll, succeeded, static_cast<int64_t>(info.qpcVBlank), tick()))
            break;
        Sleep(0);
    }

    if (priority != THREAD_PRIORITY_ERROR_RETURN)
        SetThreadPriority(thread, priority);
    g_dwmLastVblank = dwmPollRemembered(poll);
    return dwmPollOffsetUs(poll, t);
}
