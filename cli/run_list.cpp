#include <cstdio>
#include <string>
#include <vector>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "cli.h"
#include "port_scan.h"

namespace {

std::string ToUtf8(const std::wstring& text) {
    std::string out;
    for (wchar_t w : text) {
        char32_t c = static_cast<char32_t>(w);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// The window's side of a scan for the command line: a sorted list as the combo box keeps
// it, and the log going to standard output exactly as the log view would receive it.
class ConsoleScanWindow : public ScanWindow {
  public:
    void PortListReset() override {
        entries_.clear();
        selected_ = -1;
    }
    void PortListAdd(const std::wstring& text) override {
        entries_.insert(
            entries_.begin() + static_cast<std::ptrdiff_t>(PortListInsertPosition(entries_, text)),
            text);
    }
    void PortListSelect(int index) override { selected_ = index; }
    void AppendLog(const std::wstring& text) override {
        std::string bytes = ToUtf8(text);
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
    }
    PortNameField& PortName() override { return portName_; }
    int32_t& DeviceChangeCount() override { return deviceChangeCount_; }

    // The entries in list order, the selected one first (the scan always selects index 0).
    std::vector<std::wstring> Entries() const { return entries_; }

  private:
    std::vector<std::wstring> entries_;
    int selected_ = -1;
    PortNameField portName_{};
    int32_t deviceChangeCount_ = 0;
};

}  // namespace

std::vector<std::wstring> ScanPortList() {
    ConsoleScanWindow window;
    ScanPorts(window);
    return window.Entries();
}

int RunList(const CliOptions&) {
#ifdef _WIN32
    // The log lines carry their own "\r\n"; text mode would turn it into "\r\r\n".
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    if (ScanPortList().empty()) std::fputs("zq418-flash: no ZQ-418 device found\n", stderr);
    return 0;
}
