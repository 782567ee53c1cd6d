#pragma once

#include <string>
#include <vector>

#include "port_scan.h"

// A window for scan tests: keeps its port list sorted as the combo box does and records the
// log and the selection.
class FakeScanWindow : public ScanWindow {
  public:
    void PortListReset() override {
        entries.clear();
        selected = -1;
        ++resets;
    }
    void PortListAdd(const std::wstring& text) override {
        entries.insert(
            entries.begin() + static_cast<std::ptrdiff_t>(PortListInsertPosition(entries, text)),
            text);
    }
    void PortListSelect(int index) override {
        selected = index < static_cast<int>(entries.size()) ? index : -1;
    }
    void AppendLog(const std::wstring& text) override { log.push_back(text); }
    PortNameField& PortName() override { return portName; }
    int32_t& DeviceChangeCount() override { return deviceChangeCount; }

    std::vector<std::wstring> entries;
    int selected = -1;
    int resets = 0;
    std::vector<std::wstring> log;
    PortNameField portName{};
    int32_t deviceChangeCount = 0;
};

class FakeDeviceList : public DeviceList {
  public:
    bool Enumerate(std::vector<std::wstring>& friendlyNames) override {
        ++calls;
        friendlyNames = names;
        return haveSet;
    }
    std::vector<std::wstring> names;
    bool haveSet = true;
    int calls = 0;
};
