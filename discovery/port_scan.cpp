#include "port_scan.h"

#include <cwctype>

namespace {

// A friendly name that would not fit the 2048-byte (1024-unit) property buffer is one the
// platform could not have delivered; any list is held to the same limit.
constexpr std::size_t kMaxFriendlyName = 1023;
constexpr uint32_t kWaitPerDeviceMs = 500;

// The port name is what the friendly name carries between its first "(" and the first ")"
// after it. Returns false when that text is missing or too long for the PortName field.
bool PortNameOf(const std::wstring& friendlyName, std::wstring& portName) {
    std::size_t open = friendlyName.find(L'(');
    if (open == std::wstring::npos) return false;
    std::size_t close = friendlyName.find(L')', open + 1);
    if (close == std::wstring::npos) return false;
    portName = friendlyName.substr(open + 1, close - open - 1);
    // The field ends at its first zero, as the name would in the platform's buffer.
    std::size_t zero = portName.find(L'\0');
    if (zero != std::wstring::npos) portName.resize(zero);
    return portName.size() < kPortNameUnits;
}

}  // namespace

std::size_t PortListInsertPosition(const std::vector<std::wstring>& entries,
                                   const std::wstring& text) {
    auto lessIgnoringCase = [](const std::wstring& a, const std::wstring& b) {
        std::size_t n = a.size() < b.size() ? a.size() : b.size();
        for (std::size_t i = 0; i < n; ++i) {
            auto ca = std::towupper(static_cast<wint_t>(a[i]));
            auto cb = std::towupper(static_cast<wint_t>(b[i]));
            if (ca != cb) return ca < cb;
        }
        return a.size() < b.size();
    };
    std::size_t pos = 0;
    while (pos < entries.size() && !lessIgnoringCase(text, entries[pos])) ++pos;
    return pos;
}

std::wstring PortListEntry(const std::wstring& portName) {
    return portName + L" :ZQ418";
}

void ScanPorts(ScanWindow& window, DeviceList& devices, Clock& clock) {
    window.PortListReset();
    std::vector<std::wstring> names;
    if (!devices.Enumerate(names)) return;
    for (const std::wstring& name : names) {
        if (name.size() > kMaxFriendlyName) continue;
        if (name.find(L"STM") == std::wstring::npos) continue;
        std::wstring port;
        if (!PortNameOf(name, port)) continue;

        PortNameField& field = window.PortName();
        field.fill(L'\0');
        port.copy(field.data(), port.size());

        clock.Sleep(kWaitPerDeviceMs);

        std::wstring stored(field.data());
        window.PortListAdd(PortListEntry(stored));
        window.PortListSelect(0);
        window.AppendLog(L"Find ZQ-418 at " + stored + L"\r\n");
    }
}

void ScanPorts(ScanWindow& window) {
    std::unique_ptr<DeviceList> devices = CreatePlatformDeviceList();
    ScanPorts(window, *devices, SystemClock());
}
