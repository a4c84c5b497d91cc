// Which display device a device context was made for. The tool makes its display DCs with
// CreateDCA and a device name, and the D3DKMT open then receives only the DC: a real driver
// knows the device behind it, a stand-in has to learn it, and no function of the system tells
// (under Wine every "\\.\DISPLAYn" gives a DC of the one screen). So once, at the first
// install, the import slots of the program for gdi32's CreateDCA and DeleteDC are pointed at
// recorders that call the system's functions and note the device name of each DC. The calls
// of the tool itself stay what they are.
#include "virtual/virtual_display.h"
#include "virtual/virtual_internal.h"

#include "core/lock.h"

#include <atomic>
#include <cstring>

namespace {

using CreateDcFunction = HDC(WINAPI*)(LPCSTR, LPCSTR, LPCSTR, const DEVMODEA*);
using DeleteDcFunction = BOOL(WINAPI*)(HDC);

CreateDcFunction g_createDc = nullptr;
DeleteDcFunction g_deleteDc = nullptr;

// The display DCs alive now. A handful at a time; a DC that does not fit is simply not known
// (it opens the primary's adapter, as any other DC does).
constexpr int kMaxContexts = 64;
struct Context {
    HDC dc;
    char device[32];
};
Context g_contexts[kMaxContexts];
int g_contextCount = 0;

CriticalLock* contextLock()
{
    static CriticalLock* const lock = lockCreate(0);
    return lock;
}

void forget(HDC dc)
{
    CriticalLock* lock = contextLock();
    lockEnter(lock);
    for (int i = 0; i < g_contextCount; ++i) {
        if (g_contexts[i].dc == dc) {
            g_contexts[i] = g_contexts[--g_contextCount];
            break;
        }
    }
    lockLeave(lock);
}

HDC WINAPI recordingCreateDc(LPCSTR driver, LPCSTR device, LPCSTR output, const DEVMODEA* mode)
{
    const HDC dc = g_createDc(driver, device, output, mode);
    if (dc == nullptr || device == nullptr)
        return dc;
    forget(dc);   // a handle the system reused
    CriticalLock* lock = contextLock();
    lockEnter(lock);
    if (g_contextCount < kMaxContexts) {
        Context& entry = g_contexts[g_contextCount++];
        entry.dc = dc;
        std::strncpy(entry.device, device, sizeof entry.device - 1);
        entry.device[sizeof entry.device - 1] = '\0';
    }
    lockLeave(lock);
    return dc;
}

BOOL WINAPI recordingDeleteDc(HDC dc)
{
    forget(dc);
    return g_deleteDc(dc);
}

// Points the program's import slot for dll!function at the replacement; gives the address
// the slot held. False when the program does not import it by name.
bool redirectImport(const char* dll, const char* function, void* replacement, void** original)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return false;
    bool redirected = false;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry) {
        if (_stricmp(reinterpret_cast<const char*>(base + entry->Name), dll) != 0 ||
            entry->OriginalFirstThunk == 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                                &protection))
                continue;
            *original = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
            redirected = true;
        }
    }
    return redirected;
}

std::atomic<bool> g_watching{false};

}   // namespace

void virtualWatchDisplayContexts()
{
    if (g_watching.exchange(true))
        return;
    void* create = nullptr;
    void* remove = nullptr;
    // Both or neither: a recorded DC must also be forgotten when it is deleted.
    if (!redirectImport("gdi32.dll", "DeleteDC", reinterpret_cast<void*>(recordingDeleteDc), &remove))
        return;
    g_deleteDc = reinterpret_cast<DeleteDcFunction>(remove);
    if (redirectImport("gdi32.dll", "CreateDCA", reinterpret_cast<void*>(recordingCreateDc), &create))
        g_createDc = reinterpret_cast<CreateDcFunction>(create);
}

int virtualDisplayContextOutput(HDC dc)
{
    const VirtualModel* model = virtualDisplayModel();
    char device[32] = "";
    bool known = false;
    CriticalLock* lock = contextLock();
    lockEnter(lock);
    for (int i = 0; i < g_contextCount && !known; ++i) {
        if (g_contexts[i].dc == dc) {
            std::memcpy(device, g_contexts[i].device, sizeof device);
            known = true;
        }
    }
    lockLeave(lock);
    if (!known || model == nullptr)
        return kDcOfNoDisplay;
    if (_stricmp(device, "DISPLAY") == 0)
        return 0;   // the whole desktop: the primary's
    return virtualOutputByName(*model, device);
}
