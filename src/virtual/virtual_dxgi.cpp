// The virtual display's DXGI: a factory with one adapter whose outputs are the ones the
// desktop lists when the factory is made, named as the desktop's devices. An output's
// WaitForVBlank wakes at that output's vblank interrupt, with the driver's latency, as the
// driver's own wait does. What drivers and engines report is played too: while the display
// sleeps the wait returns S_OK at once; an output that went away since its factory was made
// keeps returning at once (a stale adapter), and the factory's IsCurrent turns false when the
// desktop changes. Only what the tool and engines call does anything; the rest answers
// DXGI_ERROR_UNSUPPORTED.
#include "virtual/virtual_display.h"
#include "virtual/virtual_internal.h"

#include "core/clock.h"

#include <algorithm>
#include <new>

namespace {

const wchar_t kAdapterName[] = L"kelvaro virtual display";

bool sameIid(REFIID a, REFIID b)
{
    return IsEqualGUID(a, b) != 0;
}

// IUnknown and IDXGIObject for each of the objects; `Self` names the interfaces it answers.
template <typename Interface>
class DxgiObject : public Interface {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        if (sameIid(iid, __uuidof(IUnknown)) || sameIid(iid, __uuidof(IDXGIObject)) || answers(iid)) {
            this->AddRef();
            *object = static_cast<Interface*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_references)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&m_references);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return DXGI_ERROR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override
    {
        return DXGI_ERROR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return DXGI_ERROR_NOT_FOUND; }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID, void** parent) override
    {
        if (parent != nullptr)
            *parent = nullptr;
        return E_NOINTERFACE;
    }
    virtual ~DxgiObject() = default;

protected:
    virtual bool answers(REFIID iid) const = 0;

private:
    LONG m_references = 1;
};

