// The virtual display: stands in for the display driver's D3DKMT functions, the
// compositor's timing functions and DirectDraw where the platform lacks them or reports
// timing that no display produced (Wine, virtual machines, remote sessions). Once installed,
// the run-time binder resolves those functions to the stand-ins here, which keep the
// signatures, records and status codes of the real ones and follow one model of a display
// (see virtual/profile.h). Every other function binds as usual.
//
// The driver works as real hardware does. A vblank interrupt thread lands on each vblank
// (a coarse sleep, then a short spin) and releases the D3DKMT waiters through an event, so
// a waiter blocks and wakes with the platform's scheduling latency, plus the profile's.
// DirectDraw's vblank wait polls the scan line on the caller's thread and burns it. The
// compositor publishes each vblank `dwmlag` after it began; a flush returns `flush` after
// the next vblank.
#pragma once

#include "virtual/model.h"
#include "virtual/timeline.h"

#include <cstddef>
#include <cstdint>
#include <string>

// The environment variable that switches the virtual display on: a profile.
constexpr const char* kVirtualDisplayVariable = "KELVARO_VIRTUAL_DISPLAY";

// Reads the environment variable. Unset or empty: off, nothing logged. A profile: installs
// the virtual display with its origin now. Anything else: logs one line
// "virtual.display refused '<text>': <why>" and stays off. Returns whether it is on. Call
// it before the first bound function is used.
bool virtualDisplayInstallFromEnvironment();

// Installs (or reinstalls) the virtual display with this profile, origin now. False, and
// nothing changed, when the timeline cannot run at its rates; then *why (when not null) names
// the value and what is expected.
bool virtualDisplayInstall(const VirtualProfile& profile, std::string* why = nullptr);

// For tests: removes the resolver and forgets the open adapters, so that functions bound
// afterwards come from the system again; the next install logs its lines again. Functions
// bound before keep answering from the last model, with no adapter open.
void virtualDisplayUninstall();

bool virtualDisplayInstalled();

// The model of the latest install (counter values, not ticks), or null before the first.
// It stays valid for the life of the process.
const VirtualModel* virtualDisplayModel();
const Timeline* virtualDisplayTimeline();

// What the interrupt thread of an output did: for the latest interrupts, the vblank it
// delivered, when that was due and when the thread released the waiters (counter values).
struct VirtualInterruptRecord {
    int64_t vblank;
    int64_t due;
    int64_t fired;
};
// Copies the latest interrupts (at most max, oldest first) and returns how many it copied.
size_t virtualDisplayInterrupts(int output, VirtualInterruptRecord* records, size_t max);
// Processor time the interrupt thread of an output has used, in 100 ns units.
uint64_t virtualDisplayInterruptCpu(int output);
