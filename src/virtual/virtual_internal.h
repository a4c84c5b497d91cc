// What the virtual display's own sources share.
#pragma once

#include "virtual/timeline.h"

#include <windows.h>

#include <ddraw.h>

#include <cstdint>

// Starts following which device name each display DC is made for (once per process).
void virtualWatchDisplayContexts();
// The output a DC was made for; -1 for a display name of no output of the installed display,
// kDcOfNoDisplay for a DC that was not made for a display name.
constexpr int kDcOfNoDisplay = -2;
int virtualDisplayContextOutput(HDC dc);

// DirectDrawCreate's stand-in: a DirectDraw object whose vblank waits follow the timeline.
HRESULT WINAPI virtualDirectDrawCreate(GUID* driver, LPDIRECTDRAW* directDraw, IUnknown* outer);
