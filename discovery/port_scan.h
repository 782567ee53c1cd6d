#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"

// The device-change event that counts: the value of DBT_DEVNODES_CHANGED (the wParam of
// WM_DEVICECHANGE). Named differently so that this header can sit beside <dbt.h>.
constexpr uint32_t kDeviceNodesChanged = 0x0007;

// Size of the window's port-name field in UTF-16 units, terminator included: a port name
// holds at most 9 characters.
constexpr std::size_t kPortNameUnits = 10;
using PortNameField = std::array<wchar_t, kPortNameUnits>;

// The devices present now, with their friendly names.
class DeviceList {
  public:
    virtual ~DeviceList() = default;
    // Replaces friendlyNames by the friendly names of the present devices in enumeration
    // order (devices without a friendly name are left out; each name is at most 1023
    // characters). Returns false when the platform gives no device set at all.
    virtual bool Enumerate(std::vector<std::wstring>& friendlyNames) = 0;
};

// Windows: every present device of every class (SetupAPI). Linux: the serial devices under
// /sys/class/tty, named "<manufacturer> <product> (ttyACM0)" from their USB parent.
std::unique_ptr<DeviceList> CreatePlatformDeviceList();  // never nullptr

// What the scan and the device-change rule need of the main window. The window also
// implements the update procedure's window interface; AppendLog is declared identically
// there, so one override serves both.
class ScanWindow {
  public:
    virtual ~ScanWindow() = default;
    // PortList: remove every entry (CB_RESETCONTENT).
    virtual void PortListReset() = 0;
    // PortList: add an entry; the list keeps its entries sorted by text by itself, as a
    // CBS_SORT combo box does on CB_ADDSTRING (see PortListInsertPosition).
    virtual void PortListAdd(const std::wstring& text) = 0;
    // PortList: select the entry at index (CB_SETCURSEL); the scan always selects 0.
    virtual void PortListSelect(int index) = 0;
    // LogView: append text as it stands, "\r\n" included.
    virtual void AppendLog(const std::wstring& text) = 0;
    // The window member PortName: written by the scan alone, zero-terminated.
    virtual PortNameField& PortName() = 0;
    // The window member DeviceChangeCount: 0 when the window is constructed.
    virtual int32_t& DeviceChangeCount() = 0;
};

// Where a sorted list puts a new text: after every entry that does not sort after it,
// comparing case-insensitively as the combo box does. For windows that keep the list
// themselves (the command line, test fakes).
std::size_t PortListInsertPosition(const std::vector<std::wstring>& entries,
                                   const std::wstring& text);

// The list entry for a port name: "%s :ZQ418".
std::wstring PortListEntry(const std::wstring& portName);

// Rebuilds the window's port list from the devices whose friendly name contains "STM": one
// entry per device, a log line "Find ZQ-418 at <port>\r\n" for each in enumeration order, a
// 500 ms wait on the clock for each, index 0 selected after each addition. A qualifying
// name without "(" and a later ")", or whose port name exceeds 9 characters, is skipped
// without a line or a wait. Runs on the user-interface thread.
void ScanPorts(ScanWindow& window, DeviceList& devices, Clock& clock);
// The same over the platform's device list and the system clock.
void ScanPorts(ScanWindow& window);

// The device-change rule, for each WM_DEVICECHANGE the window receives (event = wParam):
// only kDeviceNodesChanged counts; every second one resets DeviceChangeCount to 0 and then
// scans if PortScanEnabled (update procedure) is set at that moment. A scan not allowed is
// not made up later. Returns true when a scan ran. The caller still passes the message on
// to the standard processing.
bool OnDeviceChange(ScanWindow& window, uint32_t event, DeviceList& devices, Clock& clock);
// The same over the platform's device list and the system clock.
bool OnDeviceChange(ScanWindow& window, uint32_t event);

// Notifications that the set of serial devices changed, for platforms where no window
// message brings them (Linux). Each change counts as one kDeviceNodesChanged.
class DeviceChangeSource {
  public:
    virtual ~DeviceChangeSource() = default;
    // Waits up to timeoutMs for changes; returns how many arrived (0 on time-out), or -1
    // when the source has failed for good.
    virtual int Wait(uint32_t timeoutMs) = 0;
};

// The platform's source, or nullptr where the window receives WM_DEVICECHANGE (Windows)
// or no source can be opened.
std::unique_ptr<DeviceChangeSource> CreatePlatformDeviceChangeSource();

// Waits once on the source and feeds every change it reports into the device-change rule.
// Returns the number of scans that ran, or -1 when the source has failed.
int PumpDeviceChanges(DeviceChangeSource& source, uint32_t timeoutMs, ScanWindow& window,
                      DeviceList& devices, Clock& clock);
