#include "core/displaydc.h"

#include <atomic>

namespace {

std::atomic<const DisplayDcWatcher*> g_watcher{nullptr};

}   // namespace

const DisplayDcWatcher* displayDcWatch(const DisplayDcWatcher* watcher)
{
    return g_watcher.exchange(watcher, std::memory_order_acq_rel);
}

HDC displayDcCreate(const char* device)
{
    const HDC dc = CreateDCA(nullptr, device, nullptr, nullptr);
    const DisplayDcWatcher* watcher = g_watcher.load(std::memory_order_acquire);
    if (dc != nullptr && device != nullptr && watcher != nullptr)
        watcher->made(dc, device);
    return dc;
}

BOOL displayDcDelete(HDC dc)
{
    const DisplayDcWatcher* watcher = g_watcher.load(std::memory_order_acquire);
    if (watcher != nullptr)
        watcher->deleted(dc);
    return DeleteDC(dc);
}
