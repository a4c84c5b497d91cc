// The vsync pulse: two manual-reset events whose roles swap at every vblank, so that
// one SetEvent releases every thread waiting for the next vsync.
#include "vsync/vsync.h"

#include <windows.h>

#include <atomic>

static std::atomic<HANDLE> g_eventCurrent{nullptr};     // what waiters wait on
static std::atomic<HANDLE> g_eventPrevious{nullptr};    // what the latest pulse set

void vsyncCreateEvents()
{
    g_eventCurrent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_eventPrevious = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void vsyncClearEvents()
{
    // Not closed: a thread that fetched a handle just before may still wait on it.
    g_eventPrevious = nullptr;
    g_eventCurrent = nullptr;
}

void vsyncPulse()
{
    HANDLE previous = g_eventPrevious;
    HANDLE current = g_eventCurrent;
    if (previous == nullptr || current == nullptr)
        return;
    ResetEvent(previous);
    g_eventCurrent = previous;
    g_eventPrevious = current;
    SetEvent(current);
}

bool vsyncWait(uint32_t timeoutMs)
{
    HANDLE event = g_eventCurrent;
    if (event == nullptr)
        return false;
    return WaitForSingleObject(event, timeoutMs) == WAIT_OBJECT_0;
}
