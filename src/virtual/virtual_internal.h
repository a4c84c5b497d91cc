// What the virtual display's own sources share.
#pragma once

#include "virtual/timeline.h"

#include <windows.h>

#include <ddraw.h>

#include <cstdint>

// Returns when the performance counter reaches `target`: sleeps in whole milliseconds
// until about 1.5 ms before it, then spins on the counter.
void virtualWaitUntil(const Timeline& timeline, int64_t target);

// DirectDrawCreate's stand-in: a DirectDraw object whose vblank waits follow the timeline.
HRESULT WINAPI virtualDirectDrawCreate(GUID* driver, LPDIRECTDRAW* directDraw, IUnknown* outer);
