// The ground truth of a log written on the virtual display: its profile line alone gives the
// true start of every vblank (in ticks, the log's own time base), which interrupts stalled and
// which frames the compositor missed. kelvaro-report sets its figures beside it, and the e2e
// tests compare what the tool measured with it.
#pragma once

#include "virtual/model.h"

#include <cstdint>
#include <string>
#include <vector>

struct LogTruth {
    VirtualModel model;   // origin = vblank0, in ticks

    double periodMs(int64_t vblank) const;   // the true length of frame `vblank`
    int64_t startTick(int64_t vblank) const;
    double startMs(int64_t vblank) const;
    int64_t toTick(double ms) const;
    // The latest true vblank that started at or before a time in ms (as a row shows it,
    // rounded to its decimals: `slackMs` earlier still counts as that vblank).
    int64_t latestVblank(double ms, double slackMs = 0.0001) const;
    // How far a time lies after the latest true vblank, in ms.
    double msAfterVblank(double ms) const;
    // The distance in ms from a time to the nearest true vblank start.
    double msOffGrid(double ms) const;
    // The latest vblank whose interrupt was due at or before a tick and did not stall.
    int64_t deliveredVblank(int64_t tick) const;

    // Of an output (0 the first): the true length of the frame under way at a tick, in ms, and
    // how far the tick lies after the latest true vblank, in microseconds.
    double periodMsAt(int64_t tick, int output = 0) const;
    double usAfterVblank(int64_t tick, int output = 0) const;
};

// The truth of a profile as its line gives it. False when its rates give no timeline.
bool logTruthFromProfile(LogTruth* truth, const VirtualProfile& profile, int64_t frequency, int64_t vblank0);

// Finds the "virtual.display profile" line and reads it. False, with the reason, when the log
// has none or it does not read.
bool readLogTruth(const std::vector<std::string>& lines, LogTruth* truth, std::string* problem);
