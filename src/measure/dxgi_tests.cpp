// The vblank waits applications mostly use today: DXGI's WaitForVBlank on every output
// attached to the desktop, and Windows 11's compositor clock with the statistics of its
// completed frame. Both are bound at run time; where they are missing the test says so in
// one line and ends.
//
// Either wait may return at once for many waits in a row (a sleeping display, a stale
// factory). After two such returns in a row the test paces itself with a 16 ms sleep, as the
// browser engines fall back to a timer, so that it never spins; a failed DXGI wait pauses
// 100 ms, and ten failures in a row end that output's run.
#include "measure/tests.h"

#include "app/window.h"
#include "core/bound.h"
#include "core/clock.h"
#include "core/log.h"
#include "dwm/dwm.h"
#include "measure/harness.h"
#include "measure/logschema.h"

#include <cstring>

namespace {

constexpr double kInstantMs = 1.0;        // engines count a wait under 1 ms as failed
constexpr int kInstantRunToPause = 2;
constexpr DWORD kInstantPauseMs = 16;     // a 60 Hz frame, as the engines' fallback timer
constexpr DWORD kFailedWaitPauseMs = 100;
constexpr int kFailedWaitsToGiveUp = 10;
constexpr DWORD kClockTimeoutMs = 100;    // engines give the clock's wait 100 ms
constexpr UINT kMaxOutputs = 16;

// Paces a wait loop: true when the test should sleep before its next wait, because the
// waits keep returning at once.
struct InstantRun {
    int count = 0;
    bool after(double waitMs)
    {
        count = waitMs < kInstantMs ? count + 1 : 0;
        return count >= kInstantRunToPause;
    }
};

// A wide device name or description as 8-bit text: ASCII as it is, anything else as '?'.
template <size_t Size>
void narrow(const WCHAR* wide, char (&out)[Size])
{
    size_t i = 0;
    for (; i + 1 < Size && wide[i] != 0; ++i)
        out[i] = wide[i] < 0x80 ? static_cast<char>(wide[i]) : '?';
    out[i] = '\0';
}

struct OutputName {
    char device[33];
    char adapter[129];
};

IDXGIFactory1* makeFactory(HRESULT* result)
{
    void* factory = nullptr;
    *result = bound::CreateDXGIFactory1(__uuidof(IDXGIFactory1), &factory);
    if (FAILED(*result))
        return nullptr;
    return static_cast<IDXGIFactory1*>(factory);
}

// Calls visit(adapter description, output, its description) for each output attached to the
// desktop, in the factory's order, until it returns false. Any failure of the enumeration ends
// it, not only the end of the list, so that a broken driver cannot keep it going.
template <typename Visit>
void forEachOutput(IDXGIFactory1* factory, Visit visit)
{
    IDXGIAdapter1* adapter = nullptr;
    for (UINT a = 0; SUCCEEDED(factory->EnumAdapters1(a, &adapter)) && adapter != nullptr; ++a) {
        DXGI_ADAPTER_DESC1 adapterDesc;
        std::memset(&adapterDesc, 0, sizeof adapterDesc);
        adapter->GetDesc1(&adapterDesc);
        bool more = true;
        IDXGIOutput* output = nullptr;
        for (UINT o = 0; more && SUCCEEDED(adapter->EnumOutputs(o, &output)) && output != nullptr; ++o) {
            DXGI_OUTPUT_DESC desc;
            std::memset(&desc, 0, sizeof desc);
            if (SUCCEEDED(output->GetDesc(&desc)) && desc.AttachedToDesktop)
                more = visit(adapterDesc, output, desc);
            output->Release();
            output = nullptr;
        }
        adapter->Release();
        adapter = nullptr;
        if (!more)
            break;
    }
}

// The output of a device name, with a reference of its own; null when the factory has none.
IDXGIOutput* findOutput(IDXGIFactory1* factory, const char* device)
{
    IDXGIOutput* found = nullptr;
    forEachOutput(factory, [&](const DXGI_ADAPTER_DESC1&, IDXGIOutput* output, const DXGI_OUTPUT_DESC& desc) {
        char name[33];
        narrow(desc.DeviceName, name);
        if (_stricmp(name, device) != 0)
            return true;
        output->AddRef();
        found = output;
        return false;
    });
    return found;
}

// A factory that is no longer current (the desktop changed since it was made) is made again
// and the output found anew by name, as the engines do. False when the output is gone.
bool renewIfStale(IDXGIFactory1** factory, IDXGIOutput** output, const char* device)
{
    if ((*factory)->IsCurrent())
        return true;
    logPrintf("factory stale (IsCurrent=0), made again");
    (*output)->Release();
    *output = nullptr;
    (*factory)->Release();
    HRESULT result = S_OK;
    *factory = makeFactory(&result);
    if (*factory != nullptr)
        *output = findOutput(*factory, device);
    if (*output == nullptr) {
        logPrintf("output %s gone", device);
        return false;
    }
    return true;
}

// The wait loop on one output. A failed wait leaves prev alone, as the driver's wait test
// does, so the next row's period spans the failure and its pause.
void measureDxgiOutput(IDXGIFactory1** factory, const char* device, int32_t iterations, bool noRepaint)
{
    const TestSchema& schema = testSchema(LogTest::Dxgi);
    logPrintf("%s", schema.header);
    IDXGIOutput* output = findOutput(*factory, device);
    if (output == nullptr) {
        logPrintf("output %s gone", device);
        return;
    }
    int64_t prev = 0;
    InstantRun instant;
    int failed = 0;
    for (int32_t j = 0; testProgress(j, iterations); ++j) {
        const int64_t called = tick();
        const HRESULT result = output->WaitForVBlank();
        const int64_t t = tick();
        if (FAILED(result)) {
            logPrintf("err %d", static_cast<int>(result));
            Sleep(kFailedWaitPauseMs);
            instant.count = 0;
            if (!renewIfStale(factory, &output, device))
                break;
            if (++failed >= kFailedWaitsToGiveUp) {
                logPrintf("gave up after %d failed waits in a row", failed);
                break;
            }
            continue;
        }
        failed = 0;
        const double waitMs = ticksToMs(t - called);
        if (prev != 0) {
            const double offset = dwmVblankOffset(t);
            logPrintf(schema.rowFormat, static_cast<int>(j), t, ticksToMs(t - prev), offset, waitMs);
        }
        prev = t;
        if (!noRepaint)
            requestRepaint();
        if (instant.after(waitMs)) {
            if (!renewIfStale(factory, &output, device))
                break;
            Sleep(kInstantPauseMs);
        }
    }
    if (output != nullptr)
        output->Release();
}

// A performance-counter value of the compositor's statistics as a tick; 0 stays 0.
int64_t statsTick(UINT64 value)
{
    return value == 0 ? 0 : toTick(static_cast<int64_t>(value));
}

}   // namespace

