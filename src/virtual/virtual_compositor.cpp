// The virtual display's compositor: it publishes each vblank `dwmlag` after it began, and a
// flush returns `flush` after the next vblank. Its clock is one output's (the primary's, or the
// fastest's); it may report the upcoming vblank, and repeat an old answer.
#include "virtual/virtual_display.h"
#include "virtual/virtual_internal.h"

#include "core/clock.h"

#include <cstring>

HRESULT WINAPI virtualDwmFlush()
{
    const VirtualModel* model = virtualLatestModel();
    if (model == nullptr)
        return E_FAIL;
    thread_local SleepPlan plan = sleepPlanMake(model->frequency);
    const int64_t target = virtualFlushReturn(*model, readPerformanceCounter());
    virtualSleepCoarse(target, &plan, nullptr);
    virtualSpinUntil(target);
    return S_OK;
}

// As on current Windows, only the whole desktop (a null window) has timing.
HRESULT WINAPI virtualDwmGetCompositionTimingInfo(HWND window, bound::DWM_TIMING_INFO* info)
{
    const VirtualModel* model = virtualLatestModel();
    if (info == nullptr || window != nullptr || model == nullptr ||
        info->cbSize != sizeof(bound::DWM_TIMING_INFO))
        return E_INVALIDARG;
    const int64_t now = readPerformanceCounter();
    // The vblank the compositor reports; a raw 0 before the first.
    const int output = virtualCompositorOutput(*model);
    const int64_t vblank = virtualReportedVblank(*model, now);
    const ULONGLONG vblankStart =
        vblank < 0 ? 0 : static_cast<ULONGLONG>(timelineVblankStart(virtualOutputTimeline(*model, output), vblank));
    const ULONGLONG refreshes = vblank < 0 ? 0 : static_cast<ULONGLONG>(vblank);
    const RefreshRatio rate = virtualNominalRate(*model, output, now);

    std::memset(info, 0, sizeof *info);
    info->cbSize = sizeof(bound::DWM_TIMING_INFO);
    info->rateRefresh.uiNumerator = rate.numerator;
    info->rateRefresh.uiDenominator = rate.denominator;
    info->qpcRefreshPeriod = static_cast<ULONGLONG>(virtualCompositorPeriod(*model, now));
    info->rateCompose = info->rateRefresh;
    info->qpcVBlank = vblankStart;
    info->cRefresh = refreshes;
    info->cDXRefresh = static_cast<UINT>(refreshes);
    // One composed frame per published refresh, shown at its vblank.
    info->qpcCompose = vblankStart;
    info->cFrame = refreshes;
    info->cRefreshFrame = refreshes;
    info->cFrameDisplayed = refreshes;
    info->qpcFrameDisplayed = vblankStart;
    info->cRefreshFrameDisplayed = refreshes;
    return S_OK;
}

HRESULT WINAPI virtualDwmIsCompositionEnabled(BOOL* enabled)
{
    if (enabled == nullptr)
        return E_INVALIDARG;
    *enabled = TRUE;
    return S_OK;
}
