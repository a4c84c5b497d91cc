// Which display outputs the machine has, and on which of them the main window stands.
#include "measure/tests.h"

#include "measure/logschema.h"

#include "app/window.h"
#include "core/bound.h"
#include "core/log.h"
#include "measure/fieldtext.h"

#include <cstring>

void testAdapterInfo()
{
    testTitle(testSchema(LogTest::AdapterInfo).title);
    bound::DisplayDevice device = {};
    device.cb = sizeof device;
    for (DWORD i = 0; bound::EnumDisplayDevicesA(nullptr, i, &device, 0); ++i) {
        const FieldText<sizeof device.DeviceName> name(device.DeviceName);
        const FieldText<sizeof device.DeviceString> description(device.DeviceString);
        logPrintf("Adaptor%d=%s '%s' %s%s", static_cast<int>(i), name.text, description.text,
                  (device.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) ? " [ACTIVE]" : "",
                  (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) ? " [PRIMARY]" : "");
    }
}

void testAppMonitor()
{
    // Without a window, MonitorFromWindow would name the nearest monitor to nothing.
    const HWND window = g_hwndMain.load();
    if (window == nullptr)
        return;
    const HMONITOR monitor = bound::MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
    if (monitor == nullptr)
        return;
    MONITORINFOEXA info = {};
    info.cbSize = sizeof info;
    if (!bound::GetMonitorInfoA(monitor, reinterpret_cast<LPMONITORINFO>(&info)))
        return;
    const FieldText<sizeof info.szDevice> device(info.szDevice);
    logPrintf("");
    logPrintf("App running on %s%s", device.text,
              (info.dwFlags & MONITORINFOF_PRIMARY) ? " (PRIMARY)" : "");
}