void testDxgiVblank(int32_t iterations, bool noRepaint)
{
    testTitle(testSchema(LogTest::Dxgi).title);
    HRESULT made = S_OK;
    IDXGIFactory1* factory = makeFactory(&made);
    if (factory == nullptr) {
        logPrintf("no DXGI factory (hr=%d)", static_cast<int>(made));
        return;
    }
    // The outputs by name first: a factory made again mid-run is asked for them by name.
    OutputName names[kMaxOutputs];
    UINT count = 0;
    forEachOutput(factory, [&](const DXGI_ADAPTER_DESC1& adapter, IDXGIOutput*, const DXGI_OUTPUT_DESC& desc) {
        narrow(desc.DeviceName, names[count].device);
        narrow(adapter.Description, names[count].adapter);
        return ++count < kMaxOutputs;
    });
    for (UINT o = 0; o < count && factory != nullptr; ++o) {
        logPrintf("--> %s (%s)", names[o].device, names[o].adapter);
        measureDxgiOutput(&factory, names[o].device, iterations, noRepaint);
    }
    if (factory != nullptr)
        factory->Release();
}

void testCompositorClock(int32_t iterations, bool noRepaint)
{
    const TestSchema& schema = testSchema(LogTest::CompositorClock);
    testTitle(schema.title);
    if (!bound::isBound(bound::Optional::DCompositionWaitForCompositorClock)) {
        logPrintf("no compositor clock (DCompositionWaitForCompositorClock missing)");
        return;
    }
    logPrintf("%s", schema.header);
    int64_t prev = 0;
    InstantRun instant;
    for (int32_t j = 0; testProgress(j, iterations); ++j) {
        const int64_t called = tick();
        const DWORD result = bound::DCompositionWaitForCompositorClock(0, nullptr, kClockTimeoutMs);
        const int64_t t = tick();
        // The frame the compositor completed last, and when it started and was shown.
        bound::COMPOSITION_FRAME_ID frame = 0;
        bound::COMPOSITION_FRAME_STATS stats;
        std::memset(&stats, 0, sizeof stats);
        if (SUCCEEDED(bound::DCompositionGetFrameId(bound::COMPOSITION_FRAME_ID_COMPLETED, &frame))) {
            UINT targets = 0;
            if (FAILED(bound::DCompositionGetStatistics(frame, &stats, 0, nullptr, &targets)))
                std::memset(&stats, 0, sizeof stats);
        } else {
            frame = 0;
        }
        const double waitMs = ticksToMs(t - called);
        if (prev != 0)
            logPrintf(schema.rowFormat, static_cast<int>(j), t, ticksToMs(t - prev), waitMs,
                      static_cast<int64_t>(frame), statsTick(stats.startTime), statsTick(stats.targetTime),
                      static_cast<int64_t>(stats.framePeriod), static_cast<int>(result));
        prev = t;
        if (!noRepaint)
            requestRepaint();
        if (instant.after(waitMs))
            Sleep(kInstantPauseMs);
    }
}
