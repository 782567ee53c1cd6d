#include "ZQ-418_Firmware_ToolDlg.h"

#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>

#include "AboutDlg.h"
#include "resource.h"

namespace {

// Requests that other threads send to the window; the user-interface thread carries them
// out. lParam points at a WindowRequest on the sender's stack (argument, data):
enum PrivateMessage : UINT {
    WM_APP_GET_PORT_SELECTION = WM_APP + 1,  // -, int*
    WM_APP_GET_PORT_ENTRY,                   // index, std::wstring*
    WM_APP_ENABLE_CONTROL,                   // control id, bool*
    WM_APP_SHOW_PROGRESS_BAR,                // -, bool*
    WM_APP_APPEND_LOG,                       // -, const std::wstring*
    WM_APP_GET_FIRMWARE_PATH,                // -, std::wstring*
};

constexpr wchar_t kWindowTitle[] = L"ZQ-418 Firmware Tool(0904171)";
constexpr wchar_t kChooserTitle[] = L"Open a firmware file for ZQ418";
constexpr wchar_t kChooserFilter[] =
    L"Firmware Files (*.dfu)\0*.dfu\0All Files (*.*)\0*.*\0";  // ends with two zeros
// The system keeps its own command bits in the low four bits of a system command.
constexpr WPARAM kSystemCommandMask = 0xFFF0;

CZQ418_Firmware_ToolDlg& Self(Dialog& dialog) {
    return static_cast<CZQ418_Firmware_ToolDlg&>(dialog);
}

}  // namespace

// Order as the window's handlers are known: system command, paint, drag icon, the two
// buttons, destroy; then the requests of other threads.
const Dialog::MessageMapEntry CZQ418_Firmware_ToolDlg::kMessageMap[] = {
    {WM_SYSCOMMAND, 0, [](Dialog& d, WPARAM w, LPARAM) { return Self(d).OnSysCommand(w); }},
    {WM_PAINT, 0, [](Dialog& d, WPARAM, LPARAM) { return Self(d).OnPaint(); }},
    {WM_QUERYDRAGICON, 0, [](Dialog& d, WPARAM, LPARAM) { return Self(d).OnQueryDragIcon(); }},
    {WM_COMMAND, IDC_SELECT_FIRMWARE,
     [](Dialog& d, WPARAM, LPARAM) -> INT_PTR {
         Self(d).OnSelectFirmwareClicked();
         return TRUE;
     }},
    {WM_COMMAND, IDC_UPDATE,
     [](Dialog& d, WPARAM, LPARAM) -> INT_PTR {
         OnUpdateClicked(Self(d));
         return TRUE;
     }},
    {WM_DESTROY, 0,
     [](Dialog&, WPARAM, LPARAM) -> INT_PTR {
         ::OnDestroy();
         return FALSE;  // the dialog manager still does its own clean-up
     }},
    {WM_APP_GET_PORT_SELECTION, 0,
     [](Dialog& d, WPARAM w, LPARAM l) {
         return Self(d).OnWindowCall(WM_APP_GET_PORT_SELECTION, w, l);
     }},
    {WM_APP_GET_PORT_ENTRY, 0,
     [](Dialog& d, WPARAM w, LPARAM l) {
         return Self(d).OnWindowCall(WM_APP_GET_PORT_ENTRY, w, l);
     }},
    {WM_APP_ENABLE_CONTROL, 0,
     [](Dialog& d, WPARAM w, LPARAM l) {
         return Self(d).OnWindowCall(WM_APP_ENABLE_CONTROL, w, l);
     }},
    {WM_APP_SHOW_PROGRESS_BAR, 0,
     [](Dialog& d, WPARAM w, LPARAM l) {
         return Self(d).OnWindowCall(WM_APP_SHOW_PROGRESS_BAR, w, l);
     }},
    {WM_APP_APPEND_LOG, 0,
     [](Dialog& d, WPARAM w, LPARAM l) { return Self(d).OnWindowCall(WM_APP_APPEND_LOG, w, l); }},
    {WM_APP_GET_FIRMWARE_PATH, 0,
     [](Dialog& d, WPARAM w, LPARAM l) {
         return Self(d).OnWindowCall(WM_APP_GET_FIRMWARE_PATH, w, l);
     }},
};

