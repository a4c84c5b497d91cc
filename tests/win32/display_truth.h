// The true vblanks of the installed virtual display, worked out from its profile and the
// moment it began (its origin) by the plain formula, vblank k at origin + k * frequency /
// rate, and from the profile's own random draws: nothing of the stand-in's arithmetic. The
// Win32 tests compare what the tool measured with it.
#pragma once

#include "core/clock.h"
#include "virtual/profile.h"
#include "virtual/virtual_display.h"

#include <algorithm>
#include <cstdint>

// The display a profile describes, by the plain formula and the profile's draws; nothing of
// the stand-in's own arithmetic.
struct Truth {
    // The installed display.
    static Truth installed()
    {
        Truth truth;
        const VirtualModel* model = virtualDisplayModel();
        if (model != nullptr) {
            truth.profile = model->profile;
            truth.origin = model->timeline.origin;
            truth.frequency = model->frequency;
        }
        return truth;
    }

    VirtualProfile profile;
    int64_t origin = 0;
    int64_t frequency = 0;

    int64_t start(int64_t k) const
    {
        return origin + k * frequency * profile.trueRate.denominator / profile.trueRate.numerator;
    }
    // The latest vblank that started at or before a counter value.
    int64_t latest(int64_t counter) const
    {
        int64_t k = (counter - origin) * profile.trueRate.numerator /
                    (frequency * profile.trueRate.denominator);
        while (start(k + 1) <= counter)
            ++k;
        while (k > 0 && start(k) > counter)
            --k;
        return k;
    }
    int64_t blankEnd(int64_t k) const
    {
        // 45 of 1125 lines after the start.
        return origin + (k * 1125 + 45) * frequency * profile.trueRate.denominator /
                            (1125 * static_cast<int64_t>(profile.trueRate.numerator));
    }
    int64_t counts(int64_t ns) const { return ns * frequency / 1000000000; }
    bool below(VirtualDraw kind, int64_t k, int32_t milli) const
    {
        const uint32_t draw = virtualDraw(profile.seed, kind, 0, k);
        return static_cast<int64_t>((uint64_t{draw} * 100000u) >> 32) < milli;
    }
    bool stalled(int64_t k) const { return below(VirtualDraw::kStall, k, profile.stallMilli); }
    bool skipped(int64_t k) const
    {
        return below(VirtualDraw::kCompositorSkip, k, profile.dwmskipMilli);
    }
    int64_t wake(int64_t k) const
    {
        const uint32_t draw = virtualDraw(profile.seed, VirtualDraw::kWake, 0, k);
        const int64_t ns =
            static_cast<int64_t>((static_cast<uint64_t>(profile.wakeNs) * virtualNegLogQ24(draw)) >> 24);
        return std::min(counts(ns), (start(k + 1) - start(k)) / 2);
    }
    int64_t due(int64_t k) const { return start(k) + wake(k); }
    // How long after the true start of its vblank a logged tick lies, in microseconds.
    double usAfterVblank(int64_t loggedTick) const
    {
        const int64_t counter = loggedTick + tickBase;
        return static_cast<double>(counter - start(latest(counter))) * 1e6 / static_cast<double>(frequency);
    }
    // The same for a time in milliseconds since tick 0, as a row shows it (rounded to its
    // decimals: up to 0.05 us before the vblank still counts as after it), in milliseconds.
    double msAfterVblank(double ms) const
    {
        const int64_t counter = tickBase + static_cast<int64_t>(ms * static_cast<double>(frequency) / 1000.0 + 0.5);
        const int64_t k = latest(counter + frequency / 100000);
        return ms - static_cast<double>(start(k) - tickBase) * 1000.0 / static_cast<double>(frequency);
    }
};