class VirtualOutput final : public DxgiObject<IDXGIOutput> {
public:
    VirtualOutput(int output, int64_t factoryMade) : m_output(output), m_factoryMade(factoryMade) {}

    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_OUTPUT_DESC* desc) override
    {
        if (desc == nullptr)
            return E_INVALIDARG;
        *desc = {};
        const char* name = virtualOutputName(m_output);
        for (size_t i = 0; name[i] != '\0' && i + 1 < sizeof desc->DeviceName / sizeof desc->DeviceName[0]; ++i)
            desc->DeviceName[i] = static_cast<WCHAR>(name[i]);
        const VirtualRect rect = virtualOutputRect(m_output);
        desc->DesktopCoordinates = RECT{rect.left, rect.top, rect.right, rect.bottom};
        desc->AttachedToDesktop = TRUE;
        desc->Rotation = DXGI_MODE_ROTATION_IDENTITY;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE WaitForVBlank() override
    {
        const VirtualModel* model = virtualLatestModel();
        if (model == nullptr)
            return DXGI_ERROR_DEVICE_REMOVED;
        if (stale(*model, readPerformanceCounter()))
            return S_OK;
        switch (virtualWaitOutputVblank(m_output, virtualDriverTimeoutMs(*model, m_output))) {
        case VirtualWake::kVblank:
        case VirtualWake::kAsleep:   // a sleeping display: success at once
            return S_OK;
        case VirtualWake::kTimedOut:
            break;
        }
        return stale(*model, readPerformanceCounter()) ? S_OK : DXGI_ERROR_WAIT_TIMEOUT;
    }

    HRESULT STDMETHODCALLTYPE GetDisplayModeList(DXGI_FORMAT, UINT, UINT*, DXGI_MODE_DESC*) override
    {
        return DXGI_ERROR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE FindClosestMatchingMode(const DXGI_MODE_DESC*, DXGI_MODE_DESC*, IUnknown*) override
    {
        return DXGI_ERROR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE TakeOwnership(IUnknown*, BOOL) override { return DXGI_ERROR_UNSUPPORTED; }
    void STDMETHODCALLTYPE ReleaseOwnership() override {}
    HRESULT STDMETHODCALLTYPE GetGammaControlCapabilities(DXGI_GAMMA_CONTROL_CAPABILITIES*) override
    {
        return DXGI_ERROR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE SetGammaControl(const DXGI_GAMMA_CONTROL*) override { return DXGI_ERROR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetGammaControl(DXGI_GAMMA_CONTROL*) override { return DXGI_ERROR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE SetDisplaySurface(IDXGISurface*) override { return DXGI_ERROR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetDisplaySurfaceData(IDXGISurface*) override { return DXGI_ERROR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE GetFrameStatistics(DXGI_FRAME_STATISTICS*) override { return DXGI_ERROR_UNSUPPORTED; }

protected:
    bool answers(REFIID iid) const override { return sameIid(iid, __uuidof(IDXGIOutput)); }

private:
    // The output went away since the factory was made: its waits return at once from then
    // on, even after it came back, as a stale adapter's do.
    bool stale(const VirtualModel& model, int64_t now) const
    {
        int64_t begins = 0, ends = 0;
        return m_output != 0 && virtualUnpluggedSpan(model, &begins, &ends) && begins > m_factoryMade && now >= begins;
    }

    int m_output;
    int64_t m_factoryMade;
};

class VirtualAdapter final : public DxgiObject<IDXGIAdapter1> {
public:
    VirtualAdapter(const int* outputs, int count, int64_t factoryMade) : m_count(count), m_factoryMade(factoryMade)
    {
        for (int i = 0; i < count && i < kVirtualMaxOutputs; ++i)
            m_outputs[i] = outputs[i];
    }

    HRESULT STDMETHODCALLTYPE EnumOutputs(UINT index, IDXGIOutput** output) override
    {
        if (output == nullptr)
            return E_INVALIDARG;
        *output = nullptr;
        if (index >= static_cast<UINT>(m_count))
            return DXGI_ERROR_NOT_FOUND;
        VirtualOutput* made = new (std::nothrow) VirtualOutput(m_outputs[index], m_factoryMade);
        if (made == nullptr)
            return E_OUTOFMEMORY;
        *output = made;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDesc(DXGI_ADAPTER_DESC* desc) override
    {
        if (desc == nullptr)
            return E_INVALIDARG;
        DXGI_ADAPTER_DESC1 full;
        GetDesc1(&full);
        *desc = {};
        std::copy(full.Description, full.Description + 128, desc->Description);
        desc->AdapterLuid = full.AdapterLuid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDesc1(DXGI_ADAPTER_DESC1* desc) override
    {
        if (desc == nullptr)
            return E_INVALIDARG;
        *desc = {};
        std::copy(kAdapterName, kAdapterName + sizeof kAdapterName / sizeof kAdapterName[0], desc->Description);
        desc->AdapterLuid = LUID{0x4B56, 0};   // the driver's adapter
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CheckInterfaceSupport(REFGUID, LARGE_INTEGER*) override
    {
        return DXGI_ERROR_UNSUPPORTED;
    }

protected:
    bool answers(REFIID iid) const override
    {
        return sameIid(iid, __uuidof(IDXGIAdapter)) || sameIid(iid, __uuidof(IDXGIAdapter1));
    }

private:
    int m_outputs[kVirtualMaxOutputs] = {};
    int m_count;
    int64_t m_factoryMade;
};

class VirtualFactory final : public DxgiObject<IDXGIFactory1> {
public:
    explicit VirtualFactory(int64_t made) : m_made(made) {}

    HRESULT STDMETHODCALLTYPE EnumAdapters1(UINT index, IDXGIAdapter1** adapter) override
    {
        if (adapter == nullptr)
            return E_INVALIDARG;
        *adapter = nullptr;
        const VirtualModel* model = virtualLatestModel();
        if (index > 0 || model == nullptr)
            return DXGI_ERROR_NOT_FOUND;
        // The outputs the desktop listed when the factory was made.
        int outputs[kVirtualMaxOutputs];
        int count = 0;
        for (int output = 0; output < model->outputs; ++output) {
            if (virtualOutputListed(*model, output, m_made))
                outputs[count++] = output;
        }
        VirtualAdapter* made = new (std::nothrow) VirtualAdapter(outputs, count, m_made);
        if (made == nullptr)
            return E_OUTOFMEMORY;
        *adapter = made;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumAdapters(UINT index, IDXGIAdapter** adapter) override
    {
        IDXGIAdapter1* found = nullptr;
        const HRESULT result = EnumAdapters1(index, &found);
        if (adapter != nullptr)
            *adapter = found;
        return result;
    }
    BOOL STDMETHODCALLTYPE IsCurrent() override
    {
        const VirtualModel* model = virtualLatestModel();
        return model != nullptr && virtualDesktopChangedAt(*model, readPerformanceCounter()) <= m_made;
    }
    HRESULT STDMETHODCALLTYPE MakeWindowAssociation(HWND, UINT) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetWindowAssociation(HWND* window) override
    {
        if (window == nullptr)
            return E_INVALIDARG;
        *window = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateSwapChain(IUnknown*, DXGI_SWAP_CHAIN_DESC*, IDXGISwapChain**) override
    {
        return DXGI_ERROR_UNSUPPORTED;
    }
    HRESULT STDMETHODCALLTYPE CreateSoftwareAdapter(HMODULE, IDXGIAdapter**) override { return DXGI_ERROR_UNSUPPORTED; }

protected:
    bool answers(REFIID iid) const override
    {
        return sameIid(iid, __uuidof(IDXGIFactory)) || sameIid(iid, __uuidof(IDXGIFactory1));
    }

private:
    int64_t m_made;
};

}   // namespace

HRESULT WINAPI virtualCreateDXGIFactory1(REFIID iid, void** factory)
{
    if (factory == nullptr)
        return E_INVALIDARG;
    *factory = nullptr;
    if (virtualLatestModel() == nullptr)
        return DXGI_ERROR_UNSUPPORTED;
    VirtualFactory* made = new (std::nothrow) VirtualFactory(readPerformanceCounter());
    if (made == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT result = made->QueryInterface(iid, factory);
    made->Release();
    return result;
}
