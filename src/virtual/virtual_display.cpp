// The virtual display as a whole: its installs from a profile, and the binder's resolver that
// answers with the rooms' stand-ins (the driver, the desktop, the compositor, DirectDraw).
#include "virtual/virtual_display.h"

#include "core/bound.h"
#include "core/clock.h"
#include "core/lock.h"
#include "core/log.h"
#include "virtual/virtual_internal.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

// One install: its model. Each install makes a new one and none is ever freed, so a
// stand-in that read the pointer keeps a valid model even while a test installs another.
struct Install {
    VirtualModel model;
};
std::atomic<const Install*> g_latest{nullptr};
std::atomic<bool> g_installed{false};
std::atomic<bool> g_announced{false};

}   // namespace

const VirtualModel* virtualLatestModel()
{
    const Install* install = g_latest.load(std::memory_order_acquire);
    return install == nullptr ? nullptr : &install->model;
}

bool virtualInstalledNow()
{
    return g_installed.load();
}

namespace {

// --- The binder's resolver ----------------------------------------------------------

template <typename Function>
FARPROC toFarproc(Function function)
{
    // Through the generic function pointer, which converts to and from any other.
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

bool sameName(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == '\0')
            return true;
    }
}

FARPROC standIn(const char* module, const char* function)
{
    using bound::Optional;
    const struct {
        Optional function;
        FARPROC address;
        bool monitors;   // answers only with two outputs: the desktop's devices and monitors
    } table[] = {
        {Optional::D3DKMTOpenAdapterFromHdc, toFarproc(virtualOpenAdapterFromHdc), false},
        {Optional::D3DKMTCloseAdapter, toFarproc(virtualCloseAdapter), false},
        {Optional::D3DKMTWaitForVerticalBlankEvent, toFarproc(virtualWaitForVerticalBlankEvent), false},
        {Optional::D3DKMTGetScanLine, toFarproc(virtualGetScanLine), false},
        {Optional::D3DKMTQueryAdapterInfo, toFarproc(virtualQueryAdapterInfo), false},
        {Optional::DwmFlush, toFarproc(virtualDwmFlush), false},
        {Optional::DwmGetCompositionTimingInfo, toFarproc(virtualDwmGetCompositionTimingInfo), false},
        {Optional::DwmIsCompositionEnabled, toFarproc(virtualDwmIsCompositionEnabled), false},
        {Optional::DirectDrawCreate, toFarproc(virtualDirectDrawCreate), false},
        {Optional::CreateDXGIFactory1, toFarproc(virtualCreateDXGIFactory1), false},
        {Optional::DCompositionWaitForCompositorClock, toFarproc(virtualWaitForCompositorClock), false},
        {Optional::DCompositionGetFrameId, toFarproc(virtualCompositionGetFrameId), false},
        {Optional::DCompositionGetStatistics, toFarproc(virtualCompositionGetStatistics), false},
        {Optional::EnumDisplayDevicesA, toFarproc(virtualEnumDisplayDevicesA), true},
        {Optional::MonitorFromWindow, toFarproc(virtualMonitorFromWindow), true},
        {Optional::GetMonitorInfoA, toFarproc(virtualGetMonitorInfoA), true},
    };
    if (module == nullptr || function == nullptr)
        return nullptr;
    const VirtualModel* model = virtualLatestModel();
    const bool twoOutputs = model != nullptr && model->outputs > 1;
    for (const auto& row : table) {
        // Function names are exact, as GetProcAddress takes them; module names are not.
        const bound::OptionalName& name = bound::optionalName(row.function);
        if ((!row.monitors || twoOutputs) && std::strcmp(name.function, function) == 0 && sameName(name.module, module))
            return row.address;
    }
    return nullptr;
}

FARPROC resolve(const char* module, const char* function)
{
    const FARPROC address = standIn(module, function);
    if (address != nullptr && !g_announced.exchange(true)) {
        const VirtualModel& model = *virtualLatestModel();
        const RefreshRatio rate = model.profile.nominal;
        logPrintf("virtual.display stands in at %.3f Hz (%u/%u)", timelineRateHz(rate),
                  static_cast<unsigned>(rate.numerator), static_cast<unsigned>(rate.denominator));
        const std::string line =
            virtualProfileLine(model.profile, model.frequency, toTick(model.timeline.origin));
        logPrintf("%s", line.c_str());
    }
    return address;
}

// The refused text as one log line can show it: control characters as '?', and cut.
std::string printable(const char* text)
{
    std::string shown;
    for (const char* at = text; *at != '\0'; ++at) {
        if (shown.size() >= 400) {
            shown += "...";
            break;
        }
        const unsigned char c = static_cast<unsigned char>(*at);
        shown += c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c);
    }
    return shown;
}

void refuse(const char* text, const std::string& why)
{
    logPrintf("virtual.display refused '%s': %s", printable(text).c_str(),
              printable(why.c_str()).c_str());
}

}   // namespace

bool virtualDisplayInstall(const VirtualProfile& profile, std::string* why)
{
    Install* install = new (std::nothrow) Install;
    if (install == nullptr) {
        if (why != nullptr)
            *why = "no memory for the display's model";
        return false;
    }
    if (!virtualModelInit(&install->model, profile, readPerformanceFrequency(),
                          readPerformanceCounter(), why)) {
        delete install;
        return false;
    }
    virtualWatchDisplayContexts();
    virtualDriverStart();
    g_latest.store(install, std::memory_order_release);
    virtualDriverReset();
    g_announced.store(false);
    bound::setResolver(resolve);
    g_installed.store(true);
    virtualDriverWake(false);
    return true;
}

bool virtualDisplayInstallFromEnvironment()
{
    char text[1024];
    const DWORD length =
        GetEnvironmentVariableA(kVirtualDisplayVariable, text, static_cast<DWORD>(sizeof text));
    if (length == 0)
        return false;   // unset or empty: the system's own functions
    if (length >= sizeof text) {
        std::vector<char> whole(length + 1);
        GetEnvironmentVariableA(kVirtualDisplayVariable, whole.data(), length + 1);
        refuse(whole.data(), "the text is longer than " + std::to_string(sizeof text - 1) +
                                 " characters; expected a name or RATE[,key=value]...");
        return false;
    }
    std::string value = text;
    if (value.find_first_not_of(" \t") == std::string::npos)
        return false;
    VirtualProfile profile;
    std::string why;
    if (!virtualProfileParse(value, &profile, &why)) {
        refuse(text, why);
        return false;
    }
    if (!virtualDisplayInstall(profile, &why)) {
        refuse(text, why);
        return false;
    }
    return true;
}

void virtualDisplayUninstall()
{
    const bound::Resolver previous = bound::setResolver(nullptr);
    if (previous != resolve)
        bound::setResolver(previous);   // someone else's: leave it in place
    virtualDriverClose();
    g_installed.store(false);
    virtualDriverWake(true);
}

bool virtualDisplayInstalled()
{
    return g_installed.load();
}

const VirtualModel* virtualDisplayModel()
{
    return virtualLatestModel();
}

const Timeline* virtualDisplayTimeline()
{
    const VirtualModel* model = virtualLatestModel();
    return model == nullptr ? nullptr : &model->timeline;
}
