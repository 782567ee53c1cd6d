#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fake_scan_window.h"
#include "port_scan.h"
#include "virtual_clock.h"

namespace {

// The test prefix holds two registry devices (tests/discovery/wine/devices.reg): the one
// qualifying device "STM Virtual COM Port (COM5)" and "stm USB-SERIAL CH340 (COM6)", which
// does not qualify.
const std::wstring kQualifying = L"STM Virtual COM Port (COM5)";
const std::wstring kNotQualifying = L"stm USB-SERIAL CH340 (COM6)";

bool Contains(const std::vector<std::wstring>& names, const std::wstring& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(WindowsDeviceList, ListsPresentDevicesWithFriendlyNames) {
    std::unique_ptr<DeviceList> list = CreatePlatformDeviceList();
    std::vector<std::wstring> names;
    ASSERT_TRUE(list->Enumerate(names));
    EXPECT_TRUE(Contains(names, kQualifying));
    EXPECT_TRUE(Contains(names, kNotQualifying));
    for (const std::wstring& name : names) EXPECT_LE(name.size(), 1023u);

    // Read fresh each time, in the same order while nothing changes.
    std::vector<std::wstring> again;
    ASSERT_TRUE(list->Enumerate(again));
    EXPECT_EQ(again, names);
}

TEST(WindowsDeviceList, ScanFindsExactlyTheStmPort) {
    std::unique_ptr<DeviceList> list = CreatePlatformDeviceList();
    FakeScanWindow window;
    VirtualClock clock;

    ScanPorts(window, *list, clock);

    EXPECT_EQ(window.entries, std::vector<std::wstring>{L"COM5 :ZQ418"});
    EXPECT_EQ(window.selected, 0);
    EXPECT_EQ(window.log, std::vector<std::wstring>{L"Find ZQ-418 at COM5\r\n"});
    EXPECT_EQ(std::wstring(window.portName.data()), L"COM5");
    EXPECT_EQ(clock.TotalSlept(), 500u);
}

TEST(WindowsDeviceList, NoChangeSourceBesideTheWindowMessage) {
    EXPECT_EQ(CreatePlatformDeviceChangeSource(), nullptr);
}

}  // namespace