CZQ418_Firmware_ToolDlg::CZQ418_Firmware_ToolDlg(HWND parent)
    : Dialog(IDD_ZQ418_FIRMWARE_TOOL_DIALOG, parent) {
    AppIcon = LoadIconW(ResourceInstance(), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

CZQ418_Firmware_ToolDlg::~CZQ418_Firmware_ToolDlg() = default;

std::span<const Dialog::MessageMapEntry> CZQ418_Firmware_ToolDlg::MessageMap() const {
    return kMessageMap;
}

void CZQ418_Firmware_ToolDlg::DoDataExchange() {
    BindControl(PortList, IDC_PORT_LIST);
    BindControl(FirmwarePathField, IDC_FIRMWARE_PATH);
    BindControl(UpdateButton, IDC_UPDATE);
    BindControl(LogView, IDC_LOG);
    BindControl(SelectFirmwareButton, IDC_SELECT_FIRMWARE);
    BindControl(ProgressBar, IDC_PROGRESS);
}

BOOL CZQ418_Firmware_ToolDlg::OnInitDialog() {
    Dialog::OnInitDialog();
    window_.store(Handle());

    if (HMENU systemMenu = GetSystemMenu(Handle(), FALSE)) {
        std::wstring about = LoadResourceString(IDS_ABOUTBOX);
        if (!about.empty()) {
            AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }

    SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(AppIcon));
    SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(AppIcon));

    ScanPorts(*this);

    SetWindowTextW(Handle(), kWindowTitle);
    // The dialog manager puts the focus on the first tab stop, PortList.
    return TRUE;
}

INT_PTR CZQ418_Firmware_ToolDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE) {
        OnDeviceChange(*this, static_cast<uint32_t>(wParam));
    } else if (message == WM_TRANSFER_PROGRESS) {
        OnTransferProgress(wParam, lParam);
    }
    return Dialog::WindowProc(message, wParam, lParam);
}

void CZQ418_Firmware_ToolDlg::OnTransferProgress(WPARAM chunks, LPARAM sizeKiB) {
    // Passed to the bar as they come: a file under 1 KiB gives the upper bound 0.
    if (chunks == 1) ProgressBar.SetRange32(1, static_cast<int>(sizeKiB));
    ProgressBar.SetPos(static_cast<int>(chunks));
}

INT_PTR CZQ418_Firmware_ToolDlg::OnSysCommand(WPARAM command) {
    if ((command & kSystemCommandMask) != IDM_ABOUTBOX) return FALSE;
    CAboutDlg about(Handle());
    about.DoModal();
    return TRUE;
}

