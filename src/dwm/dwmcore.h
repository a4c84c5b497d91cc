// The arithmetic of the compositor timing sample that needs no system call: how long the
// vblank-offset poll goes on, what it measures and which compositor vblank it remembers.
#pragma once

#include <cstdint>

// The poll for a compositor vblank newer than the remembered one gives up after this long.
constexpr double kDwmPollLimitUs = 500.0;

// One dwmVblankOffset poll.
struct DwmPoll {
    int64_t remembered;   // the vblank the previous call ended with
    int64_t start;        // tick the poll began
    int64_t vblank;       // vblank of the latest good sample, as a tick
    bool haveVblank;      // some sample of this poll was good
    bool lastGood;        // the latest sample was good
};

void dwmPollBegin(DwmPoll& poll, int64_t remembered, int64_t start);

// Books one sample taken just before now: succeeded tells whether the compositor call
// succeeded, rawVblank is its vblank as a raw counter value. A raw value of 0 is no vblank
// at all, so such a sample counts as failed. Returns true while the poll is to go on: the
// sample was good, it still shows the remembered vblank and the poll is younger than
// kDwmPollLimitUs.
bool dwmPollSample(DwmPoll& poll, bool succeeded, int64_t rawVblank, int64_t now);

// Microseconds from the polled vblank to t (negative when t lies before it) when the
// latest sample was good; 0.0 otherwise.
double dwmPollOffsetUs(const DwmPoll& poll, int64_t t);

// The vblank to remember for the next call: the latest good one, or the remembered one
// unchanged when no sample of this poll was good.
int64_t dwmPollRemembered(const DwmPoll& poll);
