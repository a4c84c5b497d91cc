// What the virtual display's own sources share.
#pragma once

#include "virtual/timeline.h"

#include <windows.h>

#include <ddraw.h>

#include <cstdint>

// DirectDrawCreate's stand-in: a DirectDraw object whose vblank waits follow the timeline.
HRESULT WINAPI virtualDirectDrawCreate(GUID* driver, LPDIRECTDRAW* directDraw, IUnknown* outer);