INT_PTR CZQ418_Firmware_ToolDlg::OnPaint() {
    if (!IsIconic(Handle())) return FALSE;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(Handle(), &paint);
    SendMessageW(Handle(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(Handle(), &client);
    int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, AppIcon);
    EndPaint(Handle(), &paint);
    return TRUE;
}

void CZQ418_Firmware_ToolDlg::OnSelectFirmwareClicked() {
    // The chooser writes into a buffer of its own: a cancelled choice keeps the file that
    // FirmwarePathField shows and that "Update" will send.
    wchar_t chosen[kFirmwarePathUnits] = {};
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = Handle();
    dialog.lpstrFilter = kChooserFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = chosen;
    dialog.nMaxFile = kFirmwarePathUnits;
    dialog.lpstrTitle = kChooserTitle;
    if (!GetOpenFileNameW(&dialog)) return;

    std::copy(std::begin(chosen), std::end(chosen), std::begin(FirmwarePath));
    std::wstring path(chosen);
    AppendLog(L"Select Firmware File: " + path + L"\r\n");
    FirmwarePathField.SetText(path);
    UpdateButton.Enable(true);
}

// ---------------------------------------------------------------------------------------
// Window operations for other threads

bool CZQ418_Firmware_ToolDlg::SendToWindow(UINT message, WPARAM argument, void* data) {
    HWND window = window_.load();
    if (window == nullptr) return false;
    WindowRequest request{message, argument, data};
    {
        std::lock_guard<std::mutex> lock(requestsMutex_);
        pendingRequests_.insert(&request);
    }
    LRESULT done = SendMessageW(window, message, 0, reinterpret_cast<LPARAM>(&request));
    {
        std::lock_guard<std::mutex> lock(requestsMutex_);
        pendingRequests_.erase(&request);
    }
    return done != 0;
}

INT_PTR CZQ418_Firmware_ToolDlg::OnWindowCall(UINT message, WPARAM, LPARAM lParam) {
    // Only requests that a thread of ours is waiting on are carried out: the same message
    // numbers from another program (a stray broadcast) carry no valid pointer.
    auto* request = reinterpret_cast<const WindowRequest*>(lParam);
    {
        std::lock_guard<std::mutex> lock(requestsMutex_);
        if (pendingRequests_.count(request) == 0) return FALSE;
    }
    if (request->message != message) return FALSE;
    WPARAM wParam = request->argument;
    void* data = request->data;
    switch (message) {
        case WM_APP_GET_PORT_SELECTION:
            *static_cast<int*>(data) = PortList.GetCurSel();
            break;
        case WM_APP_GET_PORT_ENTRY:
            *static_cast<std::wstring*>(data) = PortList.GetLBText(static_cast<int>(wParam));
            break;
        case WM_APP_ENABLE_CONTROL:
            if (HWND control = GetDlgItem(Handle(), static_cast<int>(wParam))) {
                EnableWindow(control, *static_cast<bool*>(data) ? TRUE : FALSE);
            }
            break;
        case WM_APP_SHOW_PROGRESS_BAR:
            ProgressBar.Show(*static_cast<bool*>(data));
            break;
        case WM_APP_APPEND_LOG:
            AppendLogOnWindow(*static_cast<const std::wstring*>(data));
            break;
        case WM_APP_GET_FIRMWARE_PATH:
            *static_cast<std::wstring*>(data) = FirmwarePath;
            break;
        default:
            return FALSE;
    }
    SetWindowLongPtrW(Handle(), DWLP_MSGRESULT, 1);
    return TRUE;
}

int CZQ418_Firmware_ToolDlg::GetPortSelection() {
    int index = -1;
    if (!SendToWindow(WM_APP_GET_PORT_SELECTION, 0, &index)) return -1;
    return index;
}

std::wstring CZQ418_Firmware_ToolDlg::GetPortEntryText(int index) {
    std::wstring text;
    SendToWindow(WM_APP_GET_PORT_ENTRY, static_cast<WPARAM>(index), &text);
    return text;
}

void CZQ418_Firmware_ToolDlg::EnableControl(int controlId, bool enable) {
    SendToWindow(WM_APP_ENABLE_CONTROL, static_cast<WPARAM>(controlId), &enable);
}

void CZQ418_Firmware_ToolDlg::ShowProgressBar(bool show) {
    SendToWindow(WM_APP_SHOW_PROGRESS_BAR, 0, &show);
}

std::wstring CZQ418_Firmware_ToolDlg::GetFirmwarePath() {
    std::wstring path;
    SendToWindow(WM_APP_GET_FIRMWARE_PATH, 0, &path);
    return path;
}

void CZQ418_Firmware_ToolDlg::AppendLog(const std::wstring& text) {
    SendToWindow(WM_APP_APPEND_LOG, 0, const_cast<std::wstring*>(&text));
}

void CZQ418_Firmware_ToolDlg::AppendLogOnWindow(const std::wstring& text) {
    // Messages go to the end of the log whatever is selected in it: tabbing into the log
    // selects all of its text, and replacing that selection would wipe the whole record.
    // A selection the user made is given back afterwards.
    DWORD selStart = 0;
    DWORD selEnd = 0;
    LogView.Send(EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
    const WPARAM end = static_cast<WPARAM>(GetWindowTextLengthW(LogView.Handle()));
    LogView.Send(EM_SETSEL, end, static_cast<LPARAM>(end));
    LogView.ReplaceSel(text);
    if (selStart != selEnd) LogView.Send(EM_SETSEL, selStart, static_cast<LPARAM>(selEnd));
    // Posted, so that the view scrolls once the insertion has been laid out.
    PostMessageW(LogView.Handle(), WM_VSCROLL, SB_BOTTOM, 0);
}

void CZQ418_Firmware_ToolDlg::SendTransferProgress(uint32_t chunks, uint32_t sizeKiB) {
    HWND window = window_.load();
    if (window == nullptr) return;
    SendMessageW(window, WM_TRANSFER_PROGRESS, static_cast<WPARAM>(chunks),
                 static_cast<LPARAM>(sizeKiB));
}
