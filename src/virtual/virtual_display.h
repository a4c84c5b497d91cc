// The virtual display: stands in for the display driver's D3DKMT functions, the
// compositor's timing functions and DirectDraw where the platform lacks them or reports
// timing that no display produced (Wine, virtual machines, remote sessions). Once installed,
// the run-time binder resolves those functions to the stand-ins here, which keep the
// signatures, records and status codes of the real ones and follow one timeline (see
// virtual/timeline.h). Every other function binds as usual.
#pragma once

#include "virtual/timeline.h"

#include <cstdint>
#include <vector>

// The environment variable that switches the virtual display on: a refresh rate in Hz.
constexpr const char* kVirtualDisplayVariable = "KELVARO_VIRTUAL_DISPLAY";

struct VirtualDisplayOptions {
    RefreshRatio rate = {60, 1};
    int64_t lateTicks = 0;                 // counter counts added to when every wait returns
    std::vector<int64_t> droppedVblanks;   // vblanks that waits skip
    int64_t dropEvery = 0;                 // n >= 2: waits also skip every n-th vblank
    int64_t changeFrame = 0;               // >= 1: from this frame on, changedRate applies
    RefreshRatio changedRate = {0, 0};
};

// Reads the environment variable; when it holds a refresh rate (see timelineParseRate),
// installs the virtual display at that rate with its origin now. Returns whether the
// virtual display is on. Call it before the first bound function is used.
bool virtualDisplayInstallFromEnvironment();

// Installs (or reinstalls) the virtual display with these options, origin now. False, and
// nothing changed, when the options are not usable (rate out of range, change of rate at a
// frame below 1 or to a bad rate).
bool virtualDisplayInstall(const VirtualDisplayOptions& options);

// For tests: removes the resolver and forgets the open adapters, so that functions bound
// afterwards come from the system again; the next install logs its line again. Functions
// bound before keep working on the last timeline, with no adapter open.
void virtualDisplayUninstall();

bool virtualDisplayInstalled();

// The timeline of the latest install, or null before the first. It stays valid for the
// life of the process, so tests can compare what they measured with the true times, e.g.
// timelineVblankStart(*virtualDisplayTimeline(), k) or timelineFrameAt(..., counter).
const Timeline* virtualDisplayTimeline();
