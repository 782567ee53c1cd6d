#include <windows.h>
// clang-format off
#include <setupapi.h>
// clang-format on

#include <cstring>

#include "port_scan.h"

namespace {

constexpr DWORD kFriendlyNameBytes = 2048;

// Every present device of every class, read fresh on each call: nothing is cached between
// scans.
class WindowsDeviceList : public DeviceList {
  public:
    bool Enumerate(std::vector<std::wstring>& friendlyNames) override {
        friendlyNames.clear();
        HDEVINFO set =
            SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE) return false;
        SP_DEVINFO_DATA device;
        for (DWORD index = 0;; ++index) {
            std::memset(&device, 0, sizeof device);
            device.cbSize = sizeof(SP_DEVINFO_DATA);
            if (!SetupDiEnumDeviceInfo(set, index, &device)) break;
            // 2048 bytes for the name, plus one unit that stays zero: a stored value without
            // its terminator that fills the 2048 bytes is still read as a bounded string.
            wchar_t buffer[1025];
            std::memset(buffer, 0, sizeof buffer);
            if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                   reinterpret_cast<BYTE*>(buffer),
                                                   kFriendlyNameBytes, nullptr))
                continue;
            friendlyNames.emplace_back(buffer);
        }
        SetupDiDestroyDeviceInfoList(set);
        return true;
    }
};

}  // namespace

std::unique_ptr<DeviceList> CreatePlatformDeviceList() {
    return std::make_unique<WindowsDeviceList>();
}

// Windows brings device changes to the window as WM_DEVICECHANGE.
std::unique_ptr<DeviceChangeSource> CreatePlatformDeviceChangeSource() {
    return nullptr;
}
