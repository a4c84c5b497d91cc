// The virtual display's stand-in for Windows 11's compositor clock: its wait returns at the
// vblank interrupts of the output the compositor follows (the primary, or the fastest), and
// at once with STATUS_GRAPHICS_PRESENT_OCCLUDED while the display sleeps. The frame ids and
// statistics follow the model (virtualClockCompletedFrame).
#include "virtual/virtual_display.h"
#include "virtual/virtual_internal.h"

#include "core/clock.h"

DWORD WINAPI virtualWaitForCompositorClock(UINT count, const HANDLE* handles, DWORD timeoutMs)
{
    const VirtualModel* model = virtualLatestModel();
    if (model == nullptr || count >= MAXIMUM_WAIT_OBJECTS || (count > 0 && handles == nullptr))
        return WAIT_FAILED;
    // The caller's handles are looked at before the wait only: the tool passes none.
    if (count > 0) {
        const DWORD signalled = WaitForMultipleObjects(count, handles, FALSE, 0);
        if (signalled < WAIT_OBJECT_0 + count)
            return signalled;
    }
    switch (virtualWaitOutputVblank(virtualCompositorOutput(*model), timeoutMs)) {
    case VirtualWake::kVblank:
        return WAIT_OBJECT_0 + count;
    case VirtualWake::kAsleep:
        return bound::kStatusGraphicsPresentOccluded;
    case VirtualWake::kTimedOut:
        break;
    }
    return WAIT_TIMEOUT;
}

HRESULT WINAPI virtualCompositionGetFrameId(bound::COMPOSITION_FRAME_ID_TYPE type, bound::COMPOSITION_FRAME_ID* id)
{
    const VirtualModel* model = virtualLatestModel();
    if (model == nullptr || id == nullptr || type > bound::COMPOSITION_FRAME_ID_COMPLETED)
        return E_INVALIDARG;
    // The frame composed now was created and confirmed; it completes at the next vblank.
    const uint64_t completed = virtualClockCompletedFrame(*model, readPerformanceCounter());
    *id = type == bound::COMPOSITION_FRAME_ID_COMPLETED ? completed : completed + 1;
    return S_OK;
}

HRESULT WINAPI virtualCompositionGetStatistics(bound::COMPOSITION_FRAME_ID id, bound::COMPOSITION_FRAME_STATS* stats,
                                               UINT targetCount, bound::COMPOSITION_TARGET_ID* targets,
                                               UINT* actualTargetCount)
{
    const VirtualModel* model = virtualLatestModel();
    if (model == nullptr || stats == nullptr || (targetCount > 0 && targets == nullptr))
        return E_INVALIDARG;
    // Only frames that have been composed have statistics.
    if (id == 0 || id > virtualClockCompletedFrame(*model, readPerformanceCounter()) + 1)
        return E_INVALIDARG;
    const VirtualFrameStats frame = virtualClockFrameStats(*model, id);
    stats->startTime = static_cast<UINT64>(frame.start);
    stats->targetTime = static_cast<UINT64>(frame.target);
    stats->framePeriod = static_cast<UINT64>(frame.period);
    // The targets are not played: the frame reports none.
    if (actualTargetCount != nullptr)
        *actualTargetCount = 0;
    return S_OK;
}
