// The tool's display device contexts, made and deleted through these two functions alone. A
// real display driver knows which device a DC was made for; a stand-in for it cannot ask the
// system (under Wine every "\\.\DISPLAYn" gives a DC of the one screen), so it watches here.
#pragma once

#include <windows.h>

// Told of every display DC the tool makes (with its device name) and deletes (before it goes).
struct DisplayDcWatcher {
    void (*made)(HDC dc, const char* device);
    void (*deleted)(HDC dc);
};

// Sets the watcher (null: none) and gives the one before. The watcher must outlive its use.
const DisplayDcWatcher* displayDcWatch(const DisplayDcWatcher* watcher);

// CreateDCA(nullptr, device, nullptr, nullptr), and the watcher told of a DC made.
HDC displayDcCreate(const char* device);
// DeleteDC, the watcher told first.
BOOL displayDcDelete(HDC dc);
