// The virtual display's DirectDraw object. Only the vblank waits do anything; every other
// method answers DDERR_UNSUPPORTED, as a driver without those features would.
#include "virtual/virtual_display.h"
#include "virtual/virtual_internal.h"

#include "core/clock.h"

#include <new>

namespace {

// The interface identifiers, spelled out so that no GUID library is linked.
constexpr GUID kIidUnknown = {0x00000000, 0x0000, 0x0000,
                              {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr GUID kIidDirectDraw = {0x6C14DB80, 0xA733, 0x11CE,
                                 {0xA5, 0x21, 0x00, 0x20, 0xAF, 0x0B, 0xE5, 0x60}};

bool sameGuid(const GUID& a, const GUID& b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
        return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i])
            return false;
    }
    return true;
}

class VirtualDirectDraw final : public IDirectDraw {
public:
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (sameGuid(iid, kIidUnknown) || sameGuid(iid, kIidDirectDraw)) {
            AddRef();
            *object = static_cast<IDirectDraw*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }

    ULONG STDMETHODCALLTYPE AddRef() override
    {
        return static_cast<ULONG>(InterlockedIncrement(&m_references));
    }

    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&m_references);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    // The vblank waits poll the scan line on the calling thread, which burns its processor
    // for as long as they wait, as DirectDraw does. An event is not supported, as on most
    // drivers.
    HRESULT STDMETHODCALLTYPE WaitForVerticalBlank(DWORD flags, HANDLE) override
    {
        const VirtualModel* model = virtualDisplayModel();
        if (model == nullptr)
            return DDERR_GENERIC;
        // A sleeping display has no scan line to poll: the wait fails at once, as DirectDraw's
        // does on a display that is off.
        if (virtualAsleep(*model, 0, readPerformanceCounter()))
            return DDERR_GENERIC;
        const Timeline& timeline = model->timeline;
        const int64_t line = timelineLineAt(timeline, readPerformanceCounter());
        int64_t until = 0;   // the line whose start ends the wait
        switch (flags) {
        case DDWAITVB_BLOCKBEGIN:
            // The next blank to begin, never the one under way.
            until = (line / kTimelineLines + 1) * kTimelineLines;
            break;
        case DDWAITVB_BLOCKEND: {
            // The end of the blank under way, else of the next one.
            const int64_t vblank = line / kTimelineLines;
            const bool inBlank = line - vblank * kTimelineLines < kTimelineBlankLines;
            until = (inBlank ? vblank : vblank + 1) * kTimelineLines + kTimelineBlankLines;
            break;
        }
        case DDWAITVB_BLOCKBEGINEVENT:
            return DDERR_UNSUPPORTED;
        default:
            return DDERR_INVALIDPARAMS;
        }
        for (int64_t now = readPerformanceCounter(); timelineLineAt(timeline, now) < until; now = readPerformanceCounter()) {
            if (virtualAsleep(*model, 0, now))
                return DDERR_GENERIC;
            YieldProcessor();
        }
        return DD_OK;
    }

    // Everything else.
    HRESULT STDMETHODCALLTYPE Compact() override { return DDERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE CreateClipper(DWORD, LPDIRECTDRAWCLIPPER*, IUnknown*) override
    {
        return DDERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreatePalette(DWORD, LPPALETTEENTRY, LPDIRECTDRAWPALETTE*,
                                            IUnknown*) override
    {
        return DDERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateSurface(LPDDSURFACEDESC, LPDIRECTDRAWSURFACE*,
                                            IUnknown*) override
    {
        return DDERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE DuplicateSurface(LPDIRECTDRAWSURFACE, LPDIRECTDRAWSURFACE*) override
    {
        return DDERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE EnumDisplayModes(DWORD, LPDDSURFACEDESC, LPVOID,
                                               LPDDENUMMODESCALLBACK) override
    {
        return DDERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE EnumSurfaces(DWORD, LPDDSURFACEDESC, LPVOID,
                                           LPDDENUMSURFACESCALLBACK) override
    {
        return DDERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE FlipToGDISurface() override { return DDERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetCaps(LPDDCAPS, LPDDCAPS) override { return DDERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetDisplayMode(LPDDSURFACEDESC) override { return DDERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetFourCCCodes(LPDWORD, LPDWORD) override
    {
        return DDERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetGDISurface(LPDIRECTDRAWSURFACE*) override
    {
        return DDERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetMonitorFrequency(LPDWORD) override { return DDERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetScanLine(LPDWORD) override { return DDERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetVerticalBlankStatus(BOOL*) override { return DDERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE Initialize(GUID*) override { return DDERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE RestoreDisplayMode() override { return DDERR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE SetCooperativeLevel(HWND, DWORD) override
    {
        return DDERR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE SetDisplayMode(DWORD, DWORD, DWORD) override
    {
        return DDERR_UNSUPPORTED;
    }

private:
    LONG m_references = 1;
};

}   // namespace

HRESULT WINAPI virtualDirectDrawCreate(GUID*, LPDIRECTDRAW* directDraw, IUnknown* outer)
{
    if (directDraw == nullptr)
        return DDERR_INVALIDPARAMS;
    *directDraw = nullptr;
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    VirtualDirectDraw* object = new (std::nothrow) VirtualDirectDraw;
    if (object == nullptr)
        return DDERR_OUTOFMEMORY;
    *directDraw = object;
    return DD_OK;
}
