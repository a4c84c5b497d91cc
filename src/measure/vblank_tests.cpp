// The vertical blank as the interfaces below the compositor see it: the scan position
// traced over more than a frame, DirectDraw's begin and end of blank waits, and the display
// driver's vblank event on every output attached to the desktop.
#include "measure/tests.h"

#include "app/window.h"
#include "core/bound.h"
#include "core/clock.h"
#include "core/displaydc.h"
#include "core/log.h"
#include "dwm/dwm.h"
#include "measure/fieldtext.h"
#include "measure/harness.h"
#include "measure/logschema.h"
#include "vsync/vsync.h"

#include <cstring>

namespace {

constexpr int32_t kScanLineSamples = 1200;
constexpr int32_t kScanLineCostCalls = 1000;
constexpr int32_t kScanLineSpacingUs = 15;
constexpr DWORD kFailedWaitPauseMs = 100;


// The wait loop on one output. A failed wait leaves prev alone, so the next good row's
// period spans the failure and its pause.
void measureOutput(const bound::D3DKMT_WAITFORVERTICALBLANKEVENT& wait, int32_t iterations,
                   bool noRepaint)
{
    const TestSchema& schema = testSchema(LogTest::D3dkmt);
    logPrintf("%s", schema.header);
    int64_t prev = 0;
    for (int32_t j = 0; testProgress(j, iterations); ++j) {
        const bound::NTSTATUS status = bound::D3DKMTWaitForVerticalBlankEvent(&wait);
        const int64_t t = tick();
        if (status != 0) {
            logPrintf("err %d", static_cast<int>(status));
            Sleep(kFailedWaitPauseMs);
            continue;
        }
        if (prev != 0) {
            const double offset = dwmVblankOffset(t);
            logPrintf(schema.rowFormat, static_cast<int>(j), t, ticksToMs(t - prev), offset);
        }
        prev = t;
        if (!noRepaint)
            requestRepaint();
    }
}

}   // namespace

void testScanLine()
{
    const TestSchema& schema = testSchema(LogTest::ScanLine);
    testTitle(schema.title);
    logPrintf("%s", schema.header);

    const int64_t t0 = tick();
    for (int32_t i = 0; i < kScanLineCostCalls; ++i)
        vsyncGetScanLine();
    const int64_t t1 = tick();
    logPrintf("vsyncGetScanLine() runs in %.1f us", ticksToUs(t1 - t0) / kScanLineCostCalls);

    // Spaced by a busy wait, not a sleep, so that the samples trace the scan position.
    for (int32_t i = 0; testProgress(i, kScanLineSamples); ++i) {
        logPrintf(schema.rowFormat, static_cast<int>(i), static_cast<int>(vsyncGetScanLine()));
        spinWaitUs(kScanLineSpacingUs);
    }
}

void testDirectDrawVblank(int32_t iterations, bool noRepaint)
{
    const TestSchema& schema = testSchema(LogTest::DirectDraw);
    testTitle(schema.title);
    LPDIRECTDRAW directDraw = nullptr;
    if (bound::DirectDrawCreate(nullptr, &directDraw, nullptr) != 0 || directDraw == nullptr)
        return;

    logPrintf("%s", schema.header);
    int64_t prev = 0;
    for (int32_t i = 0; testProgress(i, iterations); ++i) {
        // The waits' results are not looked at: a failed wait shows in the times.
        directDraw->WaitForVerticalBlank(DDWAITVB_BLOCKBEGIN, nullptr);
        const int64_t t0 = tick();
        directDraw->WaitForVerticalBlank(DDWAITVB_BLOCKEND, nullptr);
        const int64_t t1 = tick();
        if (prev != 0) {
            const double offset = dwmVblankOffset(t0);
            logPrintf(schema.rowFormat, static_cast<int>(i), t0, ticksToMs(t0 - prev),
                      ticksToMs(t1 - t0), offset);
        }
        prev = t0;
        if (!noRepaint)
            requestRepaint();
    }
    directDraw->Release();
}

void testD3dkmtVblank(int32_t iterations, bool noRepaint)
{
    testTitle(testSchema(LogTest::D3dkmt).title);
    for (DWORD d = 0;; ++d) {
        bound::DisplayDevice device;
        std::memset(&device, 0, sizeof device);
        device.cb = sizeof device;
        if (!bound::EnumDisplayDevicesA(nullptr, d, &device, 0))
            break;
        if ((device.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) == 0)
            continue;

        const FieldText<sizeof device.DeviceName> name(device.DeviceName);
        const FieldText<sizeof device.DeviceString> description(device.DeviceString);
        HDC dc = displayDcCreate(name.text);
        logPrintf("--> %s (%s) hDC=%d", name.text, description.text,
                  static_cast<int>(reinterpret_cast<INT_PTR>(dc)));
        if (dc == nullptr)
            continue;

        // Both records start from zero for every output, so an output whose open fails
        // waits on the zero adapter (and fails) instead of on the previous output's.
        bound::D3DKMT_OPENADAPTERFROMHDC open;
        std::memset(&open, 0, sizeof open);
        open.hDc = dc;
        const bound::NTSTATUS opened = bound::D3DKMTOpenAdapterFromHdc(&open);
        logPrintf("oa=%d", static_cast<int>(opened));
        displayDcDelete(dc);

        bound::D3DKMT_WAITFORVERTICALBLANKEVENT wait;
        std::memset(&wait, 0, sizeof wait);
        wait.hAdapter = open.hAdapter;
        wait.hDevice = 0;
        wait.VidPnSourceId = open.VidPnSourceId;
        measureOutput(wait, iterations, noRepaint);

        // Only an open that succeeded holds an adapter to give back.
        if (opened == 0 && open.hAdapter != 0) {
            bound::D3DKMT_CLOSEADAPTER close;
            close.hAdapter = open.hAdapter;
            bound::D3DKMTCloseAdapter(&close);
        }
    }
}
