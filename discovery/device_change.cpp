#include "port_scan.h"
#include "update_procedure.h"

bool OnDeviceChange(ScanWindow& window, uint32_t event, DeviceList& devices, Clock& clock) {
    if (event != kDeviceNodesChanged) return false;
    int32_t& count = window.DeviceChangeCount();
    ++count;
    if (count < 2) return false;
    // Back to 0 whether or not a scan may run now: a refused scan is not made up later.
    count = 0;
    if (!PortScanEnabled) return false;
    ScanPorts(window, devices, clock);
    return true;
}

bool OnDeviceChange(ScanWindow& window, uint32_t event) {
    std::unique_ptr<DeviceList> devices = CreatePlatformDeviceList();
    return OnDeviceChange(window, event, *devices, SystemClock());
}

int PumpDeviceChanges(DeviceChangeSource& source, uint32_t timeoutMs, ScanWindow& window,
                      DeviceList& devices, Clock& clock) {
    int changes = source.Wait(timeoutMs);
    if (changes < 0) return -1;
    int scans = 0;
    for (int i = 0; i < changes; ++i)
        if (OnDeviceChange(window, kDeviceNodesChanged, devices, clock)) ++scans;
    return scans;
}
