#pragma once

// The portable window interfaces come before <windows.h>, which declares a function named
// UpdateWindow that would hide the interface's name in their declarations.
// clang-format off
#include "port_scan.h"
#include "progress.h"
#include "update_procedure.h"
#include "dialog.h"
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <span>
#include <string>

// Capacity of FirmwarePath in UTF-16 units, terminator included.
constexpr size_t kFirmwarePathUnits = 256;

// The main window. Every window interface method may be called from any thread: it is
// carried out on the user-interface thread through a sent (synchronous) window message.
class CZQ418_Firmware_ToolDlg : public Dialog,
                                public UpdateWindow,
                                public ScanWindow,
                                public ProgressWindow {
  public:
    explicit CZQ418_Firmware_ToolDlg(HWND parent);
    ~CZQ418_Firmware_ToolDlg() override;

    // UpdateWindow
    int GetPortSelection() override;
    std::wstring GetPortEntryText(int index) override;
    void EnableControl(int controlId, bool enable) override;
    void ShowProgressBar(bool show) override;
    std::wstring GetFirmwarePath() override;
    ProgressWindow* GetProgressWindow() override { return this; }
    // UpdateWindow and ScanWindow
    void AppendLog(const std::wstring& text) override;
    // ScanWindow (user-interface thread only)
    void PortListReset() override { PortList.ResetContent(); }
    void PortListAdd(const std::wstring& text) override { PortList.AddString(text); }
    void PortListSelect(int index) override { PortList.SetCurSel(index); }
    PortNameField& PortName() override { return portName_; }
    int32_t& DeviceChangeCount() override { return deviceChangeCount_; }
    // ProgressWindow
    void SendTransferProgress(uint32_t chunks, uint32_t sizeKiB) override;

  protected:
    std::span<const MessageMapEntry> MessageMap() const override;
    void DoDataExchange() override;
    INT_PTR WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    BOOL OnInitDialog() override;

  private:
    static const MessageMapEntry kMessageMap[];

    INT_PTR OnSysCommand(WPARAM command);
    INT_PTR OnPaint();
    INT_PTR OnQueryDragIcon() { return reinterpret_cast<INT_PTR>(AppIcon); }
    void OnSelectFirmwareClicked();
    void OnTransferProgress(WPARAM chunks, LPARAM sizeKiB);
    // One window operation asked for by another thread (see SendToWindow).
    struct WindowRequest {
        UINT message;
        WPARAM argument;
        void* data;
    };
    // Carries out a request that SendToWindow is waiting on.
    INT_PTR OnWindowCall(UINT message, WPARAM wParam, LPARAM lParam);
    // Sends a private request to the window and waits until it is done; false when the window
    // is gone.
    bool SendToWindow(UINT message, WPARAM argument, void* data);
    void AppendLogOnWindow(const std::wstring& text);

    // Members, in the order the rest of the program knows them.
    PortNameField portName_{};                      // PortName
    wchar_t FirmwarePath[kFirmwarePathUnits] = {};  // written only on a successful choice
    HICON AppIcon = nullptr;
    ComboBox PortList;
    int32_t deviceChangeCount_ = 0;  // DeviceChangeCount
    Edit FirmwarePathField;
    Button UpdateButton;
    Edit LogView;
    Button SelectFirmwareButton;
    ProgressCtrl ProgressBar;

    // The window handle as other threads see it: set once the window exists, never cleared
    // (a message sent to a destroyed window fails at once).
    std::atomic<HWND> window_{nullptr};
    // Requests whose senders are waiting, so that the window only follows pointers it made.
    std::mutex requestsMutex_;
    std::set<const WindowRequest*> pendingRequests_;
};
