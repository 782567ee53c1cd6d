#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "port_scan.h"

// The serial devices under <sysfsRoot>/class/tty that sit on a USB device, each named
// "<manufacturer> <product> (<kernel name>)" from the USB device's string descriptors
// (missing strings are left out). Sorted by kernel name so that scans repeat in one order.
class SysfsDeviceList : public DeviceList {
  public:
    explicit SysfsDeviceList(std::string sysfsRoot = "/sys") : root_(std::move(sysfsRoot)) {}
    bool Enumerate(std::vector<std::wstring>& friendlyNames) override;

  private:
    std::string root_;
};

// Whether one kernel uevent message ("ACTION@DEVPATH\0KEY=VALUE\0...") reports a device
// that was added or removed, which is what the device-change rule counts.
bool IsDeviceNodeChange(const char* message, std::size_t length);

// Device changes read from a kernel uevent socket (NETLINK_KOBJECT_UEVENT).
class UeventChangeSource : public DeviceChangeSource {
  public:
    // Takes ownership of a datagram socket that delivers uevent messages.
    explicit UeventChangeSource(int fd) : fd_(fd) {}
    ~UeventChangeSource() override;
    UeventChangeSource(const UeventChangeSource&) = delete;
    UeventChangeSource& operator=(const UeventChangeSource&) = delete;
    int Wait(uint32_t timeoutMs) override;

  private:
    int fd_;
};

// Opens the kernel's uevent broadcast; -1 with errno set when it cannot be opened.
int OpenUeventSocket();
